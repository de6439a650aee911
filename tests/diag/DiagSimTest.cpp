// kivra-diag's commands against the simulated base, run in-process: what a technician reads,
// what reaches the base, and the exit status of each kind of base or port.

#include "basesim/BaseSimulator.h"
#include "diag/DiagOptions.h"
#include "serial/PortNames.h"
#include "tests/diag/DiagToolRunner.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

using namespace kivra::basesim;
using kivra::diag::ExitCode;
using kivra::test::CountOf;
using kivra::test::RunDiagInProcess;

namespace {

constexpr int kPort = 3;
const std::vector<std::string> kOnPort = {"--port", std::to_string(kPort)};

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

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

//! A line of text whose blank-separated words begin with these (table rows of the summary).
bool HasRow(const std::string& text, const std::vector<std::string>& words)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::vector<std::string> got;
        for (std::string w; got.size() < words.size() && in >> w;)
            got.push_back(w);
        if (got == words)
            return true;
    }
    return false;
}

std::string TempPath(const char* name)
{
    return kivra::test::UsePrivatePortDirectory() + "/" + name;
}

} // namespace

TEST(DiagWithBase, IdentifyPrintsWhatTheBaseReports)
{
    SimConfig cfg;
    cfg.BaseSerial = "765432";
    cfg.Channel = 12;
    cfg.SettingsC = 0x82; // base mode, star key
    cfg.SettingsD = 0x44; // power lowmid, soft keys
    auto sim = StartBase(cfg);
    const auto r = RunDiagInProcess(Cmd("identify"));
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_NE(r.Out.find("Product:          QTB420\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Version:          02.10.07\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Serial number:    765432\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Channel:          12\n"), std::string::npos) << r.Out;
    for (const char* line : {"  mode         base\n", "  star         on\n", "  echo         on\n",
                             "  softkeys     on\n", "  power        lowmid\n", "  shortcuts    off\n"})
        EXPECT_NE(r.Out.find(line), std::string::npos) << line << r.Out;
    // Connect blocks for more than a second: a progress line says so.
    EXPECT_NE(r.Err.find("connecting to COM3 and identifying the base..."), std::string::npos) << r.Err;
    EXPECT_TRUE(kivra::test::WaitUntil([&] { return !sim->Streaming(); }, std::chrono::seconds(2)));
}

// Older and legacy bases are identified as far as they answer; commands they lack end with 6.
TEST(DiagWithBase, OlderAndLegacyBases)
{
    struct Case {
        Generation gen;
        const char* product;
        const char* note;
    };
    for (const Case& c :
         {Case{Generation::Older, "Product:          QTB410\n", "an older base reports no serial"},
          Case{Generation::Legacy, "Product:          unknown\n", "a legacy base"}}) {
        SimConfig cfg;
        cfg.Gen = c.gen;
        auto sim = StartBase(cfg);
        const auto id = RunDiagInProcess(Cmd("identify"));
        EXPECT_EQ(id.Code, 0) << id.Err;
        EXPECT_NE(id.Out.find(c.product), std::string::npos) << id.Out;
        EXPECT_NE(id.Out.find("Serial number:    not reported"), std::string::npos) << id.Out;
        EXPECT_NE(id.Err.find(c.note), std::string::npos) << id.Err;

        for (const auto& args : {Cmd("serials"), Cmd("set", {"--star", "on"}), Cmd("channel", {"4"}),
                                 Cmd("timestamps", {"--seconds", "1"})}) {
            const auto r = RunDiagInProcess(args);
            EXPECT_EQ(r.Code, Code(ExitCode::Unsupported)) << args[0] << r.Err;
            EXPECT_NE(r.Err.find("needs a newer base"), std::string::npos) << r.Err;
        }
        // Nothing of the unsupported commands reached the base.
        for (const std::string& command : sim->Commands())
            EXPECT_TRUE(command != "PD" && command != "PT" && command[0] != 'C' && command[0] != 'D' &&
                        command != "B4")
                << command;
        // Key locks work on every generation.
        const auto lock = RunDiagInProcess(Cmd("lock", {"5"}));
        EXPECT_EQ(lock.Code, 0) << lock.Err;
        EXPECT_TRUE(kivra::test::WaitUntil([&] { return sim->KeyLocked('5'); }, std::chrono::seconds(2)));
    }
}

// Each way of finding no usable base has its message and its status; none hangs or crashes.
TEST(DiagWithBase, PortsWithoutAUsableBase)
{
    { // nothing answers on the line
        SimConfig cfg;
        cfg.Failure = FailureMode::Silent;
        auto sim = StartBase(cfg);
        const auto r = RunDiagInProcess(Cmd("identify"));
        EXPECT_EQ(r.Code, Code(ExitCode::NoBase)) << r.Err;
        EXPECT_NE(r.Err.find("no base answered on COM3"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find("No Kivra device detected."), std::string::npos) << r.Err;
        EXPECT_TRUE(r.Out.empty()) << r.Out;
    }
    { // another program holds the device
        auto sim = StartBase();
        const int fd = ::open(sim->SlaveDevice().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const auto r = RunDiagInProcess(Cmd("poll", {"--seconds", "2"}));
        ::close(fd);
        EXPECT_EQ(r.Code, Code(ExitCode::PortUnavailable)) << r.Err;
        EXPECT_NE(r.Err.find("COM3 (" + sim->SlaveDevice() + ") is in use by another program"),
                  std::string::npos)
            << r.Err;
        // The port listing sees the same, and the port works again once it is let go.
        const auto again = RunDiagInProcess(Cmd("identify"));
        EXPECT_EQ(again.Code, 0) << again.Err;
    }
    { // a terminal program that had the port first is named
        auto sim = StartBase();
        kivra::test::HolderProcess holder({sim->SlaveDevice()});
        const auto r = RunDiagInProcess(Cmd("identify"));
        EXPECT_EQ(r.Code, Code(ExitCode::PortUnavailable)) << r.Err;
        EXPECT_NE(r.Err.find("COM3 (" + sim->SlaveDevice() + ") is in use by sleep, process " +
                             std::to_string(holder.Pid())),
                  std::string::npos)
            << r.Err;
    }
    { // the device is missing: a registered port whose device is gone
        ASSERT_TRUE(kivra::EnsurePortDirectory());
        const std::string link = kivra::PortDirectory() + "/COM3";
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink("/dev/kivra-no-such-tty", link.c_str()), 0);
        const auto r = RunDiagInProcess(Cmd("identify"));
        ::unlink(link.c_str());
        EXPECT_EQ(r.Code, Code(ExitCode::NoBase)) << r.Err;
        EXPECT_NE(r.Err.find("COM3: there is no device"), std::string::npos) << r.Err;
    }
    { // frames with a broken length field: the base answered, but nothing could be read
        SimConfig cfg;
        cfg.Failure = FailureMode::CorruptLength;
        auto sim = StartBase(cfg);
        const auto r = RunDiagInProcess(Cmd("identify"));
        EXPECT_EQ(r.Code, Code(ExitCode::Failure)) << r.Err;
        EXPECT_NE(r.Err.find("answers arrived damaged"), std::string::npos) << r.Err;
        EXPECT_EQ(r.Err.find("legacy base"), std::string::npos)
            << "not mistaken for a legacy base: " << r.Err;
    }
}

TEST(DiagWithBase, PortsListsStatesOfRegisteredPorts)
{
    auto sim = StartBase();
    const int fd = ::open(sim->SlaveDevice().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    kivra::test::OpenWatch opens(sim->SlaveDevice());
    const auto busy = RunDiagInProcess({"ports"});
    // Listing never opens a device: opening a tty raises its modem lines. (Checked while the
    // test holds the slave: letting it go makes the simulator open it to drop stale input.)
    EXPECT_EQ(opens.Opens(), 0);
    ::close(fd);
    const auto free = RunDiagInProcess({"ports"});
    EXPECT_EQ(busy.Code, 0);
    EXPECT_EQ(CountOf(busy.Out, "\nCOM"), 16) << busy.Out;
    auto lineOf = [](const std::string& out, const std::string& port) {
        const auto at = out.find("\n" + port + " ");
        return at == std::string::npos ? std::string() : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    };
    EXPECT_NE(lineOf(busy.Out, "COM3").find("busy"), std::string::npos) << busy.Out;
    EXPECT_NE(lineOf(busy.Out, "COM3").find(sim->SlaveDevice()), std::string::npos) << busy.Out;
    EXPECT_NE(lineOf(free.Out, "COM3").find("free"), std::string::npos) << free.Out;
}

// Scripted answers appear in the summary and the CSV file; silent keypads and low batteries are
// named; the base scans only the groups of the range.
TEST(DiagWithBase, PollShowsAnswersSilentKeypadsAndLowBatteries)
{
    SimConfig cfg;
    cfg.SettingsC = 0x04; // low-battery warnings on
    cfg.SettingsD = 0xC4; // soft keys on
    auto sim = StartBase(cfg);
    const std::string csv = TempPath("poll.csv");
    QTimer script;
    int tick = 0;
    QObject::connect(&script, &QTimer::timeout, [&] {
        if (++tick == 2) { // polling runs
            sim->Press(51, '4');
            sim->Press(52, '9');
            sim->SoftKey(60, '=');
            sim->LowBattery(55);
        } else if (tick == 10) {
            sim->Press(52, '2'); // a second answer of the same keypad
        }
    });
    script.start(100);
    const auto r = RunDiagInProcess(Cmd("poll", {"--seconds", "3", "--keypads", "51-60", "--csv", csv}));
    script.stop();
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(sim->ActiveGroups(), "B");
    EXPECT_NE(r.Out.find("3 of 10 keypads answered (30.0%), 4 answers."), std::string::npos) << r.Out;
    EXPECT_TRUE(HasRow(r.Out, {"51", "4", "1"})) << r.Out;
    EXPECT_TRUE(HasRow(r.Out, {"52", "2", "2"})) << r.Out; // the last answer, and both counted
    EXPECT_TRUE(HasRow(r.Out, {"60", "=", "1"})) << r.Out;
    EXPECT_TRUE(HasRow(r.Out, {"2", "1"})) << r.Out; // histogram: one keypad's last answer is 2
    EXPECT_TRUE(HasRow(r.Out, {"7", "0"})) << r.Out;
    EXPECT_NE(r.Out.find("Never answered (7): 53-59"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Low battery (1): 55"), std::string::npos) << r.Out;

    const std::string rows = ReadAll(csv);
    EXPECT_EQ(rows.rfind("time,elapsed_s,keypad,event,value\r\n", 0), 0u) << rows;
    EXPECT_EQ(CountOf(rows, "\r\n"), 6) << rows; // header + 4 answers + 1 warning
    EXPECT_NE(rows.find(",51,answer,4\r\n"), std::string::npos) << rows;
    EXPECT_NE(rows.find(",60,softkey,=\r\n"), std::string::npos) << rows;
    EXPECT_NE(rows.find(",55,low-battery,\r\n"), std::string::npos) << rows;
}

TEST(DiagWithBase, SerialNumbersAndAnswerTimes)
{
    SimConfig cfg;
    for (int n : {3, 17, 120}) {
        SimKeypad k;
        k.Number = n;
        k.Serial = {0x0A, static_cast<std::uint8_t>(n), 0x01};
        k.Battery = n == 17 ? 1 : 3;
        k.Major = 2;
        k.Minor = 5;
        cfg.Keypads.push_back(k);
    }
    auto sim = StartBase(cfg);
    const std::string csv = TempPath("serials.csv");
    const auto s = RunDiagInProcess(Cmd("serials", {"--csv", csv}));
    ASSERT_EQ(s.Code, 0) << s.Err;
    EXPECT_NE(s.Out.find("\n    17  0A1101  2.5             1\n"), std::string::npos) << s.Out;
    EXPECT_NE(s.Out.find("\n   120  0A7801  2.5             3\n"), std::string::npos) << s.Out;
    EXPECT_NE(s.Out.find("3 keypads\n"), std::string::npos) << s.Out;
    EXPECT_EQ(ReadAll(csv), "keypad,serial,firmware,battery\r\n3,0A0301,2.5,3\r\n17,0A1101,2.5,1\r\n"
                            "120,0A7801,2.5,3\r\n");

    // Answer times: keypad 17 answers at about one second into the question, 120 not at all.
    QTimer script;
    int ticks = 0;
    QObject::connect(&script, &QTimer::timeout, [&] {
        if (++ticks == 10) // a second into polling: the event loop runs only once the tool polls
            sim->Press(17, '6');
    });
    script.start(100);
    const auto t = RunDiagInProcess(Cmd("timestamps", {"--seconds", "3", "--question", "4"}));
    ASSERT_EQ(t.Code, 0) << t.Err;
    EXPECT_NE(t.Out.find("Question 4\n"), std::string::npos) << t.Out;
    const auto at = t.Out.find("\n    17  ");
    ASSERT_NE(at, std::string::npos) << t.Out;
    const double seconds = std::stod(t.Out.substr(at + 9, 8));
    EXPECT_GT(seconds, 0.5) << t.Out;
    EXPECT_LT(seconds, 3.5) << t.Out;
    EXPECT_EQ(t.Out.find("\n   120  "), std::string::npos) << t.Out;
    EXPECT_NE(t.Out.find("1 keypads\n"), std::string::npos) << t.Out;
}

// Settings, locks and the channel reach the base; the tool prints what the base then reports.
TEST(DiagWithBase, SettingsLocksAndChannelReachTheBase)
{
    auto sim = StartBase();
    const auto set = RunDiagInProcess(Cmd("set", {"--mode", "base", "--star", "on", "--echo", "off",
                                                  "--power", "midhigh", "--shortcuts", "yes"}));
    ASSERT_EQ(set.Code, 0) << set.Err;
    EXPECT_EQ(sim->SettingsC(), 0x80 | 0x02 | 0x01);
    EXPECT_EQ(sim->SettingsD(), 0x80 | 0x01);
    EXPECT_NE(set.Out.find("  star         on\n"), std::string::npos) << set.Out;
    EXPECT_NE(set.Out.find("  power        midhigh\n"), std::string::npos) << set.Out;
    // The next session reads the settings back from the base.
    const auto id = RunDiagInProcess(Cmd("identify"));
    EXPECT_NE(id.Out.find("  echo         off\n"), std::string::npos) << id.Out;
    EXPECT_NE(id.Out.find("  shortcuts    on\n"), std::string::npos) << id.Out;

    const auto lock = RunDiagInProcess(Cmd("lock", {"1", "3,*"}));
    ASSERT_EQ(lock.Code, 0) << lock.Err;
    EXPECT_NE(lock.Out.find("Locked keys: 1 3 *"), std::string::npos) << lock.Out;
    EXPECT_TRUE(sim->KeyLocked('1') && sim->KeyLocked('3') && sim->KeyLocked('*'));
    EXPECT_FALSE(sim->KeyLocked('2'));
    const auto unlock = RunDiagInProcess(Cmd("unlock"));
    ASSERT_EQ(unlock.Code, 0) << unlock.Err;
    for (char key : std::string("0123456789*"))
        EXPECT_FALSE(sim->KeyLocked(key)) << key;

    const auto channel = RunDiagInProcess(Cmd("channel", {"11"}));
    ASSERT_EQ(channel.Code, 0) << channel.Err;
    EXPECT_EQ(sim->Channel(), 11);
    EXPECT_NE(channel.Out.find("Channel: 11\n"), std::string::npos) << channel.Out;
}

// With --trace the control's debug texts come with time stamps on standard error; data stays on
// standard output.
TEST(DiagWithBase, TraceGoesToStandardError)
{
    auto sim = StartBase();
    auto args = Cmd("identify");
    args.insert(args.begin(), "--trace");
    const auto r = RunDiagInProcess(args);
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_NE(r.Err.find(" Connect complete\n"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(" KivraSol detected\n"), std::string::npos);
    // "HH:MM:SS.mmm " in front of every trace line.
    const auto at = r.Err.find(" Connect complete\n");
    const auto start = r.Err.rfind('\n', at) + 1;
    EXPECT_EQ(at - start, 12u) << r.Err.substr(start, at - start);
    EXPECT_EQ(r.Out.find("Connect complete"), std::string::npos);
    const auto quiet = RunDiagInProcess(Cmd("identify"));
    EXPECT_EQ(quiet.Err.find("Connect complete"), std::string::npos) << quiet.Err;
}
