#pragma once
// Running kivra-diag in tests: in-process through kivra_diag, or the built executable as a child.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kivra::test {

struct ToolResult {
    int Code = -1;
    std::string Out;
    std::string Err;
    double Seconds = 0;    // wall time of the run
    double CpuSeconds = 0; // user + system time (the child's for the executable)
};

//! kivra-diag's command line for a command on a COM port: the command, "--port N", the further arguments.
std::vector<std::string> OnPort(int port, const std::string& command,
                                const std::vector<std::string>& more = {});

//! Runs a command line through RunDiag on this thread (timers created before fire during its waits).
ToolResult RunDiagInProcess(const std::vector<std::string>& args);

//! Runs the built kivra-diag; during(elapsed seconds) is called every 20 ms while it runs. A child
//! still running after timeout is killed (Code -1).
ToolResult RunDiagExecutable(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                             const std::function<void(double)>& during = {}, int signalAfterMs = -1);

//! Occurrences of needle in text.
int CountOf(const std::string& text, const std::string& needle);

//! Resident set size of this process in KiB (VmRSS).
long ResidentKiB();

} // namespace kivra::test
