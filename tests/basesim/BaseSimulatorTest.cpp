// The simulator driven over its pty with raw bytes, answers checked against the wire layouts.

#include "basesim/BaseSimulator.h"
#include "basesim/BaseWire.h"
#include "control/KivraProtocol.h"
#include "core/Exception.h"
#include "serial/PortNames.h"
#include "tests/basesim/SimHost.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kivra::basesim;
using kivra::test::SimHost;
using kivra::test::SplitPackets;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const std::string kTerminator = "\r\n\xFF"s;

SimConfig FastConfig()
{
    SimConfig c;
    c.BytesPerSecond = 20000; // a quick line keeps the tests short
    return c;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms)
{
    return kivra::test::WaitUntil(pred, timeout);
}

//! The 50 state bytes of the first packet of group letter in a stream that starts at a packet.
std::string StatesOf(const std::string& stream, char letter)
{
    for (const std::string& p : SplitPackets(stream))
        if (p[0] == letter)
            return p.substr(1, 50);
    return {};
}

//! BaseVersion as the host makes it from "VER:" + content.
std::string HostBaseVersion(const std::string& content)
{
    const std::string msg = "VER:" + content;
    std::string v;
    const auto c = msg.find(','), k = msg.find(':');
    if (c != std::string::npos && c > k + 1)
        v = "QTB" + msg.substr(k + 1, c - k - 1);
    const auto d = msg.find('.');
    return v + ": " + msg.substr(d < 2 ? 0 : d - 2, 8);
}

class SimTest : public ::testing::Test {
protected:
    void Start(SimConfig config = FastConfig())
    {
        const int port = config.ComPort;
        sim = kivra::test::StartSimulator(std::move(config), port);
        host = std::make_unique<SimHost>(sim->LinkPath());
        ASSERT_TRUE(host->IsOpen()) << sim->LinkPath();
    }
    //! Writes host commands and waits until the simulator has taken all of them in.
    void Send(const std::string& bytes)
    {
        const auto before = sim->HostBytes().size();
        host->Write(bytes);
        ASSERT_TRUE(WaitFor([&] { return sim->HostBytes().size() == before + bytes.size(); }));
    }
    //! XON, then "YZZ" and n packets.
    std::string Poll(int packets)
    {
        host->Write("\x11");
        const std::size_t want = 3 + 56 * static_cast<std::size_t>(packets);
        std::string got = host->ReadUntil([&](const std::string& s) { return s.size() >= want; });
        EXPECT_EQ(got.substr(0, 3), "YZZ");
        return got.size() >= 3 ? got.substr(3) : std::string();
    }
    std::string Request(const std::string& cmd, std::size_t expected)
    {
        host->Write(cmd);
        return host->ReadUntil([&](const std::string& s) { return s.size() >= expected; });
    }

    std::unique_ptr<BaseSimulator> sim;
    std::unique_ptr<SimHost> host;
};

} // namespace

// --- detection and the packet stream --------------------------------------------------------

TEST_F(SimTest, EveryConnectIsDetectedAndNothingStaleWaitsForTheNextHost)
{
    Start();
    for (int connect = 1; connect <= 3; ++connect) {
        if (connect > 1) {
            host = std::make_unique<SimHost>(sim->LinkPath());
            ASSERT_TRUE(host->IsOpen());
        }
        const std::string stream = Poll(2);
        ASSERT_GE(stream.size(), 112u);
        EXPECT_EQ(stream[0], 'A') << "the stream starts with a whole packet";
        EXPECT_TRUE(sim->Streaming());
        EXPECT_EQ(sim->ConnectCount(), static_cast<std::uint64_t>(connect));
        host->Close(); // a host that goes away without XOFF ends the stream
        ASSERT_TRUE(WaitFor([&] { return !sim->Streaming(); }));
    }
}

TEST_F(SimTest, LineLeftCookedByAnEarlierUserIsMadeRawAgain)
{
    Start();
    host.reset();
    {
        // A terminal program leaves echo and canonical mode on the line.
        const int fd = ::open(sim->LinkPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio{};
        ::tcgetattr(fd, &tio);
        tio.c_lflag |= ECHO | ICANON;
        tio.c_iflag |= ICRNL;
        ::tcsetattr(fd, TCSANOW, &tio);
        ::close(fd);
    }
    std::this_thread::sleep_for(200ms); // the simulator looks for a host every 20 ms
    const int fd = ::open(sim->LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_TRUE(WaitFor([&] { return ::tcgetattr(fd, &tio) == 0 && (tio.c_lflag & (ECHO | ICANON)) == 0; }));
    EXPECT_EQ(tio.c_iflag & ICRNL, 0u);
    ::close(fd);
}

TEST_F(SimTest, StreamCyclesThroughTheScanGroupsInWholePackets)
{
    Start();
    const std::string stream = Poll(10);
    const auto packets = SplitPackets(stream);
    ASSERT_GE(packets.size(), 10u);
    std::string letters;
    for (std::size_t i = 0; i < 10; ++i) {
        letters += packets[i][0];
        EXPECT_EQ(packets[i].substr(1, 50), std::string(50, '-'));
        for (char c : packets[i].substr(51))
            EXPECT_TRUE(c == ' ' || c == '\r' || c == '\n') << int(c);
    }
    EXPECT_EQ(letters, "ABCDEABCDE");

    host->Write("\x13"); // XOFF stops the stream
    ASSERT_TRUE(WaitFor([&] { return !sim->Streaming(); }));
    host->ReadFor(100ms);
    EXPECT_EQ(host->ReadFor(300ms), "");
}

TEST_F(SimTest, ScanGroupCommandsChooseTheGroupsStreamed)
{
    const std::pair<std::string, std::string> cases[] = {
        {"GA", "A"},
        {"GC", "ABC"},
        {"GE", "ABCDE"},
        {"SC", "C"},
        {"SE", "E"},
        {"SB"
         "GZ",
         "B"}, // a group this base lacks changes nothing
    };
    for (const auto& [cmd, groups] : cases) {
        Start();
        Send(cmd);
        EXPECT_EQ(sim->ActiveGroups(), groups) << cmd;
        std::string seen;
        for (const std::string& p : SplitPackets(Poll(8)))
            if (seen.find(p[0]) == std::string::npos)
                seen += p[0];
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, groups) << cmd;
        sim->Stop();
    }
}

TEST_F(SimTest, EachAnswerIsSentOnceAtItsKeypadsPlace)
{
    SimConfig c = FastConfig();
    c.SettingsC = 0x04; // low-battery warnings on
    Start(c);
    sim->Press(1, '0');
    sim->Notify(2);
    sim->Press(53, '7');
    sim->LowBattery(149);
    sim->Press(250, '5');
    sim->Press(251, '1'); // no such keypad
    const std::string stream = Poll(10);
    std::string a(50, '-'), b(50, '-'), cc(50, '-'), e(50, '-');
    a[0] = '0';
    a[1] = ':';
    b[2] = '7';
    cc[48] = '?';
    e[49] = '5';
    const auto packets = SplitPackets(stream);
    ASSERT_GE(packets.size(), 10u);
    EXPECT_EQ(packets[0].substr(1, 50), a);
    EXPECT_EQ(packets[1].substr(1, 50), b);
    EXPECT_EQ(packets[2].substr(1, 50), cc);
    EXPECT_EQ(packets[4].substr(1, 50), e);
    for (std::size_t i = 5; i < 10; ++i)
        EXPECT_EQ(packets[i].substr(1, 50), std::string(50, '-')) << "sent twice in packet " << i;
    EXPECT_EQ(sim->AnswersSent(), 5u);
}

TEST_F(SimTest, AnswersWaitForTheirGroupToBeScanned)
{
    Start();
    Send("SA");
    sim->Press(60, '4');
    EXPECT_EQ(StatesOf(Poll(3), 'A'), std::string(50, '-'));
    EXPECT_EQ(sim->AnswersSent(), 0u);
    Send("GB");
    ASSERT_TRUE(WaitFor([&] { return sim->AnswersSent() == 1; }));
}

TEST_F(SimTest, RandomPressesComeOnlyFromExistingScannedKeypads)
{
    SimConfig c = FastConfig();
    c.RandomPressesPerSecond = 200;
    c.SettingsD = 0xC4; // soft keys on
    c.Keypads = {{2, {1, 2, 3}, 3, 1, 0}, {7, {4, 5, 6}, 3, 1, 0}, {60, {7, 8, 9}, 3, 1, 0}};
    Start(c);
    Send("SA");
    const std::string stream = Poll(40);
    std::size_t answers = 0;
    for (const std::string& p : SplitPackets(stream)) {
        ASSERT_EQ(p[0], 'A');
        for (std::size_t k = 1; k <= 50; ++k) {
            if (p[k] == '-')
                continue;
            ++answers;
            EXPECT_TRUE(k == 2 || k == 7) << "keypad " << k << " does not exist";
            EXPECT_TRUE((p[k] >= '0' && p[k] <= '9') || p[k] == '<' || p[k] == '=' || p[k] == '>') << p[k];
        }
    }
    EXPECT_GT(answers, 0u);
    EXPECT_GE(sim->AnswersSent(), answers);
}

// --- key locks and keypad settings ------------------------------------------------------------

TEST_F(SimTest, LocksAndSettingsDecideWhatTheKeypadsSend)
{
    struct Case {
        const char* name;
        std::string commands;
        std::function<void(BaseSimulator&)> act;
        char expected; // state byte of keypad 1
    };
    const auto press = [](char k) { return [k](BaseSimulator& s) { s.Press(1, k); }; };
    const Case cases[] = {
        {"locked digit", "L7", press('7'), '-'},
        {"other digit", "L7", press('8'), '8'},
        {"unlock all", "L7K0", press('7'), '7'},
        {"lock all digits", "KX", press('3'), '-'},
        {"star disabled", "", press('*'), '-'},
        {"star enabled", "C\x02", press('*'), ':'},
        {"star kept by KX", "C\x02KX", press('*'), ':'},
        {"star locked", "C\x02L:", press('*'), '-'},
        {"soft keys off", "", [](BaseSimulator& s) { s.SoftKey(1, '<'); }, '-'},
        {"soft keys on", "D\xC4", [](BaseSimulator& s) { s.SoftKey(1, '<'); }, '<'},
        {"low battery off", "", [](BaseSimulator& s) { s.LowBattery(1); }, '-'},
        {"low battery on", "C\x04", [](BaseSimulator& s) { s.LowBattery(1); }, '?'},
        {"notification", "KX", [](BaseSimulator& s) { s.Notify(1); }, ':'},
        {"answer changed", "", [](BaseSimulator& s) { s.Press(1, '1'), s.Press(1, '2'); }, '2'},
        {"first answer only", "C\x10", [](BaseSimulator& s) { s.Press(1, '1'), s.Press(1, '2'); }, '1'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start();
        if (!c.commands.empty())
            Send(c.commands);
        c.act(*sim);
        const std::string states = StatesOf(Poll(1), 'A');
        ASSERT_EQ(states.size(), 50u);
        EXPECT_EQ(states[0], c.expected);
        EXPECT_EQ(states.substr(1), std::string(49, '-'));
        sim->Stop();
    }
}

TEST_F(SimTest, SettingsAndLockCommandsAreTracked)
{
    Start();
    // 0x11 and 0x13 after "C" or "D" are settings bytes, not XON or XOFF.
    Send("C\x11"
         "D\x13"
         "L3L:");
    EXPECT_EQ(sim->SettingsC(), 0x11);
    EXPECT_EQ(sim->SettingsD(), 0x13);
    EXPECT_FALSE(sim->Streaming());
    EXPECT_TRUE(sim->KeyLocked('3'));
    EXPECT_TRUE(sim->KeyLocked('*'));
    EXPECT_FALSE(sim->KeyLocked('4'));
    Send("C"s + '\0' + "K0");
    EXPECT_EQ(sim->SettingsC(), 0x00);
    EXPECT_FALSE(sim->KeyLocked('3'));
    EXPECT_FALSE(sim->KeyLocked('*'));
    EXPECT_EQ(sim->Commands(), (std::vector<std::string>{"C\x11", "D\x13", "L3", "L:", "C"s + '\0', "K0"}));
}

// --- base requests ----------------------------------------------------------------------------

TEST_F(SimTest, NewerBaseAnswersItsRequestsInFrames)
{
    Start();
    const std::string version = Request("WV", 27);
    EXPECT_EQ(version, "19 KIVRA:420,Ver 02.10.07\r\n");
    EXPECT_EQ(HostBaseVersion(version.substr(9, 16)).substr(0, 6), "QTB420");
    EXPECT_EQ(HostBaseVersion(version.substr(9, 16)), "QTB420: 02.10.07");

    EXPECT_EQ(Request("WN", 20), "12 SERIAL #:104523\r\n");
    EXPECT_EQ(Request("BR", 15), "0D CHANNEL:07\r\n");
    Send("BC");
    EXPECT_EQ(sim->Channel(), 12);
    EXPECT_EQ(Request("BR", 15), "0D CHANNEL:12\r\n");
    Send("B0"); // no channel 0
    EXPECT_EQ(sim->Channel(), 12);

    EXPECT_EQ(Request("WS", 16), "0E STATUS:C\x00"
                                 "D\xC0\r\n"s);
    Send("C\x9F"
         "D\x47");
    EXPECT_EQ(Request("WS", 16), "0E STATUS:C\x9F"
                                 "D\x47\r\n"s);
    Send("XX"); // keep-alive: no answer
    EXPECT_EQ(host->ReadFor(200ms), "");
}

TEST_F(SimTest, OlderAndLegacyBasesAnswerLess)
{
    SimConfig c = FastConfig();
    c.Gen = Generation::Older;
    Start(c);
    const std::string version = Request("WV", 27);
    EXPECT_EQ(version, "19 KIVRA:410,Ver 01.07.03\r\n");
    EXPECT_EQ(HostBaseVersion(version.substr(9, 16)).substr(0, 6), "QTB410");
    host->Write("WSWNBRPD");
    EXPECT_EQ(host->ReadFor(300ms), "");
    Send("C\x80");
    EXPECT_EQ(sim->SettingsC(), 0x00) << "an older base has no keypad settings";

    sim->SetGeneration(Generation::Legacy);
    host->Write("WV");
    EXPECT_EQ(host->ReadFor(300ms), "");
    sim->SetGeneration(Generation::Newer);
    EXPECT_EQ(Request("WV", 27).substr(9, 3), "420");
}

// --- keypad lists -------------------------------------------------------------------------------

TEST_F(SimTest, SerialNumberListCarriesTheScannedKeypads)
{
    SimConfig c = FastConfig();
    c.Keypads = {
        {1, {0x0A, 0xBC, 0x01}, 3, 1, 2}, {60, {0x00, 0x0D, 0x0A}, 1, 2, 7}, {120, {1, 2, 3}, 0, 0, 0}};
    Start(c);
    const std::string e1 = "\x01\x0A\xBC\x01\xCA  "s, e60 = "\x3C\x00\x0D\x0A\x57  "s,
                      e120 = "\x78\x01\x02\x03\x00  "s;
    std::string got = Request("PD", 3 + 21 + 3);
    EXPECT_EQ(got, "S\r\n" + e1 + e60 + e120 + kTerminator);
    EXPECT_EQ(got.find(kTerminator), got.size() - 3) << "the terminator appears only at the end";

    Send("SB");
    EXPECT_EQ(Request("PD", 3 + 7 + 3), "S\r\n" + e60 + kTerminator) << "only scanned groups answer";
}

TEST_F(SimTest, TimestampListReportsAnswerTimesSincePT)
{
    Start();
    Send("PT");
    EXPECT_TRUE(sim->TimestampMode());
    EXPECT_EQ(Request("PD", 6), "T\r\n" + kTerminator) << "nobody has answered yet";

    std::this_thread::sleep_for(150ms);
    sim->Press(60, '4');
    ASSERT_EQ(StatesOf(Poll(3), 'B')[9], '4');
    host->Write("\x13");
    ASSERT_TRUE(WaitFor([&] { return !sim->Streaming(); }));
    host->ReadFor(100ms);

    const std::string list = Request("PD", 3 + 7 + 3);
    ASSERT_EQ(list.size(), 13u);
    EXPECT_EQ(list.substr(0, 3), "T\r\n");
    EXPECT_EQ(list[3], 60);
    const int units = static_cast<unsigned char>(list[4]) * 256 + static_cast<unsigned char>(list[5]);
    EXPECT_GE(units * 50, 100) << "answered after about 150 ms";
    EXPECT_LE(units * 50, 5000);
    EXPECT_EQ(list[6], '\0');
    const auto k60 = DefaultKeypads(1)[59];
    EXPECT_EQ(static_cast<unsigned char>(list[7]), k60.Battery << 6 | k60.Major << 3 | k60.Minor);
    EXPECT_EQ(list.substr(10), kTerminator);

    Send("PS");
    EXPECT_FALSE(sim->TimestampMode());
    EXPECT_EQ(Request("PD", 3 + 250 * 7 + 3).size(), 3 + 250 * 7 + 3u);
}

TEST(SimConfigTest, KeypadsThatWouldSpellTheTerminatorAreRefused)
{
    const std::vector<SimKeypad> bad[] = {
        {{13, {0x0A, 0xFF, 0x00}, 3, 1, 0}},                // number, serial
        {{5, {0x01, 0x0D, 0x0A}, 3, 7, 7}},                 // serial, status 0xFF
        {{0, {1, 2, 3}, 3, 1, 0}},                          // no keypad 0
        {{7, {1, 2, 3}, 3, 1, 0}, {7, {4, 5, 6}, 3, 1, 0}}, // listed twice
        {{7, {1, 2, 3}, 4, 1, 0}},                          // battery 0-3
    };
    for (const auto& keypads : bad) {
        SimConfig c;
        c.ComPort = 0;
        c.Keypads = keypads;
        BaseSimulator sim(c);
        EXPECT_THROW(sim.Start(), kivra::Exception) << keypads[0].Number;
    }
}

// --- failure modes ------------------------------------------------------------------------------

TEST_F(SimTest, SilentBaseAnswersNothing)
{
    SimConfig c = FastConfig();
    c.Failure = FailureMode::Silent;
    Start(c);
    host->Write("\x11WVWSPD");
    EXPECT_EQ(host->ReadFor(500ms), "");
    EXPECT_EQ(sim->HostBytes(), "\x11WVWSPD") << "it still hears the host";
}

TEST_F(SimTest, StalledBaseStopsTheStreamButKeepsTheLine)
{
    SimConfig c = FastConfig();
    c.Failure = FailureMode::StallWhilePolling;
    Start(c);
    host->Write("\x11");
    EXPECT_EQ(host->ReadFor(400ms), "YZZ");
    EXPECT_EQ(Request("WN", 20), "12 SERIAL #:104523\r\n");
    sim->SetFailure(FailureMode::None);
    const std::string resumed = host->ReadUntil([](const std::string& s) { return s.size() >= 56; });
    ASSERT_GE(resumed.size(), 56u);
    EXPECT_EQ(resumed[0], 'A');
}

TEST_F(SimTest, UnpluggedLineGoesAwayAndTheLinkDanglesUntilStop)
{
    Start();
    Poll(1);
    sim->SetFailure(FailureMode::Unplug);
    EXPECT_TRUE(host->LineGone());
    const std::string link = sim->LinkPath();
    struct stat st {};
    EXPECT_EQ(::lstat(link.c_str(), &st), 0) << "the link stays";
    EXPECT_NE(::stat(link.c_str(), &st), 0) << "but points to nothing";
    EXPECT_FALSE(SimHost(link).IsOpen());
    sim->Stop();
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST_F(SimTest, CorruptLengthBreaksOnlyTheLengthField)
{
    SimConfig c = FastConfig();
    c.Failure = FailureMode::CorruptLength;
    Start(c);
    const std::string frame = Request("BR", 15);
    ASSERT_EQ(frame.size(), 15u);
    EXPECT_FALSE(std::isxdigit(static_cast<unsigned char>(frame[0])) &&
                 std::isxdigit(static_cast<unsigned char>(frame[1])));
    EXPECT_EQ(frame.substr(2), " CHANNEL:07\r\n");
    const auto packets = SplitPackets(Poll(2));
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0][0], 'A') << "packets are untouched";
}

TEST_F(SimTest, NoiseReplacesAShareOfTheBytes)
{
    SimConfig c = FastConfig();
    c.Failure = FailureMode::Noise;
    c.NoiseRate = 0.2;
    Start(c);
    host->Write("\x11");
    const std::size_t n = 3 + 56 * 20;
    const std::string got = host->ReadUntil([&](const std::string& s) { return s.size() >= n; });
    ASSERT_GE(got.size(), n);
    std::string clean = "YZZ";
    for (int i = 0; i < 20; ++i)
        clean += "ABCDE"[i % 5] + std::string(50, '-') + "   \r\n";
    std::size_t differ = 0;
    for (std::size_t i = 0; i < n; ++i)
        differ += got[i] != clean[i];
    EXPECT_GT(differ, n / 10);
    EXPECT_LT(differ, n * 3 / 10);
}

TEST_F(SimTest, SlowBaseDelaysItsAnswers)
{
    SimConfig c = FastConfig();
    c.Failure = FailureMode::SlowAnswers;
    c.SlowAnswerMs = 400;
    Start(c);
    const auto t0 = std::chrono::steady_clock::now();
    host->Write("WN");
    EXPECT_EQ(host->ReadFor(200ms), "");
    EXPECT_EQ(host->ReadUntil([](const std::string& s) { return s.size() >= 20; }), "12 SERIAL #:104523\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 380ms);
}

// --- registration -------------------------------------------------------------------------------

TEST(SimRegistration, LinkTakesPrecedenceAndLeavesNothingBehind)
{
    SimConfig c;
    c.ComPort = 1;
    {
        BaseSimulator sim(c);
        sim.Start();
        const std::string link = kivra::PortDirectory() + "/COM1";
        EXPECT_EQ(sim.LinkPath(), link);
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), sim.SlaveDevice());
        EXPECT_EQ(kivra::ResolvePortDevice("COM1"), link);
        sim.Stop();
        sim.Stop();
        struct stat st {};
        EXPECT_NE(::lstat(link.c_str(), &st), 0);
        EXPECT_EQ(kivra::ResolvePortDevice("COM1"), "/dev/ttyS0") << "the real device mapping is back";
        sim.Start(); // a stopped simulator can start again
        EXPECT_EQ(::lstat(link.c_str(), &st), 0);
    }
    struct stat st {};
    EXPECT_NE(::lstat((kivra::PortDirectory() + "/COM1").c_str(), &st), 0) << "the destructor stops";
}

TEST(SimRegistration, DanglingLinkIsReplacedLiveOneIsRefused)
{
    ASSERT_TRUE(kivra::EnsurePortDirectory());
    const std::string link2 = kivra::PortDirectory() + "/COM2";
    ASSERT_EQ(::symlink("/dev/pts/no-such-pty", link2.c_str()), 0);
    SimConfig c;
    c.ComPort = 2;
    BaseSimulator first(c);
    first.Start();
    char target[256] = {};
    ASSERT_GT(::readlink(link2.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), first.SlaveDevice());

    BaseSimulator second(c);
    EXPECT_THROW(second.Start(), kivra::Exception);
    second.Stop();
    std::fill(std::begin(target), std::end(target), '\0');
    ASSERT_GT(::readlink(link2.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), first.SlaveDevice()) << "the live link is untouched";

    const std::string link4 = kivra::PortDirectory() + "/COM4";
    std::ofstream(link4) << "not a link";
    c.ComPort = 4;
    BaseSimulator third(c);
    EXPECT_THROW(third.Start(), kivra::Exception);
    ::unlink(link4.c_str());

    c.ComPort = 0;
    BaseSimulator unregistered(c);
    unregistered.Start();
    EXPECT_EQ(unregistered.LinkPath(), "");
    EXPECT_TRUE(SimHost(unregistered.SlaveDevice()).IsOpen());
}

TEST_F(SimTest, TraceShowsBothDirectionsInHex)
{
    SimConfig c = FastConfig();
    c.TracePath = ::testing::TempDir() + "basesim-trace-" + std::to_string(::getpid()) + ".txt";
    ::unlink(c.TracePath.c_str());
    Start(c);
    Request("BR", 15);
    sim->Stop();
    std::ifstream in(c.TracePath);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("host> 42 52\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("base> 30 44 20 43 48"), std::string::npos) << text.str();
    ::unlink(c.TracePath.c_str());
}

// --- a base that lies ----------------------------------------------------------------------

TEST_F(SimTest, LyingListsStatusAndLengths)
{
    SimConfig c = FastConfig();
    c.Lie.Lists = c.Lie.EmptyStatus = true;
    c.Lie.BadLengths = 1;
    Start(c);

    // Serial numbers and status bytes hold the terminator's bytes and markers; keypad 13's entry
    // begins with the terminator.
    const auto keypads = DefaultKeypads(c.Seed, true);
    std::string entries;
    int tempting = 0;
    for (const SimKeypad& k : keypads) {
        const std::string entry = SerialEntry(k.Number, k.Serial.data(),
                                              kivra::protocol::MakeStatusByte(k.Battery, k.Major, k.Minor));
        tempting += HoldsTerminator(entry) || entry.find_first_of("ST") != std::string::npos ? 1 : 0;
        entries += entry;
    }
    EXPECT_GT(tempting, 50);
    EXPECT_EQ(entries.substr(12 * 7, 3), kTerminator);
    const std::string list = BuildList('S', entries);
    EXPECT_EQ(Request("PD", list.size()), list);

    // A status without content; every length field lies (the rest of each frame is as usual).
    for (const auto& [command, frame] : {std::pair<std::string, std::string>{"WS", BuildFrame("STATUS", "")},
                                         {"WN", BuildFrame("SERIAL #", "104523")},
                                         {"BR", BuildFrame("CHANNEL", "07")}}) {
        SCOPED_TRACE(command);
        const std::string got = Request(command, frame.size());
        ASSERT_EQ(got.size(), frame.size());
        EXPECT_NE(got.substr(0, 2), frame.substr(0, 2));
        EXPECT_EQ(got.substr(2), frame.substr(2));
    }
}

TEST_F(SimTest, LyingFillerAndNoiseInThePacketStream)
{
    SimConfig c = FastConfig();
    c.Lie.Filler = true;
    c.Lie.Noise = 0.05;
    c.KeepSentAnswers = true;
    Start(c);
    for (int k = 1; k <= 250; ++k)
        sim->Press(k, '7');
    host->Write("\x11");
    const std::string stream = host->ReadFor(1500ms);
    ASSERT_TRUE(WaitFor([&] { return sim->SentAnswers().size() == 250; }));

    // Packets are found at their letters; what lies between them is noise from the letters of
    // scan groups, markers and tags, and no filler byte is 0.
    const std::string noise = "ABCDEST"
                              "SERIAL #STATUSCHANNELKIVRA";
    const std::string garble = "STRIL #UHNKV";
    std::size_t packets = 0, inserted = 0, garbled = 0, garbledAnswers = 0;
    for (std::size_t p = 3; p + 56 <= stream.size();) {
        const std::string states = stream.substr(p + 1, 50);
        const bool packet = stream[p] >= 'A' && stream[p] <= 'E' &&
                            states.find_first_not_of("-7" + garble) == std::string::npos &&
                            (p + 56 == stream.size() || noise.find(stream[p + 56]) != std::string::npos);
        if (!packet) {
            EXPECT_NE(noise.find(stream[p]), std::string::npos) << p;
            ++inserted;
            ++p;
            continue;
        }
        EXPECT_EQ(stream.substr(p + 51, 5).find('\0'), std::string::npos);
        EXPECT_NE(stream.substr(p + 51, 5), "   \r\n");
        const bool spoiled = states.find_first_of(garble) != std::string::npos;
        garbled += spoiled ? 1 : 0;
        garbledAnswers += spoiled && states.find('-') == std::string::npos ? 50 : 0;
        ++packets;
        p += 56;
    }
    EXPECT_GT(packets, 20U);
    EXPECT_GT(inserted, 0U);
    EXPECT_GT(garbled, 0U);
    // Answers of packets that noise touched are told apart (each group's 50 answers went in one).
    const auto sent = sim->SentAnswers();
    const auto intact = std::count_if(sent.begin(), sent.end(), [](const SentAnswer& a) { return a.Intact; });
    EXPECT_EQ(static_cast<std::size_t>(250 - intact), garbledAnswers);
    for (const SentAnswer& a : sent)
        EXPECT_GT(a.FramableMs, 0.0) << a.Keypad;
}

TEST_F(SimTest, SplitWritesCutUnitsIntoPieces)
{
    SimConfig c = FastConfig();
    c.Lie.SplitWrites = true;
    c.TracePath = ::testing::TempDir() + "basesim-split-" + std::to_string(::getpid()) + ".txt";
    ::unlink(c.TracePath.c_str());
    Start(c);
    const std::string stream = Poll(30).substr(0, 30 * 56);
    sim->Stop();
    EXPECT_EQ(SplitPackets(stream).size(), 30U); // the bytes are those of whole packets
    std::ifstream in(c.TracePath);
    std::size_t writes = 0;
    for (std::string line; std::getline(in, line);)
        writes += line.find(" base> ") != std::string::npos ? 1 : 0;
    EXPECT_GT(writes, 40U); // 30 packets and the mark in more writes than units
    ::unlink(c.TracePath.c_str());
}
