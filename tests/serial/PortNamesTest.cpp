// COM port names and their resolution to device paths.
#include "serial/PortNames.h"
#include "serial/ComPort.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivra;

TEST(PortNames, NumbersOfPortNames)
{
    const struct {
        const char* name;
        int number;
    } cases[] = {
        {"COM1", 1},   {"COM16", 16}, {"\\\\.\\COM10", 10}, {"\\\\.\\COM3", 3},
        {"COM", -1},   {"COM0", -1},  {"COM01", -1},        {"com1", -1},
        {"COM1x", -1}, {"COM-1", -1}, {"/dev/ttyS0", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComPortNumber(c.name), c.number) << c.name;
    EXPECT_EQ(ComPortName(9), "COM9");
    EXPECT_EQ(ComPortName(10), "\\\\.\\COM10");
}

TEST(PortNames, DefaultTableAndPaths)
{
    EXPECT_EQ(ResolvePortDevice("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(ResolvePortDevice("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolvePortDevice("COM4"), "/dev/ttyS3");
    EXPECT_EQ(ResolvePortDevice("COM5"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePortDevice("\\\\.\\COM12"), "/dev/ttyUSB7");
    EXPECT_EQ(ResolvePortDevice("COM13"), "/dev/ttyACM0");
    EXPECT_EQ(ResolvePortDevice("COM16"), "/dev/ttyACM3");
    EXPECT_EQ(ResolvePortDevice("COM17"), "");
    EXPECT_EQ(ResolvePortDevice("ttyS0"), "");
}

TEST(PortNames, APortRegisteredInThePortDirectoryOpensByItsComName)
{
    test::PtyPeer pty;
    ASSERT_TRUE(EnsurePortDirectory());
    const std::string link = PortDirectory() + "/COM11";
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty.Path().c_str(), link.c_str()), 0);

    TComPort port;
    port.SetDeviceName(ComPortName(11));
    port.Open();
    EXPECT_TRUE(port.GetActive());
    pty.Send("via link");
    EXPECT_TRUE(test::WaitUntil([&] { return port.InputCount() == 8; }));
    port.Close();
    ::unlink(link.c_str());
}
