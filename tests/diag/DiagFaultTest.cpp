// Fault injection: kivra-diag polling a simulated base that turns noisy, stalls or is unplugged.
// In-process runs through kivra_diag, and runs of the built executable for the exit status,
// CPU time and the end of the process.

#include "basesim/BaseSimulator.h"
#include "diag/DiagOptions.h"
#include "tests/diag/DiagToolRunner.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace kivra::basesim;
using namespace std::chrono_literals;
using kivra::diag::ExitCode;
using kivra::test::CountOf;
using kivra::test::RunDiagExecutable;
using kivra::test::RunDiagInProcess;

namespace {

constexpr int kPort = 5;
constexpr int kTimeoutMs = 3000;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // ASan keeps freed memory in quarantine: RSS says nothing
#else
constexpr bool kSanitized = false;
#endif

std::vector<std::string> Cmd(const std::string& command, const std::vector<std::string>& more = {})
{
    return kivra::test::OnPort(kPort, command, more);
}

std::unique_ptr<BaseSimulator> StartBase(SimConfig cfg = {})
{
    return kivra::test::StartSimulator(std::move(cfg), kPort);
}

int Code(ExitCode c)
{
    return static_cast<int>(c);
}

//! Calls action once, at the first tick of the event loop that runs while the tool polls.
class OnFirstTick {
public:
    OnFirstTick(std::chrono::milliseconds after, std::function<void()> action)
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this, a = std::move(action)] {
            at_ = std::chrono::steady_clock::now();
            a();
        });
        timer_.start(after); // the tool's connect blocks; the loop runs once it polls
    }
    std::chrono::steady_clock::time_point At() const { return at_; }

private:
    QTimer timer_;
    std::chrono::steady_clock::time_point at_{};
};

//! Keypad answers found intact on the line in the simulator's trace: (keypad, key) pairs that a
//! packet with the right group letter carried at the keypad's place.
std::multiset<std::pair<int, char>> IntactAnswers(const std::string& tracePath,
                                                  const std::vector<std::pair<int, char>>& pressed)
{
    std::multiset<std::pair<int, char>> wanted(pressed.begin(), pressed.end()), found;
    std::ifstream trace(tracePath);
    std::string line;
    while (std::getline(trace, line)) {
        const auto at = line.find(" base> ");
        if (at == std::string::npos)
            continue;
        std::istringstream hex(line.substr(at + 7));
        std::string bytes;
        for (std::string b; hex >> b;)
            bytes += static_cast<char>(std::stoi(b, nullptr, 16));
        if (bytes.size() != 56 || bytes[0] < 'A' || bytes[0] > 'E')
            continue;
        const int base = (bytes[0] - 'A') * 50;
        for (int k = 1; k <= 50; ++k) {
            const std::pair<int, char> answer{base + k, bytes[static_cast<std::size_t>(k)]};
            if (found.count(answer) < wanted.count(answer))
                found.insert(answer);
        }
    }
    return found;
}

//! (keypad, key) of every answer row of a poll CSV file.
std::multiset<std::pair<int, char>> CsvAnswers(const std::string& path)
{
    std::multiset<std::pair<int, char>> out;
    std::ifstream in(path);
    std::string line;
    const std::regex row(R"(^[^,]+,[^,]+,(\d+),answer,(\d)\r?$)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row))
            out.insert({std::stoi(m[1]), m[2].str()[0]});
    }
    return out;
}

} // namespace

// Noise on 1% of the bytes while polling: every answer that reached the line intact arrives (at
// least 99% of them), the control reports no more unrecognised data than noise could make, the
// tool shows only a few of those reports and their count, and memory stays flat.
TEST(DiagFaults, NoiseWhilePolling)
{
    const std::string trace = kivra::test::UsePrivatePortDirectory() + "/noise-trace.txt";
    const std::string csv = kivra::test::UsePrivatePortDirectory() + "/noise.csv";
    SimConfig cfg;
    cfg.TracePath = trace;
    cfg.NoiseRate = 0.01;
    cfg.Seed = 5;
    auto sim = StartBase(cfg);

    std::vector<std::pair<int, char>> pressed;
    long rssAtStart = 0, rssAtEnd = 0;
    int tick = 0;
    QTimer script;
    QObject::connect(&script, &QTimer::timeout, [&] {
        ++tick;
        if (tick == 1) {
            sim->SetFailure(FailureMode::Noise);
            rssAtStart = kivra::test::ResidentKiB();
        }
        // 250 keypads, two every 50 ms: five seconds of answers, then two to let them through.
        for (int i = 0; i < 2 && pressed.size() < 250; ++i) {
            const int k = static_cast<int>(pressed.size()) + 1;
            const char key = static_cast<char>('0' + k % 10);
            sim->Press(k, key);
            pressed.emplace_back(k, key);
        }
        rssAtEnd = kivra::test::ResidentKiB();
    });
    script.start(50);
    const auto r = RunDiagInProcess(Cmd("poll", {"--seconds", "9", "--csv", csv}));
    script.stop();
    sim->Stop();
    ASSERT_EQ(r.Code, 0) << r.Err;
    ASSERT_EQ(pressed.size(), 250u);

    const auto intact = IntactAnswers(trace, pressed);
    const auto received = CsvAnswers(csv);
    int intactReceived = 0;
    for (const auto& a : std::set<std::pair<int, char>>(intact.begin(), intact.end()))
        intactReceived += static_cast<int>(std::min(intact.count(a), received.count(a)));
    std::printf("noise: %llu answers sent, %zu intact on the line, %d of them received, %zu answer events\n",
                static_cast<unsigned long long>(sim->AnswersSent()), intact.size(), intactReceived,
                received.size());
    ASSERT_GT(intact.size(), 200u); // 1% noise leaves most answers intact
    EXPECT_GE(intactReceived, 0.99 * static_cast<double>(intact.size()));

    // Reports: the first few shown, then a count; never more than noise could produce (about one
    // per damaged byte: 1% of the bytes of nine seconds at 960 bytes per second is under 100).
    EXPECT_EQ(r.Err.find("link lost"), std::string::npos) << r.Err;
    EXPECT_LE(CountOf(r.Err, "kivra-diag: base: "), 5) << r.Err;
    std::smatch m;
    const std::regex total(R"((\d+) reports of unrecognised data)");
    if (std::regex_search(r.Err, m, total)) {
        EXPECT_LT(std::stoi(m[1]), 200) << r.Err;
    }
    EXPECT_LE(CountOf(r.Err, "\n"), 12) << r.Err;

    if (!kSanitized) {
        EXPECT_LT(rssAtEnd - rssAtStart, 8 * 1024)
            << "RSS grew from " << rssAtStart << " to " << rssAtEnd << " KiB";
    }
}

// A base that stops sending while polling: one "Connection lost" within the time-out and one
// watchdog tick, exit status 5, and the next session connects once the base answers again.
TEST(DiagFaults, StallWhilePolling)
{
    auto sim = StartBase();
    OnFirstTick stall(500ms, [&] { sim->SetFailure(FailureMode::StallWhilePolling); });
    const auto r =
        RunDiagInProcess(Cmd("poll", {"--seconds", "30", "--timeout", std::to_string(kTimeoutMs)}));
    const auto detected = std::chrono::steady_clock::now();
    ASSERT_NE(stall.At(), std::chrono::steady_clock::time_point{});
    EXPECT_EQ(r.Code, Code(ExitCode::LinkLost)) << r.Err;
    EXPECT_EQ(CountOf(r.Err, "link lost: Connection lost.  Verify physical connection and retry Connect."), 1)
        << r.Err;
    EXPECT_EQ(r.Err.find("reported"), std::string::npos) << r.Err;
    // The summary of what came before the stall is still printed.
    EXPECT_NE(r.Out.find("Polled for "), std::string::npos) << r.Out;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(detected - stall.At());
    // Time-out plus one watchdog tick (time-out / 4), and a second of slack for a loaded machine.
    EXPECT_LE(took.count(), kTimeoutMs + kTimeoutMs / 4 + 1000) << took.count() << " ms";
    EXPECT_GE(took.count(), kTimeoutMs - 100) << took.count() << " ms";

    sim->SetFailure(FailureMode::None);
    const auto again = RunDiagInProcess(Cmd("identify"));
    EXPECT_EQ(again.Code, 0) << again.Err;
    EXPECT_NE(again.Out.find("QTB420"), std::string::npos);
}

// The line goes away while polling, and while connected but idle (waiting for a slow list): one
// lost-link report, status 5, at once rather than after the wait, and little CPU on the way.
TEST(DiagFaults, UnplugWhilePollingAndIdle)
{
    {
        auto sim = StartBase();
        OnFirstTick unplug(1000ms, [&] { sim->SetFailure(FailureMode::Unplug); });
        const auto r = RunDiagInProcess(Cmd("poll", {"--seconds", "30"}));
        const auto ended = std::chrono::steady_clock::now();
        EXPECT_EQ(r.Code, Code(ExitCode::LinkLost)) << r.Err;
        EXPECT_EQ(CountOf(r.Err, "link lost: "), 1) << r.Err;
        EXPECT_EQ(r.Err.find("reported"), std::string::npos) << r.Err;
        EXPECT_LT(std::chrono::duration<double>(ended - unplug.At()).count(), 3.0);
        EXPECT_LT(r.CpuSeconds, 0.5 * r.Seconds) << r.CpuSeconds << " s of CPU in " << r.Seconds << " s";
    }
    {
        // Once the connect has asked for the channel, the base turns into an older one, which
        // ignores the request for the list: the tool waits, connected and not polling.
        auto sim = StartBase();
        std::atomic<bool> done{false};
        std::thread older([&] {
            while (!done) {
                const auto commands = sim->Commands();
                if (std::find(commands.begin(), commands.end(), "BR") != commands.end()) {
                    sim->SetGeneration(Generation::Older);
                    return;
                }
                std::this_thread::sleep_for(5ms);
            }
        });
        OnFirstTick unplug(1000ms, [&] { sim->SetFailure(FailureMode::Unplug); });
        const auto r = RunDiagInProcess(Cmd("serials", {"--wait", "20"}));
        done = true;
        older.join();
        const auto ended = std::chrono::steady_clock::now();
        EXPECT_EQ(r.Code, Code(ExitCode::LinkLost)) << r.Err;
        EXPECT_EQ(CountOf(r.Err, "link lost: "), 1) << r.Err;
        // Noticed by the next keep-alive at the latest (every two seconds while not polling).
        EXPECT_LT(std::chrono::duration<double>(ended - unplug.At()).count(), 4.0);
        EXPECT_LT(r.CpuSeconds, 0.5 * r.Seconds) << r.CpuSeconds << " s of CPU in " << r.Seconds << " s";
    }
}

// The built executable: status codes, data on standard output, messages on standard error.
TEST(DiagExecutable, StatusAndStreams)
{
    const auto help = RunDiagExecutable({"--help"}, 10s);
    EXPECT_EQ(help.Code, 0);
    EXPECT_NE(help.Out.find("Exit status:"), std::string::npos);
    const auto bad = RunDiagExecutable({"poll", "--port", "1", "--seconds", "x"}, 10s);
    EXPECT_EQ(bad.Code, Code(ExitCode::BadArguments));
    EXPECT_TRUE(bad.Out.empty());
    EXPECT_NE(bad.Err.find("kivra-diag: --seconds"), std::string::npos) << bad.Err;

    auto sim = StartBase();
    const auto id = RunDiagExecutable(Cmd("identify"), 30s);
    EXPECT_EQ(id.Code, 0) << id.Err;
    EXPECT_NE(id.Out.find("Product:          QTB420"), std::string::npos) << id.Out;
    EXPECT_EQ(id.Err.find("QTB420"), std::string::npos) << id.Err;
}

// Unplugged while the executable polls: it ends by itself with status 5, soon, cleanly (no
// signal, no crash) and without spinning.
TEST(DiagExecutable, UnplugEndsTheProcessCleanly)
{
    auto sim = StartBase();
    bool unplugged = false;
    double unpluggedAt = 0;
    const auto r = RunDiagExecutable(Cmd("poll", {"--seconds", "60"}), 40s, [&](double elapsed) {
        if (!unplugged && sim->ConnectCount() >= 2 && sim->Streaming()) {
            sim->SetFailure(FailureMode::Unplug);
            unplugged = true;
            unpluggedAt = elapsed;
        }
    });
    ASSERT_TRUE(unplugged);
    EXPECT_EQ(r.Code, Code(ExitCode::LinkLost)) << r.Err;
    EXPECT_LT(r.Seconds - unpluggedAt, 5.0) << r.Seconds << " " << unpluggedAt;
    EXPECT_LT(r.CpuSeconds, 0.5 * r.Seconds) << r.CpuSeconds;
    EXPECT_EQ(CountOf(r.Err, "link lost: "), 1) << r.Err;
    EXPECT_NE(r.Out.find("Polled for "), std::string::npos) << r.Out;
}

// Ctrl-C ends a poll early with its summary, and the base is told to stop streaming.
TEST(DiagExecutable, InterruptEndsPollWithSummary)
{
    auto sim = StartBase();
    bool sent = false;
    const auto r = RunDiagExecutable(
        Cmd("poll", {"--seconds", "60"}), 40s,
        [&](double) {
            if (!sent && sim->ConnectCount() >= 2 && sim->Streaming()) {
                sent = true;
                sim->Press(7, '3');
            }
        },
        6000);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_LT(r.Seconds, 20.0);
    EXPECT_NE(r.Err.find("stopped early"), std::string::npos) << r.Err;
    EXPECT_NE(r.Out.find("1 of 250 keypads answered"), std::string::npos) << r.Out;
    EXPECT_TRUE(kivra::test::WaitUntil([&] { return !sim->Streaming(); }, 2s));
}
