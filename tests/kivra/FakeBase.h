#pragma once
// A hand-driven base on a pseudo-terminal, registered as COMn: it answers every XON with the
// detection mark and otherwise sends only what the test writes.

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kivra::test {

class TFakeBase {
public:
    explicit TFakeBase(int comPort);
    ~TFakeBase();
    TFakeBase(const TFakeBase&) = delete;
    TFakeBase& operator=(const TFakeBase&) = delete;

    void Write(std::string_view bytes);
    //! Every byte the host wrote, in order.
    std::string HostBytes();
    void ClearHostBytes();
    //! Closes the line: the host's next read or write fails.
    void Unplug();

private:
    void Run();

    int master_ = -1;
    int slave_ = -1;
    std::string link_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string host_;
    std::thread thread_;
};

//! A tagged frame as the base sends it: length field, a blank, the tag, a colon, the content, CR LF.
std::string Frame(std::string_view tag, std::string_view content);

} // namespace kivra::test
