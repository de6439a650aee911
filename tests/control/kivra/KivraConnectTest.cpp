// The control against the simulated base over a real pty: connecting to each kind of base,
// polling, the keep-alive, lost links, Disconnect and destruction.

#include "basesim/BaseSimulator.h"
#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using kivra::rstKivraModel;
using kivra::TKivra;
using kivra::basesim::BaseSimulator;
using kivra::basesim::FailureMode;
using kivra::basesim::Generation;
using kivra::basesim::SimConfig;
using kivra::test::EventRecorder;
using kivra::test::WaitUntil;

namespace {

constexpr int kPort = 3;

std::unique_ptr<BaseSimulator> StartBase(Generation gen, FailureMode failure = FailureMode::None)
{
    SimConfig config;
    config.Gen = gen;
    config.Failure = failure;
    return kivra::test::StartSimulator(config, kPort);
}

// A control on kPort whose pauses keep the event loop running, reporting into rec without raising.
std::unique_ptr<TKivra> MakeControl(EventRecorder& rec, rstKivraModel model)
{
    auto kivra = std::make_unique<TKivra>();
    kivra->SetPauseFunction([](int ms) { kivra::test::ProcessEventsFor(std::chrono::milliseconds(ms)); });
    rec.Attach(*kivra);
    kivra->SetErrorExceptionsEnabled(false);
    kivra->SetKivraModel(model);
    kivra->SetSerialPort(kPort);
    return kivra;
}

bool Has(const std::vector<std::string>& commands, const std::string& command)
{
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// True when the commands hold the wanted ones in this order (others may come between).
bool InOrder(const std::vector<std::string>& commands, const std::vector<std::string>& wanted)
{
    auto it = commands.begin();
    for (const std::string& w : wanted) {
        it = std::find(it, commands.end(), w);
        if (it == commands.end())
            return false;
        ++it;
    }
    return true;
}

// Connect ends with the XOFF of StopPolling, written without waiting: wait until the base read it.
bool Settled(BaseSimulator& sim)
{
    return WaitUntil(
        [&] {
            const auto commands = sim.Commands();
            return !commands.empty() && commands.back() == "\x13";
        },
        1000ms);
}

std::string Show(const std::vector<std::string>& commands)
{
    std::string out;
    for (const std::string& c : commands) {
        for (const char ch : c)
            out += (ch >= 0x20 && ch < 0x7F) ? std::string(1, ch) : "\\x" + std::to_string(ch & 0xFF);
        out += ' ';
    }
    return out;
}

} // namespace

TEST(KivraConnect, NewerBaseIsDetectedIdentifiedAndDisconnected)
{
    auto sim = StartBase(Generation::Newer);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);

    ASSERT_TRUE(kivra->Connect()) << (rec.Errors.empty() ? "" : rec.Errors[0].second);
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_TRUE(kivra->GetConnected());
    EXPECT_FALSE(kivra->GetPolling());
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mKivraSol);
    EXPECT_EQ(kivra->GetBaseVersion().substr(0, 6), "QTB420");
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "104523");
    EXPECT_EQ(kivra->GetBaseChannel(), 7);
    EXPECT_TRUE(rec.HasDebug("KivraSol detected"));
    EXPECT_TRUE(rec.HasDebug("Connect complete"));
    const auto commands = sim->Commands();
    EXPECT_TRUE(InOrder(commands, {"\x11", "WV", "WS", "WN", "BR", "PS", "\x13"})) << Show(commands);
    EXPECT_EQ(commands.back(), "\x13") << Show(commands);

    // Connected: the port, the model and the time-out are fixed.
    kivra->SetSerialPort(5);
    kivra->SetKivraModel(rstKivraModel::mKivra);
    kivra->SetCommunicationTimeout(kivra->GetCommunicationTimeout()); // the same value: silently fine
    kivra->SetCommunicationTimeout(4000);
    const std::vector<std::pair<int, std::string>> refusals = {
        {-2, "SerialPort is read-only while connected.  Connected:-1"},
        {-2, "You must disconnect before changing the KivraModel property."},
        {-2,
         "CommunicationTimeout cannot be changed while connected.  Disconnect, make change, and reconnect."},
    };
    EXPECT_EQ(rec.Errors, refusals);
    EXPECT_EQ(kivra->GetSerialPort(), kPort);
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mKivraSol);
    EXPECT_EQ(kivra->GetMaxKeypads(), 250);
    EXPECT_EQ(kivra->GetCommunicationTimeout(), 3000);
    rec.Clear();

    EXPECT_FALSE(kivra->Connect());
    EXPECT_TRUE(rec.HasDebug("Redundant Method Call: Already connected to base"));
    EXPECT_TRUE(rec.Errors.empty());

    // Not polling: the connection timer pings every 2000 ms.
    sim->ClearHostLog();
    EXPECT_TRUE(WaitUntil([&] { return Has(sim->Commands(), "XX"); }, 3500ms));

    sim->ClearHostLog();
    kivra->Disconnect(false);
    EXPECT_TRUE(WaitUntil([&] { return sim->HostBytes() == "\x13"; }, 1000ms));
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_EQ(kivra->GetBaseVersion(), "Not Connected");
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "Not Connected");
    EXPECT_EQ(kivra->GetBaseChannel(), -1);
    EXPECT_TRUE(rec.HasDebug("Disconnect: Completed Successfully."));
    rec.Clear();
    kivra->Disconnect(false);
    EXPECT_TRUE(rec.HasDebug("Redundant method call: Already disconnected"));
    EXPECT_TRUE(rec.Errors.empty());

    // Disconnected: StopPolling sends nothing, no more pings, and a second connection works.
    sim->ClearHostLog();
    kivra->StopPolling();
    EXPECT_FALSE(kivra->GetPolling());
    kivra::test::ProcessEventsFor(2500ms);
    EXPECT_EQ(sim->HostBytes(), "");
    // The detected model stays stored, so the second Connect confirms it.
    rec.Clear();
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.HasDebug("KivraSol model confirmed"));
    EXPECT_EQ(sim->ConnectCount(), 2U);
}

TEST(KivraConnect, OlderBaseRefusedAsKivraSolAndDetectedAsKivra)
{
    auto sim = StartBase(Generation::Older);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mKivraSol);

    EXPECT_FALSE(kivra->Connect());
    EXPECT_TRUE(rec.HasDebug("Incorrect model specified - the connected base is not KivraSol!"));
    EXPECT_TRUE(rec.Errors.empty()); // a mismatch is no error
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mNone);
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_EQ(kivra->GetBaseVersion(), "Not Connected");

    kivra->SetKivraModel(rstKivraModel::mAutoDetect);
    sim->ClearHostLog();
    rec.Clear();
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_TRUE(rec.HasDebug("Kivra detected"));
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mKivra);
    EXPECT_EQ(kivra->GetBaseVersion().substr(0, 6), "QTB410");
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "Legacy Version");
    const auto commands = sim->Commands();
    EXPECT_TRUE(Has(commands, "WV"));
    for (const char* newerOnly : {"WS", "WN", "BR", "PS"})
        EXPECT_FALSE(Has(commands, newerOnly)) << newerOnly << ": " << Show(commands);
    EXPECT_EQ(commands.back(), "\x13");
}

TEST(KivraConnect, BaseThatNeverAnswersTheVersionRequest)
{
    auto sim = StartBase(Generation::Legacy);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);

    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_TRUE(rec.HasDebug("Legacy base detected - model unknown"));
    EXPECT_EQ(kivra->GetBaseVersion(), "Legacy Version");
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "Legacy Version");
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mNone);
    // The detected model is stored in the field only: the capacity of the model written stays.
    EXPECT_EQ(kivra->GetMaxKeypads(), 250);
    kivra->Disconnect(false);

    kivra->SetKivraModel(rstKivraModel::mKivra);
    rec.Clear();
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.HasDebugStartingWith("Unable to confirm Kivra model"));
    EXPECT_EQ(kivra->GetKivraModel(), rstKivraModel::mKivra);
}

TEST(KivraConnect, PortWithoutBase)
{
    auto sim = StartBase(Generation::Newer, FailureMode::Silent);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);

    EXPECT_FALSE(kivra->Connect());
    const std::vector<std::pair<int, std::string>> expected = {
        {-2, "No Kivra device detected."},
        {-1, "Connection failed on \"COM 3\"."},
    };
    EXPECT_EQ(rec.Errors, expected);
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_EQ(kivra->GetLastErrorCode(), -1);

    // A port that cannot be opened at all: the open error (-2), then the same -1.
    sim.reset();
    rec.Clear();
    kivra->SetSerialPort(4);
    EXPECT_FALSE(kivra->Connect());
    ASSERT_EQ(rec.Errors.size(), 2U);
    EXPECT_EQ(rec.Errors[0].first, -2);
    EXPECT_FALSE(rec.Errors[0].second.empty());
    EXPECT_EQ(rec.Errors[1], std::make_pair(-1, std::string("Connection failed on \"COM 4\".")));

    // With exceptions on, the first report ends Connect.
    kivra->SetErrorExceptionsEnabled(true);
    rec.Clear();
    EXPECT_THROW(kivra->Connect(), kivra::Exception);
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0].first, -2);
    EXPECT_FALSE(kivra->GetConnected());
}

TEST(KivraConnect, PollingDeliversAnswersAndSilencesThePing)
{
    auto sim = StartBase(Generation::Newer);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);
    std::vector<std::pair<int, int>> answers;
    kivra->SetOnKeypadDataReceived([&](int id, int value) { answers.emplace_back(id, value); });
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));

    sim->ClearHostLog();
    kivra->StartPolling();
    EXPECT_TRUE(kivra->GetPolling());
    EXPECT_TRUE(WaitUntil([&] { return sim->HostBytes() == "\x11"; }, 1000ms));
    EXPECT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 1000ms));

    sim->Press(17, '4');
    sim->Press(203, '9');
    EXPECT_TRUE(WaitUntil([&] { return answers.size() >= 2; }, 4000ms));
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, (std::vector<std::pair<int, int>>{{17, 4}, {203, 9}}));

    // While polling there is no ping.
    kivra::test::ProcessEventsFor(2500ms);
    EXPECT_FALSE(Has(sim->Commands(), "XX")) << Show(sim->Commands());
    EXPECT_TRUE(rec.Errors.empty());

    sim->ClearHostLog();
    kivra->StopPolling();
    EXPECT_FALSE(kivra->GetPolling());
    EXPECT_TRUE(WaitUntil([&] { return sim->HostBytes() == "\x13"; }, 1000ms));
    EXPECT_TRUE(WaitUntil([&] { return Has(sim->Commands(), "XX"); }, 3500ms));
    EXPECT_TRUE(rec.Errors.empty());
}

TEST(KivraConnect, StalledPollingLinkIsLostOnceAndCanReconnect)
{
    auto sim = StartBase(Generation::Newer);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);
    kivra->SetCommunicationTimeout(2000);
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    kivra->StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 1000ms));
    kivra::test::ProcessEventsFor(500ms);

    sim->SetFailure(FailureMode::StallWhilePolling);
    // The time-out plus one watchdog tick, with room for a busy machine.
    EXPECT_TRUE(WaitUntil([&] { return !rec.Errors.empty(); }, 6000ms));
    kivra::test::ProcessEventsFor(1500ms);
    const std::vector<std::pair<int, std::string>> lost = {
        {-1, "Connection lost.  Verify physical connection and retry Connect."}};
    EXPECT_EQ(rec.Errors, lost);
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_FALSE(kivra->GetPolling());
    EXPECT_EQ(kivra->GetBaseVersion(), "Not Connected");

    sim->SetFailure(FailureMode::None);
    rec.Clear();
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.Errors.empty());
    // The message timer the lost link left behind does not run beside the new one: the message
    // timer and the ping are all that tick.
    int ticking = 0;
    for (const QTimer* timer : kivra->findChildren<QTimer*>(Qt::FindDirectChildrenOnly))
        ticking += timer->isActive() ? 1 : 0;
    EXPECT_EQ(ticking, 2);
    kivra->StartPolling();
    sim->Press(1, '0');
    bool answered = false;
    kivra->SetOnKeypadDataReceived([&](int id, int value) { answered = id == 1 && value == 0; });
    EXPECT_TRUE(WaitUntil([&] { return answered; }, 4000ms));
}

TEST(KivraConnect, UnpluggedWhilePollingIsReportedOnceWithoutACrash)
{
    auto sim = StartBase(Generation::Newer);
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    kivra->StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 1000ms));
    // With exceptions on, the raised text goes to the central handler, not through Qt.
    kivra->SetErrorExceptionsEnabled(true);
    std::vector<std::string> handled;
    kivra::SetExceptionHandler([&](const std::exception& e) { handled.emplace_back(e.what()); });

    sim->SetFailure(FailureMode::Unplug);
    EXPECT_TRUE(WaitUntil([&] { return !rec.Errors.empty(); }, 5000ms));
    kivra::test::ProcessEventsFor(4000ms); // longer than the watchdog's time-out and a ping
    kivra::SetExceptionHandler(nullptr);
    ASSERT_EQ(rec.Errors.size(), 1U) << rec.Errors.back().second;
    EXPECT_EQ(rec.Errors[0].first, -1);
    EXPECT_EQ(rec.Errors[0].second, "Connection Lost - check physical base connection");
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_FALSE(kivra->GetPolling());
    EXPECT_NE(std::find(handled.begin(), handled.end(), rec.Errors[0].second), handled.end());

    // A base on the same port again: the control connects as before.
    sim.reset();
    sim = StartBase(Generation::Newer);
    kivra->SetErrorExceptionsEnabled(false);
    rec.Clear();
    ASSERT_TRUE(kivra->Connect()) << (rec.Errors.empty() ? "" : rec.Errors[0].second);
    ASSERT_TRUE(Settled(*sim));
    EXPECT_TRUE(rec.Errors.empty());
}

TEST(KivraConnect, DestroyingAConnectedControlDisconnectsQuietly)
{
    auto sim = StartBase(Generation::Newer);
    const int fdsBefore = kivra::test::OpenFdCount();
    EventRecorder rec;
    auto kivra = MakeControl(rec, rstKivraModel::mAutoDetect);
    ASSERT_TRUE(kivra->Connect());
    ASSERT_TRUE(Settled(*sim));
    kivra->StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 1000ms));
    kivra->SetErrorExceptionsEnabled(true);
    sim->ClearHostLog();
    rec.Clear();

    EXPECT_NO_THROW(kivra.reset());
    EXPECT_TRUE(rec.Debug.empty());
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_TRUE(WaitUntil([&] { return sim->HostBytes() == "\x13"; }, 1000ms)) << sim->HostBytes().size();
    EXPECT_FALSE(sim->Streaming());
    EXPECT_TRUE(WaitUntil([&] { return kivra::test::OpenFdCount() <= fdsBefore; }, 1000ms))
        << kivra::test::OpenFdCount() << " > " << fdsBefore;
}
