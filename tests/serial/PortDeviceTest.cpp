// Exclusive open against programs that had the port first (holders, lock files), and what sysfs
// tells about a device without opening it.
#include "serial/PortDevice.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace kivra;
using kivra::test::HolderProcess;
using kivra::test::PtyPeer;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// Opens the port; "" when it opened, else the error's text (with its code checked as busy).
std::string OpenError(TComPort& port)
{
    try {
        port.Open();
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode(), EBUSY) << e.what();
        return e.what();
    }
    return {};
}

} // namespace

TEST(PortHolders, AnotherProcessOnTheSlaveIsRefusedByNameTheFarEndIsNot)
{
    test::UsePrivatePortDirectory();
    ASSERT_TRUE(EnsurePortDirectory());
    PtyPeer pty;
    const std::string link = PortDirectory() + "/COM3";
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty.Path().c_str(), link.c_str()), 0);
    const std::string device = std::filesystem::canonical(pty.Path());
    {
        // A terminal program that had the port first.
        HolderProcess holder({pty.Path()});
        TComPort port;
        port.SetDeviceName("COM3");
        EXPECT_EQ(OpenError(port),
                  "COM3 (" + device + ") is in use by sleep, process " + std::to_string(holder.Pid()));
        EXPECT_FALSE(port.GetActive());
        TPortHolder found;
        ASSERT_TRUE(FindPortHolder(pty.Path(), found));
        EXPECT_EQ(found.Pid, holder.Pid());
    }
    {
        // The process on the master side keeps the slave open too: it is the far end, not a
        // competitor.
        HolderProcess farEnd({pty.Path()}, {pty.Master()});
        TComPort port;
        port.SetDeviceName("COM3");
        EXPECT_EQ(OpenError(port), "");
        EXPECT_TRUE(port.GetActive());
    }
    ::unlink(link.c_str());
}

TEST(PortHolders, LockFilesOfLiveProcessesRefuseStaleOnesAreReplaced)
{
    PtyPeer pty;
    const std::string lock = PortLockPath(pty.Path());
    std::string name = std::filesystem::canonical(pty.Path()).string().substr(5); // "pts/N"
    std::replace(name.begin(), name.end(), '/', '_');
    ASSERT_EQ(lock, "/run/lock/LCK.." + name);
    if (::access("/run/lock", W_OK) != 0)
        GTEST_SKIP() << "/run/lock is not writable here";

    HolderProcess live({});
    const std::string device = std::filesystem::canonical(pty.Path());
    struct Case {
        const char* what;
        std::string content;
        std::string error;
    } cases[] = {
        {"live, 10-column form",
         std::string(10 - std::to_string(live.Pid()).size(), ' ') + std::to_string(live.Pid()) + "\n",
         device + " is in use by sleep, process " + std::to_string(live.Pid())},
        {"live, with a program name", std::to_string(live.Pid()) + "\nminicom\nhost\n",
         device + " is in use by sleep, process " + std::to_string(live.Pid())},
        {"stale", "  " + std::to_string(test::DeadPid()) + "\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(lock, c.content);
        TComPort port;
        port.SetDeviceName(pty.Path());
        EXPECT_EQ(OpenError(port), c.error);
        if (c.error.empty()) {
            // Taken over: our process id in the usual form, gone again with the port.
            char mine[16];
            std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
            EXPECT_EQ(ReadFile(lock), mine);
            port.Close();
            EXPECT_NE(::access(lock.c_str(), F_OK), 0);
        } else {
            EXPECT_EQ(ReadFile(lock), c.content) << "another program's lock is left alone";
        }
        ::unlink(lock.c_str());
    }
}

TEST(PortDevices, SysfsTellsPresenceAndKindWithoutOpening)
{
    namespace fs = std::filesystem;
    PtyPeer pty;
    struct stat st {};
    ASSERT_EQ(::stat(pty.Path().c_str(), &st), 0);
    const std::string id = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const fs::path sys = fs::path(test::UsePrivatePortDirectory()) / "sys";
    fs::remove_all(sys);
    fs::create_directories(sys / "dev/char");
    fs::create_directories(sys / "class/tty");
    fs::create_directories(sys / "bus/platform/drivers/serial8250");
    // A serial port as sysfs shows it, with the given UART type.
    auto serialPort = [&](const std::string& type) {
        fs::remove_all(sys / "devices");
        fs::remove(sys / "dev/char" / id);
        const fs::path tty = sys / "devices/platform/serial8250/tty/ttyS3";
        fs::create_directories(tty);
        fs::create_directory_symlink(sys / "class/tty", tty / "subsystem");
        fs::create_directory_symlink(sys / "devices/platform/serial8250", tty / "device");
        fs::create_directory_symlink(sys / "bus/platform/drivers/serial8250",
                                     sys / "devices/platform/serial8250/driver");
        WriteFile(tty / "type", type + "\n");
        fs::create_directory_symlink(tty, sys / "dev/char" / id);
    };

    const TPortDevice pseudo = ExaminePortDevice(pty.Path(), sys);
    EXPECT_TRUE(pseudo.Present);
    EXPECT_EQ(pseudo.Kind, "pseudo-terminal");

    serialPort("4"); // a 16550A
    const TPortDevice uart = ExaminePortDevice(pty.Path(), sys);
    EXPECT_TRUE(uart.Present);
    EXPECT_EQ(uart.Kind, "serial");
    EXPECT_EQ(uart.Driver, "serial8250");

    serialPort("0"); // the driver's placeholder without a UART
    EXPECT_FALSE(ExaminePortDevice(pty.Path(), sys).Present);

    EXPECT_FALSE(ExaminePortDevice("/dev/null").Present);              // not a terminal
    EXPECT_FALSE(ExaminePortDevice("/dev/kivra-no-such-tty").Present); // not there
    fs::remove_all(sys);
}
