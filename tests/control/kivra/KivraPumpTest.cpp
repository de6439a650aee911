// The message pump and the keep-alive against a hand-driven base: exact bytes in, events and
// property changes out.

#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/control/framing/FramingTestSupport.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;
using kivra::rstKivraModel;
using kivra::TKivra;
using kivra::test::EventRecorder;
using kivra::test::Frame;
using kivra::test::PtyPeer;
using kivra::test::WaitUntil;

namespace {

constexpr int kPort = 6;

// A hand-driven base: it answers every XON with the detection mark and otherwise sends only what
// the test writes.
class TFakeBase : public PtyPeer {
public:
    explicit TFakeBase(int comPort) : PtyPeer(comPort, "YZZ", XOnReply::Every) {}
};

// A control connected to the fake base as model mKivra (no version answer: a short Connect).
std::unique_ptr<TKivra> ConnectTo(TFakeBase& base, EventRecorder& rec)
{
    (void)base;
    auto kivra = std::make_unique<TKivra>();
    kivra->SetPauseFunction([](int ms) { kivra::test::ProcessEventsFor(std::chrono::milliseconds(ms)); });
    rec.Attach(*kivra);
    kivra->SetErrorExceptionsEnabled(false);
    kivra->SetKivraModel(rstKivraModel::mKivra);
    kivra->SetSerialPort(kPort);
    if (!kivra->Connect())
        return nullptr;
    rec.Clear();
    return kivra;
}

// A keypad data packet of group letter with one answer, and the two bytes the framing waits for.
std::string PacketWith(char letter, int index, char state)
{
    std::string packet(1, letter);
    packet += std::string(50, '-');
    packet[static_cast<std::size_t>(index) + 1] = state;
    packet += "   \r\n";
    return packet + "\r\n";
}

} // namespace

TEST(KivraPump, QueuedMessagesReachTheirParsers)
{
    TFakeBase base(kPort);
    EventRecorder rec;
    auto kivra = ConnectTo(base, rec);
    ASSERT_NE(kivra, nullptr);
    EXPECT_EQ(kivra->GetBaseVersion(), "Legacy Version");
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "Legacy Version");

    base.Write(Frame("CHANNEL", "07") + Frame("SERIAL #", "123456") + Frame("KIVRA", "420,Ver 02.10.07"));
    ASSERT_TRUE(WaitUntil([&] { return kivra->GetBaseChannel() == 7; }, 2000ms));
    ASSERT_TRUE(WaitUntil([&] { return kivra->GetBaseVersion() == "QTB420: 02.10.07"; }, 2000ms));
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "123456");
    EXPECT_TRUE(rec.HasDebug("Processing message: CHANNEL:07"));
    EXPECT_TRUE(rec.HasDebug("Processing message: SERIAL:123456"));
    EXPECT_TRUE(rec.Errors.empty());

    // A channel that is no number: one "~~ERROR~~ " text, the channel unchanged, and the message
    // queued behind it is still handled.
    rec.Clear();
    base.Write(Frame("CHANNEL", "x7") + Frame("KIVRA", "421,Ver 03.00.01"));
    ASSERT_TRUE(WaitUntil([&] { return kivra->GetBaseVersion() == "QTB421: 03.00.01"; }, 2500ms));
    EXPECT_EQ(kivra->GetBaseChannel(), 7);
    int errorTexts = 0;
    for (const std::string& d : rec.Debug)
        errorTexts += d.rfind("~~ERROR~~ ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(errorTexts, 1);
    EXPECT_TRUE(kivra->GetConnected());
}

TEST(KivraPump, KeypadAnswersWhilePollingAndFailingHandlers)
{
    TFakeBase base(kPort);
    EventRecorder rec;
    auto kivra = ConnectTo(base, rec);
    ASSERT_NE(kivra, nullptr);
    std::vector<std::pair<int, int>> answers;
    kivra->SetOnKeypadDataReceived([&](int id, int value) { answers.emplace_back(id, value); });
    kivra->StartPolling();

    // Group B, index 2: keypad 53.
    base.Write(PacketWith('B', 2, '5'));
    ASSERT_TRUE(WaitUntil([&] { return !answers.empty(); }, 2000ms));
    EXPECT_EQ(answers, (std::vector<std::pair<int, int>>{{53, 5}}));

    // A handler raising the general exception ends the tick with a "~~ERROR~~ " text; the next
    // message is handled on a later tick.
    answers.clear();
    kivra->SetOnKeypadDataReceived([&](int id, int value) {
        answers.emplace_back(id, value);
        if (id == 1)
            throw kivra::Exception("handler failed");
    });
    base.Write(PacketWith('A', 0, '1') + PacketWith('A', 1, '2'));
    ASSERT_TRUE(WaitUntil([&] { return answers.size() >= 2; }, 2500ms));
    EXPECT_EQ(answers, (std::vector<std::pair<int, int>>{{1, 1}, {2, 2}}));
    EXPECT_TRUE(rec.HasDebug("~~ERROR~~ handler failed"));

    // Any other exception of a handler ends the tick the same way; nothing reaches the central
    // handler or the event loop.
    std::vector<std::string> handled;
    kivra::SetExceptionHandler([&](const std::exception& e) { handled.emplace_back(e.what()); });
    kivra->SetOnKeypadDataReceived([](int, int) { throw std::runtime_error("not ours"); });
    base.Write(PacketWith('C', 0, '3'));
    const bool seen = WaitUntil([&] { return rec.HasDebug("~~ERROR~~ not ours"); }, 2000ms);
    kivra::SetExceptionHandler(nullptr);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(handled.empty());

    // The pump goes on afterwards.
    answers.clear();
    kivra->SetOnKeypadDataReceived([&](int id, int value) { answers.emplace_back(id, value); });
    base.Write(PacketWith('E', 49, '0'));
    ASSERT_TRUE(WaitUntil([&] { return !answers.empty(); }, 2000ms));
    EXPECT_EQ(answers.back(), std::make_pair(250, 0));
    EXPECT_TRUE(kivra->GetConnected());
}

TEST(KivraPump, BrokenLineFoundByThePingIsReportedOnce)
{
    auto base = std::make_unique<TFakeBase>(kPort);
    EventRecorder rec;
    auto kivra = ConnectTo(*base, rec);
    ASSERT_NE(kivra, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return base->Received().find("XX") != std::string::npos; }, 3500ms));

    base->Unplug();
    EXPECT_TRUE(WaitUntil([&] { return !rec.Errors.empty(); }, 4000ms));
    kivra::test::ProcessEventsFor(2500ms); // one more ping interval: nothing further
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0].first, -1);
    EXPECT_FALSE(kivra->GetConnected());
    EXPECT_TRUE(rec.HasDebug("Calling Disconnect..."));

    base.reset(); // removes its link before the new base registers one
    base = std::make_unique<TFakeBase>(kPort);
    rec.Clear();
    EXPECT_TRUE(kivra->Connect()) << (rec.Errors.empty() ? "" : rec.Errors[0].second);
}

TEST(KivraPump, AnyFailingHandlerEndsOnlyThePumpTickAlsoInsideConnectAndDisconnect)
{
    TFakeBase base(kPort);
    TKivra kivra;
    kivra.SetPauseFunction([](int ms) { kivra::test::ProcessEventsFor(std::chrono::milliseconds(ms)); });
    std::vector<std::string> debug;
    kivra.SetOnDebug([&](std::string text) {
        debug.push_back(text);
        // A frame arrives while Connect pumps the queue; the application's handler then fails.
        if (text == "Kivra device successfully detected")
            base.Write(Frame("CHANNEL", "07"));
        if (text == "Processing message: CHANNEL:07" || text == "Disconnect initiated.")
            throw std::runtime_error("handler failed: " + text);
    });
    kivra.SetDebugEventsEnabled(true);
    kivra.SetErrorExceptionsEnabled(false);
    kivra.SetKivraModel(rstKivraModel::mKivra);
    kivra.SetSerialPort(kPort);

    bool connected = false;
    EXPECT_NO_THROW(connected = kivra.Connect());
    EXPECT_TRUE(connected);
    const auto has = [&](const std::string& text) {
        return std::find(debug.begin(), debug.end(), text) != debug.end();
    };
    EXPECT_TRUE(has("~~ERROR~~ handler failed: Processing message: CHANNEL:07"));
    EXPECT_TRUE(has("Connect complete"));
    EXPECT_TRUE(WaitUntil([&] { return base.Received().find('\x13') != std::string::npos; }, 1000ms)); // XOFF

    EXPECT_NO_THROW(kivra.Disconnect(false));
    EXPECT_TRUE(has("DISCONNECT EXCEPTION: handler failed: Disconnect initiated."));
}

TEST(KivraPump, StoppingPollingAgainKeepsTheKeepAliveGoing)
{
    TFakeBase base(kPort);
    EventRecorder rec;
    auto kivra = ConnectTo(base, rec);
    ASSERT_NE(kivra, nullptr);
    base.ClearReceived();
    // An application that stops polling every half second must not silence the 2 s ping.
    QTimer again;
    QObject::connect(&again, &QTimer::timeout, [&] { kivra->StopPolling(); });
    again.start(500);
    kivra::test::ProcessEventsFor(5500ms);
    again.stop();
    std::size_t pings = 0;
    const std::string sent = base.Received();
    for (std::size_t at = sent.find("XX"); at != std::string::npos; at = sent.find("XX", at + 2))
        ++pings;
    EXPECT_GE(pings, 2U) << "XOFFs sent: " << std::count(sent.begin(), sent.end(), '\x13');
}

TEST(KivraPump, ErrorsThatEndEveryTickDoNotLetTheQueueGrow)
{
    TFakeBase base(kPort);
    EventRecorder rec;
    auto kivra = ConnectTo(base, rec);
    ASSERT_NE(kivra, nullptr);
    kivra->StartPolling();
    kivra->SetErrorExceptionsEnabled(true); // as the utility has it: each report ends the tick
    std::string packets;
    constexpr int kPackets = 40;
    for (int n = 0; n < kPackets; ++n) {
        std::string packet = PacketWith('A' + n % 5, 7, '3');
        packet[4] = '!'; // a state byte no keypad sends: reported with -5
        packets += packet.substr(0, 56);
    }
    base.Write(packets + "\r\n");
    const auto reported = [&] {
        return std::count_if(rec.Errors.begin(), rec.Errors.end(),
                             [](const auto& e) { return e.first == -5; });
    };
    // Ticks 500 ms apart would take 20 s; the queue is worked off at once instead.
    EXPECT_TRUE(WaitUntil([&] { return reported() == kPackets; }, 4000ms)) << reported();
    EXPECT_EQ(rec.Errors.front().second, "Unrecognized data returned for keypad 4 (!)");
    EXPECT_EQ(kivra->GetQueuedMessageCount(), 0);
    EXPECT_TRUE(kivra->GetConnected());
}
