#pragma once
// A link the window lost: the device to wait for (by its identity) and what to restore once it is
// back.

#include <cstdint>
#include <string>

namespace kivra {

class TLostLink {
public:
    enum class TChange : std::uint8_t { None, Gone, Back };

    //! Notes the device behind COM `port` as it is now, and what ran on it.
    TLostLink(int port, bool polling, int infoOption);

    //! Looks at the ports again. Gone while the device is away; Back once per return: when it was
    //! seen gone, or when its name leads to a new node (a new pseudo-terminal, a re-enumerated
    //! adapter) before its absence was seen. A device another program holds is not the base back.
    TChange Update();

    int Port() const { return port_; }
    int Back() const { return back_; } //!< the port it came back on; 0 = not back
    bool Polling() const { return polling_; }
    int InfoOption() const { return infoOption_; }

private:
    int port_;
    std::string key_;  // the identity of its device (PortIdentityKey)
    std::string node_; // the device node it led to ("" when already gone)
    bool gone_ = false;
    int back_ = 0;
    bool polling_;
    int infoOption_;
};

} // namespace kivra
