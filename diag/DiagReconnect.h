#pragma once
// poll --reconnect: waiting for a lost base to come back, and the gaps of a poll.

#include <chrono>
#include <functional>
#include <string>

namespace kivra::diag {

//! The times without a link during one poll.
class LinkGaps {
public:
    using Clock = std::chrono::steady_clock;

    void Lost(Clock::time_point at = Clock::now());
    void Back(Clock::time_point at = Clock::now());
    int Count() const { return count_; }
    //! Seconds without a link, an open gap counted up to now.
    double TotalSeconds(Clock::time_point now = Clock::now()) const;
    //! "Link gaps: 2, 7.4 s in all" (with "(the last still open)" when the link did not come back).
    std::string Summary() const;

private:
    int count_ = 0;
    Clock::duration total_{};
    bool open_ = false;
    Clock::time_point since_{};
};

enum class AwaitEnd { Connected, TimedOut, Stopped };

//! The device COMn stands for exists: the port's link (or the default name) resolves to it.
bool PortDevicePresent(int port);

//! Waits until COMn resolves to a device again, then calls connect() (again every 2 s while it
//! fails). Looks every 250 ms and keeps the event loop running; stopped() or the deadline end it.
AwaitEnd AwaitBase(int port, std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& stopped, const std::function<bool()>& connect,
                   const std::function<void(const std::string&)>& say);

} // namespace kivra::diag
