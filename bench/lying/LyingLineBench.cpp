// The control polling a base that lies, at line rate: list entries with terminator bytes and
// markers, random filler behind the states, noise bytes (scan group letters, list markers, tag
// letters) at a given share, lying frame lengths, a status without content, units split across
// writes. Base information is asked for every two seconds, so frames with lying lengths come
// between the packets. Once with error events and exceptions off (as kivra-diag has them), once
// with both on (as the utility has them).
//
// Per configuration, one line: the answers of intact packets that arrived as events, answers
// credited to a keypad that did not send them (an event the simulator never sent), the latency
// from the moment the packet could be framed (the two bytes behind it written) to the event, and
// the longest the message queue got.
//
// Usage: kivra-lying-line [--seconds N per configuration] [--rate PRESSES_PER_SECOND]
//                         [--noise SHARE] [--only off|on]

#include "basesim/BaseSimulator.h"
#include "bench/common/Options.h"
#include "control/Kivra.h"
#include "core/Exception.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    int Seconds = 60;
    double Rate = 10;
    double Noise = 0.01;
    std::string Only;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    kivra::bench::ParseNamedOptions(
        argc, argv,
        "Usage: kivra-lying-line [--seconds N per configuration] [--rate PRESSES_PER_SECOND] [--noise SHARE] "
        "[--only off|on]",
        {
            {"--seconds", [&o](const std::string& v) { o.Seconds = std::atoi(v.c_str()); }},
            {"--rate", [&o](const std::string& v) { o.Rate = std::atof(v.c_str()); }},
            {"--noise", [&o](const std::string& v) { o.Noise = std::atof(v.c_str()); }},
            {"--only", [&o](const std::string& v) { o.Only = v; }},
        });
    return o;
}

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto index = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(index, v.size() - 1)];
}

void Run(const Options& o, bool errorsOn, QCoreApplication& app)
{
    kivra::basesim::SimConfig config;
    config.ComPort = 1;
    config.BytesPerSecond = 960; // 9600 baud
    config.RandomPressesPerSecond = o.Rate;
    config.Seed = errorsOn ? 2 : 1;
    config.Lie.Lists = config.Lie.Filler = config.Lie.EmptyStatus = config.Lie.SplitWrites = true;
    config.Lie.Noise = o.Noise;
    config.Lie.BadLengths = 0.2;
    config.KeepSentAnswers = true;
    kivra::basesim::BaseSimulator sim(config);
    sim.Start();

    kivra::TKivra kivra;
    kivra.SetKivraModel(kivra::rstKivraModel::mAutoDetect);
    kivra.SetSerialPort(1);
    kivra.SetErrorEventsEnabled(errorsOn);
    kivra.SetErrorExceptionsEnabled(errorsOn);
    int reports = 0;
    kivra.SetOnError([&](int, std::string) { ++reports; });
    if (!kivra.Connect()) {
        std::fprintf(stderr, "Connect failed: %s\n", kivra.GetLastErrorMessage().c_str());
        return;
    }

    std::map<int, std::deque<std::pair<int, double>>> events; // keypad -> (value, ms), in order
    int maxQueue = 0;
    kivra.SetOnKeypadDataReceived([&](int id, int value) { events[id].emplace_back(value, NowMs()); });
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&] { maxQueue = std::max(maxQueue, kivra.GetQueuedMessageCount()); });
    sample.start(5);
    QTimer ask;
    QObject::connect(&ask, &QTimer::timeout, [&] {
        try {
            kivra.RequestBaseStatus();
            kivra.RequestBaseSerialNumber();
            kivra.RequestBaseChannel();
        } catch (const std::exception&) {
            // reported already (exceptions on)
        }
    });
    ask.start(2000);

    kivra.StartPolling();
    const double start = NowMs();
    QTimer::singleShot(o.Seconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    const double end = NowMs();
    sample.stop();
    ask.stop();
    kivra.StopPolling();
    const auto sent = sim.SentAnswers();
    kivra.Disconnect(false);
    sim.Stop();

    // Match each event to an answer of the same keypad and value, framable before it (within the
    // clock's slack) and not long before: an intact one when there is one, else the earliest.
    std::map<int, std::vector<const kivra::basesim::SentAnswer*>> byKeypad;
    for (const auto& a : sent)
        if (a.State >= '0' && a.State <= '9' && a.FramableMs >= start)
            byKeypad[a.Keypad].push_back(&a);
    std::vector<double> latencies;
    int wrong = 0;
    std::map<const kivra::basesim::SentAnswer*, bool> delivered;
    for (const auto& [keypad, list] : events) {
        const auto& answers = byKeypad[keypad];
        for (const auto& [value, at] : list) {
            const kivra::basesim::SentAnswer* best = nullptr;
            for (const auto* a : answers) {
                if (delivered.count(a) || a->State - '0' != value || a->FramableMs > at + 20 ||
                    a->FramableMs < at - 5000)
                    continue;
                if (best == nullptr || (a->Intact && !best->Intact))
                    best = a;
            }
            // A packet streamed before polling started may still be pumped: not counted.
            if (best == nullptr) {
                wrong += at - start > 1000 ? 1 : 0;
                continue;
            }
            delivered[best] = true;
            if (best->Intact)
                latencies.push_back(at - best->FramableMs);
        }
    }
    int intact = 0, intactDelivered = 0;
    for (const auto& [keypad, answers] : byKeypad)
        for (const auto* a : answers)
            if (a->Intact && a->FramableMs < end - 1000) {
                ++intact;
                intactDelivered += delivered.count(a) ? 1 : 0;
            }
    std::printf(
        "errors %s: %d of %d intact answers delivered (%.2f%%), %d credited to a wrong keypad, latency "
        "median %.0f ms, p99 %.0f ms, max %.0f ms, max queue %d, %d errors reported, %.0f s at 9600 baud, "
        "noise %.1f%%\n",
        errorsOn ? "on " : "off", intactDelivered, intact, intact ? 100.0 * intactDelivered / intact : 0.0,
        wrong, Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0), maxQueue,
        reports, (end - start) / 1000, 100 * o.Noise);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);
    // A private port directory, so that the simulator's COM1 link never meets another one.
    char dir[] = "/tmp/kivra-lying-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return 1;
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    kivra::SetExceptionHandler([](const std::exception&) {});

    QCoreApplication app(argc, argv);
    if (o.Only != "on")
        Run(o, false, app);
    if (o.Only != "off")
        Run(o, true, app);
    ::rmdir((std::string(dir) + "/kivra-ports").c_str());
    ::rmdir(dir);
    return 0;
}
