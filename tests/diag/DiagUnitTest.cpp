// kivra-diag without a base: the command line, the poll summary, the CSV and the port states.

#include "diag/DiagOptions.h"
#include "diag/DiagPorts.h"
#include "diag/DiagReport.h"
#include "tests/diag/DiagToolRunner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivra::diag;
using kivra::test::RunDiagInProcess;

namespace {

struct BadLine {
    const char* name;
    std::vector<std::string> args;
    const char* message; // part of the text on standard error
};

class DiagBadArguments : public ::testing::TestWithParam<BadLine> {};

} // namespace

// Every refused command line ends with status 2 and a message that names what is wrong, before
// any port is touched.
TEST_P(DiagBadArguments, ExitTwoWithAMessageNamingTheFault)
{
    const BadLine& c = GetParam();
    const auto r = RunDiagInProcess(c.args);
    EXPECT_EQ(r.Code, static_cast<int>(ExitCode::BadArguments)) << r.Err;
    EXPECT_NE(r.Err.find(c.message), std::string::npos) << r.Err;
    EXPECT_TRUE(r.Out.empty()) << r.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DiagBadArguments,
    ::testing::Values(
        BadLine{"NoCommand", {}, "no command given"},
        BadLine{"UnknownCommand", {"frobnicate", "--port", "1"}, "unknown command \"frobnicate\""},
        BadLine{"MissingPort", {"identify"}, "--port N is needed"},
        BadLine{"PortZero", {"identify", "--port", "0"}, "not a number from 1 to 16"},
        BadLine{"PortSeventeen", {"identify", "--port", "COM17"}, "not a port from COM1 to COM16"},
        BadLine{"PortText", {"identify", "--port", "ttyS0"}, "\"ttyS0\""},
        BadLine{"ValueMissing", {"identify", "--port"}, "--port needs a value"},
        BadLine{"OptionOfAnotherCommand",
                {"identify", "--port", "1", "--seconds", "5"},
                "identify: unknown option --seconds"},
        BadLine{"SecondsZero", {"poll", "--port", "1", "--seconds", "0"}, "--seconds"},
        BadLine{"SecondsTrailingJunk", {"poll", "--port", "1", "--seconds", "5s"}, "\"5s\""},
        BadLine{"TimeoutBelowRange", {"poll", "--port", "1", "--timeout", "1999"}, "2000 to 15000"},
        BadLine{
            "KeypadRangeReversed", {"poll", "--port", "1", "--keypads", "7-3"}, "Unable to add range 7-3"},
        BadLine{"KeypadRangeBeyondBase",
                {"poll", "--port", "1", "--keypads", "240-260"},
                "exceeds the maximum number of keypads (250)"},
        BadLine{"KeypadRangeLetters", {"poll", "--port", "1", "--keypads", "1,2,x"}, "--keypads"},
        BadLine{"KeypadRangeEmpty", {"poll", "--port", "1", "--keypads", ","}, "names no keypad"},
        BadLine{"CsvNotWritable",
                {"serials", "--port", "1", "--csv", "/nonexistent-dir/x.csv"},
                "cannot write /nonexistent-dir/x.csv"},
        BadLine{"SetNothing", {"set", "--port", "1"}, "name at least one setting"},
        BadLine{"SetBadSwitch", {"set", "--port", "1", "--echo", "maybe"}, "neither on nor off"},
        BadLine{"SetBadPower", {"set", "--port", "1", "--power", "max"}, "not low, lowmid"},
        BadLine{"SetBadMode", {"set", "--port", "1", "--mode", "auto"}, "neither manual nor base"},
        BadLine{"LockNothing", {"lock", "--port", "1"}, "name the keys to lock"},
        BadLine{"LockLetter", {"lock", "--port", "1", "1", "a"}, "\"a\" is not a key"},
        BadLine{"LockTwice", {"lock", "--port", "1", "1,2,1"}, "key 1 is named twice"},
        BadLine{"UnlockWithKeys", {"unlock", "--port", "1", "3"}, "unexpected argument \"3\""},
        BadLine{"ChannelMissing", {"channel", "--port", "1"}, "give one channel number"},
        BadLine{"ChannelSixteen", {"channel", "--port", "1", "16"}, "from 1 to 15"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiagArguments, AcceptedFormsAreReadAsMeant)
{
    EXPECT_EQ(ParsePortArgument("3"), 3);
    EXPECT_EQ(ParsePortArgument("COM12"), 12);
    EXPECT_EQ(ParsePortArgument("com4"), 4);
    EXPECT_EQ(ParsePortArgument("\\\\.\\COM16"), 16);

    const DiagOptions p = ParseArguments({"--trace", "poll", "--seconds=30", "--port", "COM2", "--keypads",
                                          "1-10, 20", "--csv", "x.csv", "--timeout", "5000"});
    EXPECT_EQ(p.Command, "poll");
    EXPECT_TRUE(p.Trace);
    EXPECT_EQ(p.Port, 2);
    EXPECT_EQ(p.Seconds, 30);
    EXPECT_EQ(p.Keypads, "1-10, 20");
    EXPECT_EQ(p.CsvPath, "x.csv");
    EXPECT_EQ(p.Timeout, 5000);

    // Keys in any of the written forms; settings kept in command-line order, values normalised.
    EXPECT_EQ(ParseArguments({"lock", "--port", "1", "1", "2,*", "90"}).Keys, "12*90");
    const DiagOptions s =
        ParseArguments({"set", "--port", "1", "--star", "ON", "--power", "LowMid", "--echo", "no"});
    ASSERT_EQ(s.Settings.size(), 3u);
    EXPECT_EQ(s.Settings[0], (std::pair<std::string, std::string>{"star", "on"}));
    EXPECT_EQ(s.Settings[1], (std::pair<std::string, std::string>{"power", "lowmid"}));
    EXPECT_EQ(s.Settings[2], (std::pair<std::string, std::string>{"echo", "no"}));
    EXPECT_EQ(ParseArguments({"channel", "--port", "1", "15"}).Channel, 15);
    EXPECT_EQ(ParseArguments({"ports"}).Port, 0); // ports needs no port
}

// The help of every command (and the overview) goes to standard output with status 0, and needs
// no other argument; the overview documents every exit status.
TEST(DiagArguments, HelpOnEveryCommand)
{
    for (const char* cmd :
         {"ports", "identify", "poll", "serials", "timestamps", "set", "lock", "unlock", "channel"}) {
        const auto r = RunDiagInProcess({cmd, "--help"});
        EXPECT_EQ(r.Code, 0) << cmd;
        EXPECT_NE(r.Out.find(std::string("Usage: kivra-diag ") + cmd), std::string::npos) << cmd << r.Out;
        EXPECT_TRUE(r.Err.empty()) << r.Err;
    }
    const auto r = RunDiagInProcess({"--help"});
    EXPECT_EQ(r.Code, 0);
    for (const char* code : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  ", "  5  ", "  6  "})
        EXPECT_NE(r.Out.find(code), std::string::npos) << code;
}

TEST(DiagReport, RangesAreCompressedAndSorted)
{
    EXPECT_EQ(CompressRanges({}), "none");
    EXPECT_EQ(CompressRanges({5}), "5");
    EXPECT_EQ(CompressRanges({8, 1, 2, 3, 5, 7, 3}), "1-3,5,7-8");
    EXPECT_EQ(CompressRanges({249, 250, 1}), "1,249-250");
}

TEST(DiagReport, CsvFieldsAreQuotedOnlyWhenNeeded)
{
    EXPECT_EQ(CsvField("7"), "7");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField(std::string("\xFF\x01", 2)), std::string("\xFF\x01", 2)); // bytes kept as they are
}

TEST(DiagReport, UtcTimestampHasMillisecondsAndZone)
{
    using namespace std::chrono;
    const auto t = system_clock::from_time_t(0) + hours(24 * 365) + milliseconds(7);
    EXPECT_EQ(UtcTimestamp(t), "1971-01-01T00:00:00.007Z");
}

// The summary: every expected keypad either answered or is listed as silent; keypads outside the
// range and low batteries are named; the histogram counts each keypad's last answer once.
TEST(DiagReport, PollTallyCountsKeypadsNotPresses)
{
    PollTally t({1, 2, 3, 4, 5, 10});
    t.Answer(2, "7", 1.0);
    t.Answer(2, "3", 2.0); // changed its mind: its last answer counts
    t.Answer(3, "3", 1.5);
    t.Answer(5, "<", 1.7);
    t.Answer(42, "1", 1.9); // outside the range
    t.LowBattery(4);
    t.LowBattery(4);
    t.Notification(1);

    EXPECT_EQ(t.AnswerCount(), 5);
    EXPECT_EQ(t.ExpectedCount(), 6);
    EXPECT_EQ(t.ExpectedAnswered(), 3);
    EXPECT_EQ(t.NeverAnswered(), (std::vector<int>{1, 4, 10}));
    EXPECT_EQ(t.Unexpected(), (std::vector<int>{42}));
    const auto h = t.Histogram();
    EXPECT_EQ(h.at("3"), 2);
    EXPECT_EQ(h.at("<"), 1);
    EXPECT_EQ(h.at("1"), 1);
    EXPECT_FALSE(h.contains("7"));
    EXPECT_EQ(t.Keypads().at(2).Answers, 2);
    EXPECT_DOUBLE_EQ(t.Keypads().at(2).LastAt, 2.0);

    std::ostringstream out;
    t.Print(out, 10);
    const std::string s = out.str();
    EXPECT_NE(s.find("3 of 6 keypads answered (50.0%), 5 answers"), std::string::npos) << s;
    EXPECT_NE(s.find("Never answered (3): 1,4,10"), std::string::npos) << s;
    EXPECT_NE(s.find("Outside the range (1): 42"), std::string::npos) << s;
    EXPECT_NE(s.find("Low battery (1): 4"), std::string::npos) << s;
    EXPECT_NE(s.find("\n  3     2  "), std::string::npos) << s; // key 3: two keypads
    EXPECT_NE(s.find("\n  <     1  "), std::string::npos) << s;
    EXPECT_EQ(s.find("\n  *  "), std::string::npos) << s; // unused rare keys are left out
}

// A refusal names the group that owns the device and how to join it; the other errors land in
// their states.
TEST(DiagPorts, OpenErrorsAreClassified)
{
    char path[] = "/tmp/kivra-diag-dev-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const group* g = ::getgrgid(::getgid());
    ASSERT_NE(g, nullptr);
    const std::string groupName = g->gr_name;

    const PortProbe refused = ClassifyOpenError(5, path, EACCES);
    EXPECT_EQ(refused.State, PortState::Refused);
    EXPECT_EQ(DeviceGroup(path), groupName);
    EXPECT_NE(refused.Detail.find("belongs to the group \"" + groupName + "\""), std::string::npos)
        << refused.Detail;
    EXPECT_NE(refused.Detail.find("usermod -aG " + groupName), std::string::npos) << refused.Detail;
    EXPECT_NE(PortStateText(refused).find("refused: "), std::string::npos);
    ::unlink(path);

    EXPECT_EQ(ClassifyOpenError(1, "/dev/x", EBUSY).State, PortState::Busy);
    EXPECT_EQ(ClassifyOpenError(1, "/dev/x", ENOENT).State, PortState::Missing);
    EXPECT_EQ(ClassifyOpenError(1, "/dev/x", ENXIO).State, PortState::Missing);
    EXPECT_EQ(ClassifyOpenError(1, "/dev/x", 0).State, PortState::Free);
    const PortProbe odd = ClassifyOpenError(1, "/dev/x", EIO);
    EXPECT_EQ(odd.State, PortState::Failed);
    EXPECT_NE(PortStateText(odd).find("unusable: "), std::string::npos);
    // A device that is gone has no group to join.
    EXPECT_NE(ClassifyOpenError(1, "/nonexistent/tty", EACCES).Detail.find("ask the administrator"),
              std::string::npos);
}
