// Measures the control against the simulated base while polling: the latency from the moment a
// packet carrying an answer can be framed to OnKeypadDataReceived, the control's CPU time, and
// its memory at the start and the end of the run.
//
// The simulator runs in a child process, so getrusage of this process is the control alone. The
// moment a packet can be framed is when its 56 bytes and the two bytes after it are written: the
// framing waits for those two. It is taken from the simulator's trace, which stamps every write
// with the wall clock; the control's events are stamped with the same clock.
//
// Events whose packet was streamed before StartPolling (the detection's XON starts the stream,
// the packets are pumped once polling) show as unmatched; answers written while polling that no
// event delivered show as lost.
//
// Usage: kivra-control-latency [--seconds N] [--rate PRESSES_PER_SECOND] [--bytes-per-second B]

#include "bench/common/Options.h"
#include "bench/common/SimTrace.h"
#include "control/Kivra.h"
#include "core/Exception.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace kivra::bench;

namespace {

struct Options {
    int Seconds = 60;
    double Rate = 5;          // answers per second from the whole keypad population
    int BytesPerSecond = 960; // a 9600-baud line
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    ParseNamedOptions(
        argc, argv,
        "Usage: kivra-control-latency [--seconds N] [--rate PRESSES_PER_SECOND] [--bytes-per-second B]",
        {
            {"--seconds", [&o](const std::string& v) { o.Seconds = std::atoi(v.c_str()); }},
            {"--rate", [&o](const std::string& v) { o.Rate = std::atof(v.c_str()); }},
            {"--bytes-per-second", [&o](const std::string& v) { o.BytesPerSecond = std::atoi(v.c_str()); }},
        });
    return o;
}

long RssKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);

    const SimChild sim = StartSimChild(o.Rate, o.BytesPerSecond);
    if (sim.Pid < 0)
        return 1;
    const std::string& trace = sim.Trace;
    const char* dir = sim.Dir.c_str();

    QCoreApplication app(argc, argv);
    kivra::TKivra kivra;
    kivra.SetErrorExceptionsEnabled(false);
    kivra.SetErrorEventsEnabled(true);
    int errors = 0;
    kivra.SetOnError([&](int code, std::string text) {
        ++errors;
        std::fprintf(stderr, "error %d: %s\n", code, text.c_str());
    });
    kivra.SetKivraModel(kivra::rstKivraModel::mAutoDetect);
    kivra.SetSerialPort(1);
    if (!kivra.Connect()) {
        std::fprintf(stderr, "Connect failed\n");
        return 1;
    }

    std::map<int, std::deque<std::pair<int, double>>> received; // keypad -> (digit, time)
    int events = 0;
    kivra.SetOnKeypadDataReceived([&](int id, int value) {
        received[id].emplace_back(value, WallMsOfDay());
        ++events;
    });

    kivra.StartPolling();
    const long rssStart = RssKb();
    const double cpuStart = CpuSeconds();
    const double wallStart = WallMsOfDay();
    // A sample after a quarter of the run separates warming up from growth.
    long rssQuarter = 0;
    QTimer::singleShot(o.Seconds * 250, Qt::PreciseTimer, &app, [&] { rssQuarter = RssKb(); });
    QTimer::singleShot(o.Seconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = CpuSeconds() - cpuStart;
    const double wallEnd = WallMsOfDay();
    const double wall = (wallEnd - wallStart) / 1000.0;
    const long rssEnd = RssKb();
    kivra.Disconnect(false);

    StopSimChild(sim);

    // Match each event with the packet that carried it: the latest packet of that keypad with that
    // digit written before the event. Packets framable while polling, up to a second before the
    // end, that no event matched are answers the control lost.
    std::vector<double> latencies;
    int unmatched = 0;
    const std::vector<Framable> sent = ReadTrace(trace);
    std::map<int, std::vector<std::pair<Framable, bool>>> byKeypad; // packet, used
    std::size_t whilePolling = 0;
    for (const Framable& f : sent) {
        // The detection's XON starts the stream, but before StartPolling nothing is delivered.
        if (f.AtMs >= wallStart) {
            byKeypad[f.Keypad].emplace_back(f, false);
            ++whilePolling;
        }
    }
    for (auto& [keypad, answers] : received) {
        auto& packets = byKeypad[keypad];
        for (const auto& [digit, at] : answers) {
            auto best = packets.end();
            for (auto it = packets.begin(); it != packets.end() && it->first.AtMs <= at; ++it)
                if (!it->second && it->first.Digit == digit)
                    best = it;
            if (best == packets.end()) {
                ++unmatched;
                continue;
            }
            best->second = true;
            latencies.push_back(at - best->first.AtMs);
        }
    }
    int lost = 0;
    for (const auto& [keypad, packets] : byKeypad)
        for (const auto& [packet, used] : packets)
            if (!used && packet.AtMs < wallEnd - 1000) {
                ++lost;
                std::fprintf(stderr, "not delivered: keypad %d digit %d at %.0f ms\n", packet.Keypad,
                             packet.Digit, packet.AtMs - wallStart);
            }
    ::unlink(trace.c_str());
    ::unlink((std::string(dir) + "/kivra-ports/COM1").c_str());
    ::rmdir((std::string(dir) + "/kivra-ports").c_str());
    ::rmdir(dir);

    std::printf("run: %.1f s polling, %.1f answers/s offered, line %d bytes/s\n", wall, o.Rate,
                o.BytesPerSecond);
    std::printf("answers: %zu digit answers in packets while polling, %d events, %zu matched, %d unmatched, "
                "%d lost, %d errors\n",
                whilePolling, events, latencies.size(), unmatched, lost, errors);
    std::printf("latency packet framable -> OnKeypadDataReceived: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0));
    std::printf("control CPU: %.3f s over %.1f s = %.3f%% of one core\n", cpu, wall, 100.0 * cpu / wall);
    std::printf(
        "control RSS: %ld kB at start, %ld kB after a quarter, %ld kB at end (%+ld kB over the last three "
        "quarters)\n",
        rssStart, rssQuarter, rssEnd, rssEnd - rssQuarter);
    return 0;
}
