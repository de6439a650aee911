#pragma once
// Modem lines and line counters for the serial tests, injected in place of the system's.

#include "serial/ComLineIo.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kivra::test {

//! Modem lines and line counters injected by the test.
class FakeLineIo : public TComLineIo {
public:
    TPosixError GetModemLines(int fd, int& lines) override;
    TPosixError SetModemLine(int fd, int line, bool on) override;
    TPosixError GetCounters(int fd, TComCounters& counters) override;
    TPosixError WaitModemChange(int fd) override;
    void Interrupt(std::thread& waiter) override;

    void SetLines(int lines);
    //! Changes the counters; `wake` false leaves a waiting WaitModemChange asleep (a change
    //! that comes with received data).
    void Update(void (*change)(TComCounters&), bool wake = true);
    TComCounters Counters();
    //! True once a WaitModemChange is blocked (a change from now on wakes it).
    bool WaitForWaiter(std::chrono::milliseconds timeout);

private:
    std::mutex m_;
    std::condition_variable changed_;
    int changes_ = 0;
    int waiters_ = 0;
    bool interrupted_ = false;
    int lines_ = 0;
    TComCounters counters_;
};

} // namespace kivra::test
