// Soak of the command line tool: runs "kivra-diag poll" as a child process against a simulated
// base (a thread of this process) while scripted keypads answer, then reports answers sent
// versus received, the latency from key press to the event in the tool's CSV file (median and
// 99th percentile), the tool's CPU time and its peak memory.
//
// A keypad is pressed again only after kRepressGap, long after its answer went out, so that no
// answer replaces one still waiting in the base.
//
// Usage: kivra-soak [--seconds N] [--rate PRESSES_PER_SECOND] [--diag PATH]
// Exit status 0 when the tool succeeded and at least 99% of the answers arrived.

#include "basesim/BaseSimulator.h"
#include "bench/common/Options.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using SysClock = std::chrono::system_clock;
using namespace std::chrono_literals;

constexpr int kPort = 7;
constexpr auto kRepressGap = 5s;

struct Options {
    int Seconds = 60;
    double Rate = 10;
    std::string Diag = KIVRA_DIAG_PATH;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    kivra::bench::ParseNamedOptions(
        argc, argv, "Usage: kivra-soak [--seconds N] [--rate PRESSES_PER_SECOND] [--diag PATH]",
        {
            {"--seconds", [&o](const std::string& v) { o.Seconds = std::max(1, std::atoi(v.c_str())); }},
            {"--rate", [&o](const std::string& v) { o.Rate = std::max(0.1, std::atof(v.c_str())); }},
            {"--diag", [&o](const std::string& v) { o.Diag = v; }},
        });
    return o;
}

double Ms(SysClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

//! "2026-12-08T17:23:35.516Z" -> time point (the tool's CSV time stamps).
bool ParseUtc(const std::string& text, SysClock::time_point& t)
{
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    t = SysClock::from_time_t(::timegm(&tm)) + std::chrono::milliseconds(ms);
    return true;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

struct Press {
    int Keypad;
    char Digit;
    SysClock::time_point At;
    bool Matched = false;
};

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);

    // A private port directory, so that the simulator's COM link meets nobody else's.
    char dir[] = "/tmp/kivra-soak-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        std::perror("kivra-soak: mkdtemp");
        return 1;
    }
    ::chmod(dir, 0700);
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    const std::string csvPath = std::string(dir) + "/events.csv";

    kivra::basesim::SimConfig cfg;
    cfg.ComPort = kPort;
    cfg.Seed = 7;
    kivra::basesim::BaseSimulator sim(cfg);
    sim.Start();

    const std::string seconds = std::to_string(o.Seconds);
    const std::string port = std::to_string(kPort);
    std::vector<const char*> args = {o.Diag.c_str(),  "poll",  "--port",        port.c_str(), "--seconds",
                                     seconds.c_str(), "--csv", csvPath.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string outPath = std::string(dir) + "/out.txt", errPath = std::string(dir) + "/err.txt";
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int status = 0;
    if (const int e =
            posix_spawn(&pid, o.Diag.c_str(), &actions, nullptr, const_cast<char**>(args.data()), environ);
        e != 0) {
        std::fprintf(stderr, "kivra-soak: cannot run %s: %s\n", o.Diag.c_str(), std::strerror(e));
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);

    // Presses start once the tool polls: the XON of the detection starts a first stream, which the
    // connect stops again; polling starts the second. They end well before the tool stops.
    const auto spawned = SysClock::now();
    while (sim.ConnectCount() < 2 || !sim.Streaming()) {
        if (SysClock::now() - spawned > 30s || ::waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "kivra-soak: the tool never started polling\n");
            return 1;
        }
        std::this_thread::sleep_for(20ms);
    }
    const auto pollStart = SysClock::now();
    std::mt19937 rng(11);
    std::vector<Press> presses;
    std::map<int, SysClock::time_point> lastPress;
    const auto pressUntil = pollStart + std::chrono::seconds(o.Seconds) - 1500ms;
    auto next = SysClock::now();
    rusage usage{};
    bool exited = false;
    while (!exited) {
        const pid_t r = ::wait4(pid, &status, WNOHANG, &usage);
        if (r == pid || (r < 0 && errno != EINTR)) {
            exited = true;
            break;
        }
        const auto now = SysClock::now();
        while (now >= next && now < pressUntil) {
            const int k = 1 + static_cast<int>(rng() % 250);
            const auto it = lastPress.find(k);
            if (it == lastPress.end() || now - it->second >= kRepressGap) {
                const char digit = static_cast<char>('0' + rng() % 10);
                presses.push_back({k, digit, SysClock::now()});
                sim.Press(k, digit);
                lastPress[k] = now;
            }
            next +=
                std::chrono::duration_cast<SysClock::duration>(std::chrono::duration<double>(1.0 / o.Rate));
        }
        std::this_thread::sleep_for(5ms);
    }
    const std::uint64_t sent = sim.AnswersSent();
    sim.Stop();

    // Match every answer event with the earliest unmatched press of that keypad and digit.
    std::vector<double> latencies;
    int received = 0, unmatched = 0;
    std::ifstream csv(csvPath);
    std::string line;
    std::getline(csv, line); // header
    while (std::getline(csv, line)) {
        std::stringstream ss(line);
        std::string time, elapsed, keypad, kind, value;
        std::getline(ss, time, ',');
        std::getline(ss, elapsed, ',');
        std::getline(ss, keypad, ',');
        std::getline(ss, kind, ',');
        std::getline(ss, value, '\r');
        if (kind != "answer")
            continue;
        ++received;
        SysClock::time_point at;
        if (!ParseUtc(time, at))
            continue;
        const int k = std::atoi(keypad.c_str());
        const auto p = std::find_if(presses.begin(), presses.end(), [&](const Press& pr) {
            return !pr.Matched && pr.Keypad == k && value.size() == 1 && pr.Digit == value[0] &&
                   pr.At <= at + 5ms;
        });
        if (p == presses.end()) {
            ++unmatched;
            continue;
        }
        p->Matched = true;
        latencies.push_back(Ms(at - p->At));
    }

    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const int toolExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("soak: %d s of kivra-diag poll, %zu presses scripted (%.1f per second)\n", o.Seconds,
                presses.size(), o.Rate);
    std::printf("answers: %llu sent by the base, %d received as events (%.2f%%), %d not matching a press\n",
                static_cast<unsigned long long>(sent), received,
                sent > 0 ? 100.0 * received / static_cast<double>(sent) : 0.0, unmatched);
    std::printf(
        "latency press -> event: median %.0f ms, 99th percentile %.0f ms, max %.0f ms (%zu answers)\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0),
        latencies.size());
    std::printf("tool CPU: %.2f s user+system over %d s (%.2f%%); peak memory (max RSS) %ld KiB\n", cpu,
                o.Seconds, 100.0 * cpu / o.Seconds, usage.ru_maxrss);
    std::printf("tool exit status: %d\n", toolExit);
    if (toolExit != 0) {
        std::ifstream err(errPath);
        std::printf("tool messages:\n%s\n", std::string(std::istreambuf_iterator<char>(err), {}).c_str());
    }
    std::remove(csvPath.c_str());
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    ::rmdir(dir);
    const bool ok = toolExit == 0 && sent > 0 && received >= 0.99 * static_cast<double>(sent);
    return ok ? 0 : 1;
}
