#pragma once
// Helpers shared by the test suites.

#include <chrono>
#include <functional>
#include <string>

namespace kivra::test {

//! Points XDG_RUNTIME_DIR at a fresh private directory (mode 0700) for this process, so that
//! simulators registered by parallel test processes never see each other's COM links.
//! Returns the directory; the same one on every call within a process.
std::string UsePrivatePortDirectory();

//! Runs the Qt event loop until pred() is true or the timeout passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

//! Runs the Qt event loop for the given time.
void ProcessEventsFor(std::chrono::milliseconds duration);

//! Number of open file descriptors of this process (entries of /proc/self/fd).
int OpenFdCount();

} // namespace kivra::test
