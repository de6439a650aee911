// What a COM number stands for, asked without opening the device: state, holder, refusal with
// the group to join, and the advice the window and kivra-diag show.
#include "serial/PortProbe.h"
#include "serial/PortNames.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivra;

namespace {

// Registers COMn as a link to target in this process's port directory.
std::string LinkPort(int n, const std::string& target)
{
    test::UsePrivatePortDirectory();
    EXPECT_TRUE(EnsurePortDirectory());
    std::string link = PortDirectory() + "/COM" + std::to_string(n);
    ::unlink(link.c_str());
    EXPECT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    return link;
}

} // namespace

TEST(PortProbe, FreeBusyAndMissingPortsWithoutOpeningThem)
{
    test::PtyPeer pty; // a present terminal device whose slave nobody has open
    ASSERT_FALSE(pty.Path().empty());
    const std::string link = LinkPort(3, pty.Path());
    LinkPort(4, "/tmp/kivra-no-such-device");
    test::OpenWatch opens(pty.Path());

    const TPortProbe free = ProbePort(3);
    EXPECT_EQ(free.State, TPortState::Free);
    EXPECT_EQ(free.Error, 0);
    EXPECT_EQ(free.Device, link);
    EXPECT_EQ(free.Kind, "pseudo-terminal");
    EXPECT_EQ(DeviceDescription(free), link + " (pseudo-terminal)");
    EXPECT_TRUE(PermissionAdvice(free).empty());

    const TPortProbe missing = ProbePort(4);
    EXPECT_EQ(missing.State, TPortState::Missing);
    EXPECT_EQ(missing.Error, ENOENT);
    EXPECT_TRUE(PermissionAdvice(missing).empty());
    // Probing reads sysfs, the lock file and /proc: opening a tty would raise its modem lines.
    EXPECT_EQ(opens.Opens(), 0);

    {
        const test::HolderProcess holder({pty.Path()});
        const TPortProbe busy = ProbePort(3);
        EXPECT_EQ(busy.State, TPortState::Busy);
        EXPECT_EQ(busy.Error, EBUSY);
        EXPECT_EQ(busy.Holder.Pid, holder.Pid());
    }
    EXPECT_EQ(opens.Opens(), 1); // the holder's own
}

TEST(PortProbe, RefusedDeviceNamesItsGroupAndHowToJoinIt)
{
    test::PtyPeer pty; // a present terminal device whose slave nobody has open
    ASSERT_FALSE(pty.Path().empty());
    const std::string& path = pty.Path();
    EXPECT_TRUE(PermissionAdvice(ProbePortDevice(5, path)).empty()); // opens: nothing to advise
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    // Root opens anything: take the part of an ordinary user while probing.
    const uid_t euid = ::geteuid();
    if (euid == 0) {
        ASSERT_EQ(::seteuid(65534), 0);
    }
    const TPortProbe refused = ProbePortDevice(5, path);
    if (euid == 0) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const group* g = ::getgrgid(st.st_gid);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(refused.State, TPortState::Refused);
    EXPECT_TRUE(refused.AccessRefused);
    EXPECT_EQ(refused.Group, g->gr_name);
    const std::string advice = PermissionAdvice(refused);
    EXPECT_NE(advice.find(path), std::string::npos) << advice;
    EXPECT_NE(advice.find("COM5"), std::string::npos) << advice;
    EXPECT_NE(advice.find("sudo usermod -aG " + std::string(g->gr_name) + " $USER"), std::string::npos)
        << advice;
    EXPECT_TRUE(PermissionAdvice(ProbePortDevice(5, "/tmp/kivra-no-such-device")).empty());
}

TEST(PortProbe, TheAdviceNamesNoGroupItCannotKnow)
{
    const TPortProbe known = ClassifyPortError(7, "/dev/ttyUSB2", EACCES);
    TPortProbe p = known;
    p.Group = "dialout";
    EXPECT_EQ(PermissionAdvice(p),
              "You have no permission to open /dev/ttyUSB2 (COM7). It belongs to the group "
              "\"dialout\".\nJoin that group with:  sudo usermod -aG dialout $USER\n"
              "then log out and in again.");
    // A device that cannot be examined has no group to join.
    EXPECT_EQ(
        PermissionAdvice(ClassifyPortError(7, "/nonexistent/tty", EACCES)),
        "You have no permission to open /nonexistent/tty (COM7): ask the administrator for access to it.");
}
