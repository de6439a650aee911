#pragma once
// A raw host end of the simulator's line: opens the slave like a serial port and reads with
// time-outs.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace kivra::test {

class SimHost {
public:
    explicit SimHost(const std::string& path);
    ~SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Write(std::string_view bytes);
    //! Everything that arrives within the given time.
    std::string ReadFor(std::chrono::milliseconds time);
    //! Reads until done(bytes so far) or the time-out; returns what was read.
    std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    //! True when a read reports the line gone (EIO or hang-up with nothing to read).
    bool LineGone(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    void Close();

private:
    int fd_ = -1;
};

//! Splits a stream that starts at a packet into 56-byte packets (a short rest is dropped).
std::vector<std::string> SplitPackets(std::string_view stream);

} // namespace kivra::test
