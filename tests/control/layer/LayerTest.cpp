// The communication layer against a hand-made peer on a real pseudo-terminal.
#include "control/KivraCommunicationLayer.h"
#include "control/ThreadSafeStringList.h"
#include "core/Exception.h"
#include "serial/ComPort.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <QPointer>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/resource.h>

using namespace std::chrono_literals;

namespace kivra {
namespace {

const std::string kLinkLost = "Connection Lost - check physical base connection";
const std::string kSilentLink = "Connection lost.  Verify physical connection and retry Connect.";

using test::EventRecorder;

std::unique_ptr<TKivraCommunicationLayer> MakeLayer(int port, EventRecorder& r, int timeout = 3000)
{
    auto layer = std::make_unique<TKivraCommunicationLayer>();
    layer->SetSerialPort(port);
    layer->SetCommunicationTimeout(timeout);
    layer->SetScanGroupLetters('A', 'E');
    layer->SetErrorExceptionsEnabled(false);
    r.Attach(*layer);
    return layer;
}

//! n bytes that never contain the detection mark, with a frame and binary bytes among them.
std::string Junk(std::size_t n)
{
    std::string junk = "0D CHANNEL:07\r\n";
    for (int i = 0; junk.size() < n; ++i)
        junk += "YZ\0\xFF-"[i % 5];
    junk.resize(n);
    return junk;
}

std::string Packet(char letter, char state)
{
    std::string p(1, letter);
    p.append(50, '-');
    p[3] = state;
    return p + std::string("\x00\xFF\x80", 3) + "zz";
}

std::vector<std::string> Messages(TKivraCommunicationLayer& layer)
{
    auto& list = layer.MessageQueue()->LockList();
    std::vector<std::string> copy = list;
    layer.MessageQueue()->UnlockList();
    return copy;
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(LayerSettings, SerialPortNamesAndLowerBound)
{
    TKivraCommunicationLayer layer;
    for (auto [n, name] : {std::pair{9, "COM9"}, {10, "\\\\.\\COM10"}, {1, "COM1"}, {99, "\\\\.\\COM99"}}) {
        layer.SetSerialPort(n);
        EXPECT_EQ(layer.GetDeviceName(), name);
        EXPECT_EQ(layer.GetSerialPort(), n);
    }
    for (int bad : {0, -3}) {
        try {
            layer.SetSerialPort(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(),
                         "Error setting serial port property.\nSerial Port value must be between 1 and 99.");
        }
        EXPECT_EQ(layer.GetSerialPort(), 99);
    }
}

TEST(LayerOffline, SendWhileNotConnectedReportsAndRaisesWhenAsked)
{
    EventRecorder r;
    auto layer = MakeLayer(1, r);
    layer->SendToBase("XX", "Pinging base...");
    ASSERT_EQ(r.Errors.size(), 1u);
    EXPECT_EQ(r.Errors[0],
              std::pair(-1, std::string("Unable to send command -- not connected to base station.")));
    EXPECT_EQ(r.Debug, std::vector<std::string>{"Attempting to Send: Pinging base..."});

    layer->SetErrorExceptionsEnabled(true);
    EXPECT_THROW(layer->SendToBase("XX", "Pinging base..."), Exception);
    EXPECT_EQ(r.Errors.size(), 2u); // the callback runs before the exception
}

TEST(LayerOffline, PortThatCannotOpenIsReportedWithItsOwnText)
{
    EventRecorder r;
    auto layer = MakeLayer(77, r); // no link, not in the default table
    EXPECT_FALSE(layer->Connect(1));
    ASSERT_EQ(r.Errors.size(), 1u);
    EXPECT_EQ(r.Errors[0].first, -2);
    EXPECT_FALSE(r.Errors[0].second.empty());
    EXPECT_TRUE(r.HasDebug("Serial connection error. Windows unable to connect to COM port 77"));
    EXPECT_FALSE(layer->GetConnected());

    EXPECT_FALSE(layer->Connect(2)); // only serial connections exist, and that is no error
    EXPECT_EQ(r.Errors.size(), 1u);
}

struct DetectionCase {
    const char* name;
    std::string reply;
    bool detected;
};

void PrintTo(const DetectionCase& c, std::ostream* os)
{
    *os << c.name;
}

class LayerDetection : public ::testing::TestWithParam<DetectionCase> {};

TEST_P(LayerDetection, MarkMustArriveWithinTwoHundredBytes)
{
    test::PtyPeer peer(9, GetParam().reply);
    EventRecorder r;
    auto layer = MakeLayer(9, r);
    const int defaultReadConstant = TComPort().Timeouts().GetReadConstant();

    EXPECT_EQ(layer->Connect(1), GetParam().detected);
    EXPECT_EQ(layer->GetConnected(), GetParam().detected);
    EXPECT_EQ(layer->Port()->Timeouts().GetReadConstant(), defaultReadConstant);
    EXPECT_EQ(peer.Received(), "\x11");
    if (GetParam().detected) {
        EXPECT_TRUE(r.Errors.empty());
        EXPECT_TRUE(r.HasDebug("Kivra device successfully detected"));
        ASSERT_NE(layer->WatchdogTimer(), nullptr);
        EXPECT_EQ(layer->WatchdogTimer()->interval(), 750);
        EXPECT_TRUE(layer->WatchdogTimer()->isActive());
    } else {
        EXPECT_EQ(r.Errors, (std::vector<std::pair<int, std::string>>{{-2, "No Kivra device detected."}}));
        EXPECT_EQ(r.Debug.back(), "Error detecting Kivra device. Connect failed.");
        EXPECT_EQ(layer->MessageQueue(), nullptr);
        EXPECT_FALSE(layer->Port()->GetActive());
        EXPECT_EQ(layer->WatchdogTimer(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, LayerDetection,
                         ::testing::Values(DetectionCase{"MarkEndsAtByte200", Junk(197) + "YZZ", true},
                                           DetectionCase{"MarkEndsAtByte201", Junk(198) + "YZZ", false},
                                           DetectionCase{"JunkThenSilence", Junk(199), false},
                                           DetectionCase{"SilentPort", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Port 10 goes by the device-namespace name; the link still finds the peer.
class LayerConnected : public ::testing::Test {
protected:
    void SetUp() override
    {
        layer = MakeLayer(10, r, 1200);
        ASSERT_TRUE(layer->Connect(1));
    }
    test::PtyPeer peer{10, "0D CHANNEL:99\r\nYZZ"};
    EventRecorder r;
    std::unique_ptr<TKivraCommunicationLayer> layer;
};

TEST_F(LayerConnected, CommandsReachTheBaseByteForByte)
{
    const std::vector<std::string> commands{"\x13", "XX", std::string("C\x00", 2), "D\xFF", "B\x80", "\x11"};
    std::string expected = "\x11";
    for (const auto& c : commands) {
        layer->SendToBase(c, "cmd");
        expected += c;
    }
    EXPECT_TRUE(test::WaitUntil([&] { return peer.Received() == expected; }, 2s)) << peer.Received().size();
    EXPECT_TRUE(r.Errors.empty());

    r.Debug.clear();
    layer->SendToBase("XX", "Pinging base...");
    EXPECT_EQ(r.Debug, (std::vector<std::string>{"Attempting to Send: Pinging base...",
                                                 "SendToBase: Sending to base: \"XX\"",
                                                 "Data Sent to base: \"XX\" Hex=( 58 58)"}));
}

TEST_F(LayerConnected, FramesAfterTheMarkReachTheQueueInArrivalOrder)
{
    const std::string packet = Packet('C', '7');
    peer.Write("12 SERIAL #:123456\r\n");
    ASSERT_TRUE(test::WaitUntil([&] { return layer->MessageQueue()->Count() == 1; }, 2s));
    peer.Write(packet.substr(0, 20)); // split arrival
    test::ProcessEventsFor(50ms);
    peer.Write(packet.substr(20) + "--");
    ASSERT_TRUE(test::WaitUntil([&] { return layer->MessageQueue()->Count() == 2; }, 2s));
    const std::string list = std::string("S\x00\x01\x05\xAB\xCD\xEF\xCA\x00\x00", 10);
    layer->SendToBase("PD", "Request Serial Numbers"); // a list comes only when asked for
    peer.Write(list + "\r\n\xFF");
    ASSERT_TRUE(test::WaitUntil([&] { return layer->MessageQueue()->Count() == 3; }, 2s));

    // The CHANNEL frame in front of the mark was consumed by the detection.
    EXPECT_EQ(Messages(*layer),
              (std::vector<std::string>{"SERIAL:123456", packet.substr(0, 54), "KPS:" + list}));
    EXPECT_TRUE(r.HasDebug("Buffer (after read):  2D 2D 53 00 01 05 AB CD EF CA 00 00 0D 0A FF"));
}

TEST_F(LayerConnected, ListIsFramedOnlyAsTheAnswerToPDAndEndsWhenTheLineFallsQuiet)
{
    const std::string list = std::string("T\x00\x01\x05\x01\x2C\x00\xCA\x00\x00", 10);
    const std::string kptm = "KPTM:" + list;
    peer.Write(list + "\r\n\xFF"); // not asked for: loose bytes
    test::ProcessEventsFor(400ms);
    EXPECT_EQ(layer->MessageQueue()->Count(), 0);

    // Asked for, it ends when nothing follows for a moment.
    layer->SendToBase("PD", "Request Timestamps");
    peer.Write(list + "\r\n\xFF");
    ASSERT_TRUE(test::WaitUntil([&] { return layer->MessageQueue()->Count() == 1; }, 2s));
    EXPECT_EQ(Messages(*layer), std::vector<std::string>{kptm});

    // Not answered within the communication time-out (1200 ms here): no longer expected.
    r.Debug.clear();
    layer->SendToBase("PD", "Request Timestamps");
    test::ProcessEventsFor(1600ms);
    EXPECT_TRUE(r.HasDebug("No keypad list arrived in time - no list expected any more"));
    peer.Write(list + "\r\n\xFF");
    test::ProcessEventsFor(400ms);
    EXPECT_EQ(layer->MessageQueue()->Count(), 1);
    EXPECT_TRUE(r.Errors.empty());
}

TEST_F(LayerConnected, ConnectTwiceChangesNothingAndDisconnectReleases)
{
    TThreadSafeStringList* queue = layer->MessageQueue();
    EXPECT_FALSE(layer->Connect(1));
    EXPECT_TRUE(layer->GetConnected());
    EXPECT_EQ(layer->MessageQueue(), queue);
    test::ProcessEventsFor(100ms);
    EXPECT_EQ(peer.Received(), "\x11");

    layer->Disconnect();
    EXPECT_FALSE(layer->GetConnected());
    EXPECT_EQ(layer->MessageQueue(), nullptr);
    EXPECT_EQ(layer->WatchdogTimer(), nullptr);
    EXPECT_FALSE(layer->Port()->GetActive());
    EXPECT_TRUE(r.HasDebug("releasing connection verification timer..."));
    EXPECT_EQ(r.Debug.back(), "Disconnecting serial connection...");
    layer->Disconnect();
    EXPECT_TRUE(r.Errors.empty());
}

TEST_F(LayerConnected, StreamKeepsPollingAliveAndAStallIsLostOnce)
{
    layer->SetPolling(true);
    peer.StartStream(Packet('A', '-'), 50ms);
    test::ProcessEventsFor(2600ms); // more than twice the time-out
    EXPECT_TRUE(r.Errors.empty());
    EXPECT_GT(layer->MessageQueue()->Count(), 20);

    peer.StopStream();
    const auto stalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::WaitUntil([&] { return !r.Errors.empty(); }, 5s));
    const auto gap = std::chrono::steady_clock::now() - stalled;
    EXPECT_GE(gap, 1100ms);
    EXPECT_LE(gap, 1200ms + 300ms + 700ms); // time-out, one tick, slack for a loaded machine
    EXPECT_TRUE(r.HasDebug("haven't heard from base in a while, try checking manually..."));

    test::ProcessEventsFor(800ms);
    EXPECT_EQ(r.Errors, (std::vector<std::pair<int, std::string>>{{-1, kSilentLink}}));
    EXPECT_FALSE(layer->GetConnected());
    EXPECT_EQ(layer->MessageQueue(), nullptr);
    EXPECT_EQ(layer->WatchdogTimer(), nullptr);
}

TEST_F(LayerConnected, QuietOrTerminatedLinkIsNeverDeclaredLost)
{
    layer->SetPolling(true);
    layer->SetPolling(false);
    test::ProcessEventsFor(2500ms);
    EXPECT_TRUE(r.Errors.empty());
    EXPECT_TRUE(layer->GetConnected());
    EXPECT_GE(std::count(r.Debug.begin(), r.Debug.end(), "CheckConnectionStatus"), 5); // it did watch

    // Asked to terminate, the layer waits silently for its destruction.
    layer->Terminate();
    layer->SetPolling(true);
    test::ProcessEventsFor(1800ms);
    EXPECT_TRUE(r.Errors.empty());
}

TEST_F(LayerConnected, LossInsideTheWatchdogReachesTheCentralHandler)
{
    std::vector<std::string> handled;
    const ExceptionHandler previous =
        SetExceptionHandler([&handled](const std::exception& e) { handled.emplace_back(e.what()); });
    layer->SetErrorExceptionsEnabled(true);
    layer->SetPolling(true);
    EXPECT_TRUE(test::WaitUntil([&] { return !handled.empty(); }, 4s));
    test::ProcessEventsFor(500ms);
    SetExceptionHandler(previous);
    EXPECT_EQ(handled, std::vector<std::string>{kSilentLink});
    EXPECT_EQ(r.Errors.size(), 1u);
}

// The control's way: its error callback disconnects and defers destroying the layer.
TEST_F(LayerConnected, UnplugWhilePollingIsOneLossWithoutSpinOrCrash)
{
    const ExceptionHandler previous = SetExceptionHandler([](const std::exception&) {});
    QPointer<TKivraCommunicationLayer> watched = layer.release();
    watched->SetOnError([&, raw = watched.data()](int code, const std::string& text) {
        r.Errors.emplace_back(code, text);
        raw->Disconnect();
        raw->deleteLater();
    });
    watched->SetPolling(true);
    test::ProcessEventsFor(100ms); // the notification of the detection bytes
    peer.Unplug();
    EXPECT_TRUE(test::WaitUntil([&] { return watched.isNull(); }, 4s));
    const double cpu = CpuSeconds();
    test::ProcessEventsFor(1000ms);
    EXPECT_LT(CpuSeconds() - cpu, 0.5);
    SetExceptionHandler(previous);
    // The port closed itself, so the watchdog's own read is what fails.
    EXPECT_EQ(r.Errors, (std::vector<std::pair<int, std::string>>{{-1, kLinkLost}}));
}

TEST_F(LayerConnected, UnplugWhileIdleIsReportedByTheNextSend)
{
    const ExceptionHandler previous = SetExceptionHandler([](const std::exception&) {});
    test::ProcessEventsFor(100ms); // the notification of the detection bytes
    peer.Unplug();
    test::ProcessEventsFor(300ms);
    EXPECT_TRUE(r.Errors.empty()); // nothing reads or writes: nothing notices yet
    r.Debug.clear();
    layer->SendToBase("XX", "Pinging base...");
    SetExceptionHandler(previous);
    EXPECT_EQ(r.Errors, (std::vector<std::pair<int, std::string>>{{-1, kLinkLost}}));
    EXPECT_EQ(r.Debug.back(), "SendToBase: Sending to base: \"XX\"");
}

} // namespace
} // namespace kivra
