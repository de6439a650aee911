#pragma once
// Shared by the timing programs that poll the simulated base in a child process: the wall clock
// on the simulator's trace scale, this process's CPU time, the simulator child, the digit answers
// of its trace with the moment each could be framed, and percentiles.

#include "basesim/BaseSimulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kivra::bench {

// Milliseconds since local midnight on the wall clock: the simulator's trace uses the same scale.
inline double WallMsOfDay()
{
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    return ((local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec) * 1000.0 + tv.tv_usec / 1000.0;
}

inline double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the simulator on COM1 until the parent closes the control pipe. Never returns.
[[noreturn]] inline void RunSimulator(double rate, int bytesPerSecond, const std::string& trace, int ready,
                                      int control)
{
    int code = 0;
    try {
        basesim::SimConfig config;
        config.ComPort = 1;
        config.RandomPressesPerSecond = rate;
        config.BytesPerSecond = bytesPerSecond;
        config.TracePath = trace;
        basesim::BaseSimulator sim(config);
        sim.Start();
        [[maybe_unused]] auto n = ::write(ready, "R", 1);
        char c;
        while (::read(control, &c, 1) > 0) {
        }
        sim.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "simulator: %s\n", e.what());
        code = 1;
    }
    ::_exit(code);
}

struct Framable {
    int Keypad;
    int Digit;
    double AtMs;
};

//! The simulator child of a timing program, in a private port directory (so that its COM1 link
//! never meets another one), tracing to Dir + "/trace.txt". Closing Control ends it.
struct SimChild {
    std::string Dir;
    std::string Trace;
    pid_t Pid = -1;
    int Control = -1;
};

//! Forks the simulator and waits until it is ready; Pid stays -1 when it could not start.
inline SimChild StartSimChild(double rate, int bytesPerSecond)
{
    SimChild sim;
    char dir[] = "/tmp/kivra-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return sim;
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    sim.Dir = dir;
    sim.Trace = sim.Dir + "/trace.txt";
    int ready[2], control[2];
    if (::pipe(ready) != 0 || ::pipe(control) != 0)
        return sim;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        ::close(control[1]);
        RunSimulator(rate, bytesPerSecond, sim.Trace, ready[1], control[0]);
    }
    ::close(ready[1]);
    ::close(control[0]);
    char c = 0;
    if (child < 0 || ::read(ready[0], &c, 1) != 1) {
        std::fprintf(stderr, "the simulator did not start\n");
        return sim;
    }
    ::close(ready[0]);
    sim.Pid = child;
    sim.Control = control[1];
    return sim;
}

//! Ends the simulator child and waits for it.
inline void StopSimChild(const SimChild& sim)
{
    ::close(sim.Control);
    int status = 0;
    ::waitpid(sim.Pid, &status, 0);
}

// Digit answers of every packet in the trace, with the time of the write that followed the packet.
inline std::vector<Framable> ReadTrace(const std::string& path)
{
    struct Unit {
        double AtMs;
        std::string Bytes;
    };
    std::vector<Unit> units;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        int h = 0, m = 0, s = 0, ms = 0;
        char dir[8] = {};
        int used = 0;
        if (std::sscanf(line.c_str(), "%d:%d:%d.%d %7s%n", &h, &m, &s, &ms, dir, &used) != 5 ||
            std::strcmp(dir, "base>") != 0)
            continue;
        Unit u{((h * 60.0 + m) * 60.0 + s) * 1000.0 + ms, {}};
        std::istringstream hex(line.substr(static_cast<std::size_t>(used)));
        unsigned byte = 0;
        while (hex >> std::hex >> byte)
            u.Bytes.push_back(static_cast<char>(byte));
        units.push_back(std::move(u));
    }
    std::vector<Framable> out;
    for (std::size_t i = 0; i + 1 < units.size(); ++i) {
        const std::string& p = units[i].Bytes;
        if (p.size() != 56 || p[0] < 'A' || p[0] > 'E' || units[i + 1].Bytes.size() < 2)
            continue;
        for (int k = 1; k <= 50; ++k) {
            const char state = p[static_cast<std::size_t>(k)];
            if (state >= '0' && state <= '9')
                out.push_back({(p[0] - 'A') * 50 + k, state - '0', units[i + 1].AtMs});
        }
    }
    return out;
}

inline double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto index = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(index, v.size() - 1)];
}

} // namespace kivra::bench
