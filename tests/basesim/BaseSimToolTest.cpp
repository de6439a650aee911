// The kivra-basesim executable: help, start-up line, commands on standard input, clean exit.

#include "serial/PortNames.h"
#include "tests/basesim/SimHost.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using kivra::test::SimHost;
using kivra::test::SplitPackets;
using namespace std::chrono_literals;

namespace {

//! The tool as a child process with pipes on its standard streams.
class Tool {
public:
    explicit Tool(std::vector<std::string> args)
    {
        int in[2], out[2], err[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
                ::close(fd);
            std::vector<char*> argv{const_cast<char*>(KIVRA_BASESIM_EXE)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    ~Tool()
    {
        if (pid_ > 0 && exit_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_})
            if (fd >= 0)
                ::close(fd);
    }
    void Input(const std::string& text) { [[maybe_unused]] auto n = ::write(in_, text.data(), text.size()); }
    //! Standard output up to and including the first line feed.
    std::string Line(std::chrono::milliseconds timeout = 5000ms) { return ReadFd(out_, timeout, true); }
    std::string AllOut() { return ReadFd(out_, 5000ms, false); }
    std::string AllErr() { return ReadFd(err_, 5000ms, false); }
    void Signal(int sig) { ::kill(pid_, sig); }
    //! Exit code, or -1 when the process does not end within the time-out.
    int Wait(std::chrono::milliseconds timeout = 5000ms)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exit_;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    static std::string ReadFd(int fd, std::chrono::milliseconds timeout, bool oneLine)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + timeout;
        char c;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (::read(fd, &c, 1) != 1)
                break;
            got += c;
            if (oneLine && c == '\n')
                break;
        }
        return got;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1, exit_ = -1;
};

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

TEST(BaseSimTool, HelpDocumentsOptionsAndCommands)
{
    Tool tool({"--help"});
    const std::string help = tool.AllOut();
    EXPECT_EQ(tool.Wait(), 0);
    for (const char* word : {"--port N|auto|none",
                             "--generation",
                             "--keypads",
                             "--seed",
                             "--rate",
                             "--bps",
                             "--failure",
                             "--noise-rate",
                             "--slow-ms",
                             "--lying-lists",
                             "--filler",
                             "--lying-noise R",
                             "--bad-lengths R",
                             "--empty-status",
                             "--split-writes",
                             "--lie",
                             "--trace",
                             "press K D",
                             "soft K S",
                             "lowbat K",
                             "notify K",
                             "unplug",
                             "stall",
                             "resume",
                             "status",
                             "quit"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(BaseSimTool, BadOptionsFailWithAMessage)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"--port", "x"},
                                          {"--failure", "boom"},
                                          {"--keypads", "0-3"},
                                          {"--channel", "16"},
                                          {"--lying-noise", "1.5"},
                                          {"--bad-lengths", "x"},
                                          {"--frobnicate"}}) {
        Tool tool(args);
        EXPECT_EQ(tool.Wait(), 2) << args[0];
        EXPECT_NE(tool.AllErr().find("kivra-basesim: "), std::string::npos) << args[0];
    }
}

TEST(BaseSimTool, RegistersAnswersAndLeavesNoLinkOnSigterm)
{
    Tool tool({"--port", "auto", "--rate", "0", "--bps", "20000", "--keypads", "1-50"});
    const std::string ready = tool.Line();
    // The first free port: COM1 unless a real /dev/ttyS0 exists on this machine.
    const auto at = ready.find("kivra-basesim: base on COM");
    ASSERT_EQ(at, 0u) << ready;
    const int n = std::stoi(ready.substr(26));
    const std::string slave = ready.substr(ready.find('(') + 1, ready.find(')') - ready.find('(') - 1);
    const std::string link = kivra::PortDirectory() + "/COM" + std::to_string(n);
    ASSERT_TRUE(Exists(link));
    EXPECT_EQ(kivra::ResolvePortDevice("COM" + std::to_string(n)), link);

    SimHost host(link);
    ASSERT_TRUE(host.IsOpen());
    tool.Input("press 7 5\nsoft 8 <\n"); // soft keys are off by default: only the digit arrives
    std::this_thread::sleep_for(200ms);
    host.Write("\x11");
    const std::string got = host.ReadUntil([](const std::string& s) { return s.size() >= 3 + 56; });
    ASSERT_GE(got.size(), 3 + 56u);
    EXPECT_EQ(got.substr(0, 3), "YZZ");
    std::string states(50, '-');
    states[6] = '5';
    EXPECT_EQ(SplitPackets(got.substr(3))[0].substr(0, 51), "A" + states);

    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.Wait(), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_NE(slave, "");
}

TEST(BaseSimTool, QuitAndSigintBothRemoveTheLink)
{
    for (const bool bySignal : {false, true}) {
        Tool tool({"--port", "9", "--rate", "0"});
        ASSERT_EQ(tool.Line().find("kivra-basesim: base on COM9 (/dev/pts/"), 0u);
        const std::string link = kivra::PortDirectory() + "/COM9";
        EXPECT_TRUE(Exists(link));
        tool.Input("status\n");
        EXPECT_EQ(tool.Line().find("streaming off, groups ABCDE, channel 7"), 0u);
        if (bySignal)
            tool.Signal(SIGINT);
        else
            tool.Input("quit\n");
        EXPECT_EQ(tool.Wait(), 0);
        EXPECT_FALSE(Exists(link));
    }
}
