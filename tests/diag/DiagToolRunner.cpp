#include "tests/diag/DiagToolRunner.h"

#include "diag/DiagRun.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kivra::test {
namespace {

double ProcessCpu()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

std::vector<std::string> OnPort(int port, const std::string& command, const std::vector<std::string>& more)
{
    std::vector<std::string> args = {command, "--port", std::to_string(port)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

ToolResult RunDiagInProcess(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ProcessCpu();
    ToolResult r;
    r.Code = diag::RunDiag(args, out, err);
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.CpuSeconds = ProcessCpu() - cpu;
    r.Out = out.str();
    r.Err = err.str();
    return r;
}

ToolResult RunDiagExecutable(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                             const std::function<void(double)>& during, int signalAfterMs)
{
    char dir[] = "/tmp/kivra-diag-run-XXXXXX";
    ToolResult r;
    if (::mkdtemp(dir) == nullptr)
        return r;
    const std::string outPath = std::string(dir) + "/out", errPath = std::string(dir) + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all = {KIVRA_DIAG_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    if (::posix_spawn(&pid, KIVRA_DIAG_PATH, &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    bool signalled = false;
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || done < 0)
            break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed * 1000 > static_cast<double>(timeout.count())) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            status = -1;
            break;
        }
        if (signalAfterMs >= 0 && !signalled && elapsed * 1000 >= signalAfterMs) {
            ::kill(pid, SIGINT);
            signalled = true;
        }
        if (during)
            during(elapsed);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.Code = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.Out = ReadFile(outPath);
    r.Err = ReadFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    ::rmdir(dir);
    return r;
}

int CountOf(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

long ResidentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

} // namespace kivra::test
