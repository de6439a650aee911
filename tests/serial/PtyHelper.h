#pragma once
// A pseudo-terminal pair for the serial tests: the port opens the slave by path, the test plays
// the far end on the master.

#include "serial/ComLineIo.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kivra::test {

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    void Send(const std::string& bytes);
    //! Reads from the master until `count` bytes came or the timeout passed, running the Qt
    //! event loop meanwhile (the port may finish writes from it).
    std::string Receive(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    //! Closes the master: for the port this is an unplugged adapter.
    void Unplug();

private:
    int master_ = -1;
    std::string path_;
};

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
