#pragma once
// Helpers shared by the test suites.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kivra::test {

//! Points XDG_RUNTIME_DIR at a fresh private directory (mode 0700) for this process, so that
//! simulators registered by parallel test processes never see each other's COM links; points
//! XDG_CONFIG_HOME at its "config" below it.
//! Returns the directory; the same one on every call within a process.
std::string UsePrivatePortDirectory();

//! Runs the Qt event loop until pred() is true or the timeout passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

//! Runs the Qt event loop for the given time.
void ProcessEventsFor(std::chrono::milliseconds duration);

//! Number of open file descriptors of this process (entries of /proc/self/fd).
int OpenFdCount();

//! Another program holding devices: a "sleep" process with the given paths open and the given
//! descriptors of this process inherited, and nothing else. Ended by the destructor.
class HolderProcess {
public:
    explicit HolderProcess(const std::vector<std::string>& paths, const std::vector<int>& fds = {});
    ~HolderProcess();
    HolderProcess(const HolderProcess&) = delete;
    HolderProcess& operator=(const HolderProcess&) = delete;
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
};

//! The process id of a process that has ended and been reaped: no process has it for now.
int DeadPid();

//! Counts opens of a file (inotify IN_OPEN) from construction on.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path);
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    int Opens();

private:
    int fd_ = -1;
    int opens_ = 0;
};

} // namespace kivra::test
