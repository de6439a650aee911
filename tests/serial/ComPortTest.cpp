// Settings, opening and the data path of the serial port against a pseudo-terminal.
#include "serial/ComPort.h"
#include "serial/ComPortPosix.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <termios.h>
#include <vector>

using namespace kivra;
using namespace std::chrono_literals;
using kivra::test::PtyPeer;

namespace {

// The settings the communication layer uses.
void ApplyLayerSettings(TComPort& port, const std::string& device)
{
    port.SetBaudRate(TBaudRate::br9600);
    port.SetDeviceName(device);
    port.SetDataBits(TDataBits::db8);
    port.SetParity(TParity::paNone);
    port.SetStopBits(TStopBits::sb1);
    port.FlowControl().SetDTR(TDTRControl::dcDisable);
    port.FlowControl().SetRTS(TRTSControl::rcDisable);
    port.FlowControl().SetXOnXOff(TXOnXOffControl::xcDisable);
}

termios DeviceTermios(const PtyPeer& pty)
{
    termios t{};
    EXPECT_EQ(::tcgetattr(pty.Master(), &t), 0);
    return t;
}

template <typename F> EComError CatchComError(F&& f)
{
    try {
        f();
    } catch (const EComError& e) {
        return e;
    }
    ADD_FAILURE() << "no EComError raised";
    return EComError(-1, "");
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

TEST(ComPortSettings, FreshPortDefaultsAndBaudRateRules)
{
    TComPort port;
    EXPECT_FALSE(port.GetActive());
    EXPECT_EQ(port.GetDeviceName(), "COM2");
    EXPECT_EQ(port.GetBaudRate(), TBaudRate::brDefault);
    EXPECT_EQ(port.GetCustomBaudRate(), 0);
    EXPECT_EQ(port.BufferSizes().GetInput(), 4096);
    EXPECT_EQ(port.BufferSizes().GetOutput(), 2048);
    EXPECT_EQ(port.Characters().GetXOn(), 17);
    EXPECT_EQ(port.Characters().GetXOff(), 19);
    EXPECT_EQ(port.GetThreadPriority(), TThreadPriority::tpTimeCritical);
    EXPECT_TRUE(port.GetSynchronizeEvents());
    EXPECT_EQ(static_cast<int>(TBaudRate::brCustom), 26);

    port.SetCustomBaudRate(0); // equals the stored value: nothing changes
    EXPECT_EQ(port.GetBaudRate(), TBaudRate::brDefault);
    port.SetBaudRate(TBaudRate::br115200);
    EXPECT_EQ(port.GetCustomBaudRate(), 115200);
    port.SetCustomBaudRate(115200);
    EXPECT_EQ(port.GetBaudRate(), TBaudRate::brCustom);
    EXPECT_EQ(port.GetCustomBaudRate(), 115200);
    port.SetBaudRate(TBaudRate::br15625);
    EXPECT_EQ(port.GetCustomBaudRate(), 15625);
}

TEST(ComPortSettings, LayerSettingsReachTheDevice)
{
    PtyPeer pty;
    TComPort port;
    ApplyLayerSettings(port, pty.Path());
    port.SetActive(true);
    ASSERT_TRUE(port.GetActive());

    const termios t = DeviceTermios(pty);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_EQ(::cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CMSPAR), 0u);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
}

TEST(ComPortSettings, ChangesOnAnOpenPortArePushedAtOnce)
{
    PtyPeer pty;
    TComPort port;
    ApplyLayerSettings(port, pty.Path());
    port.Open();

    struct Case {
        const char* name;
        TParity parity;
        tcflag_t expect;
    };
    const Case cases[] = {
        {"odd", TParity::paOdd, PARENB | PARODD},
        {"even", TParity::paEven, PARENB},
        {"mark", TParity::paMark, PARENB | PARODD | CMSPAR},
        {"space", TParity::paSpace, PARENB | CMSPAR},
        {"none", TParity::paNone, 0},
    };
    // A pseudo-terminal refuses anything but 8 data bits without parity, so character size and
    // parity are checked on the termios the port composes for a device.
    TComPort closed;
    for (const Case& c : cases) {
        closed.SetParity(c.parity);
        termios t = DeviceTermios(pty);
        bool custom = true;
        ASSERT_EQ(ComposeTermios(t, closed.LineSettings(), custom).Code(), 0) << c.name;
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.expect) << c.name;
        EXPECT_FALSE(custom);
    }
    const std::pair<TDataBits, tcflag_t> sizes[] = {
        {TDataBits::db5, CS5}, {TDataBits::db6, CS6}, {TDataBits::db7, CS7}, {TDataBits::db8, CS8}};
    for (const auto& [bits, size] : sizes) {
        closed.SetDataBits(bits);
        termios t = DeviceTermios(pty);
        bool custom = false;
        ASSERT_EQ(ComposeTermios(t, closed.LineSettings(), custom).Code(), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, size);
    }

    port.SetStopBits(TStopBits::sb2);
    port.FlowControl().SetXOnXOff(TXOnXOffControl::xcInputOutput);
    port.Characters().SetXOn('A');
    port.SetBaudRate(TBaudRate::br57600);
    termios t = DeviceTermios(pty);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    EXPECT_EQ(::cfgetospeed(&t), B57600);

    // Rates outside the standard table go through the arbitrary-rate interface.
    port.SetBaudRate(TBaudRate::br14400);
    int rate = 0;
    ASSERT_EQ(GetDeviceBaudRate(pty.Master(), rate).Code(), 0);
    EXPECT_EQ(rate, 14400);
    port.SetCustomBaudRate(31250);
    ASSERT_EQ(GetDeviceBaudRate(pty.Master(), rate).Code(), 0);
    EXPECT_EQ(rate, 31250);

    // Four-bit characters do not exist here: refused, not silently replaced.
    const EComError e = CatchComError([&] { port.SetDataBits(TDataBits::db4); });
    EXPECT_EQ(e.ErrorCode(), EINVAL);
}

TEST(ComPortSettings, DefaultMembersLeaveTheDeviceAlone)
{
    PtyPeer pty;
    termios before = DeviceTermios(pty);
    before.c_cflag |= CSTOPB;
    before.c_iflag |= IXON | INPCK;
    ::cfsetospeed(&before, B4800);
    ::cfsetispeed(&before, B4800);
    ASSERT_EQ(::tcsetattr(pty.Master(), TCSANOW, &before), 0);

    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Open();
    const termios t = DeviceTermios(pty);
    EXPECT_EQ(::cfgetospeed(&t), B4800);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON));
    EXPECT_EQ(t.c_iflag & INPCK, 0u);  // options are always written
    EXPECT_EQ(t.c_lflag & ICANON, 0u); // raw mode regardless
}

TEST(ComPortSettings, SettingsThatNeedAClosedPort)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Open();
    EXPECT_NO_THROW(port.SetDeviceName(pty.Path()));
    const struct {
        const char* name;
        std::function<void()> change;
    } cases[] = {
        {"other device", [&] { port.SetDeviceName(pty.Path() + "x"); }},
        {"letter case", [&] { port.SetDeviceName("COM2"), port.SetDeviceName("com2"); }},
        {"priority class", [&] { port.SetPriorityClass(TPriorityClass::pcHigh); }},
        {"synchronize", [&] { port.SetSynchronizeEvents(false); }},
    };
    for (const auto& c : cases) {
        const EComError e = CatchComError(c.change);
        EXPECT_EQ(e.ErrorCode(), 0) << c.name;
        EXPECT_STREQ(e.what(), "Can't perform this operation on an open port") << c.name;
    }
    EXPECT_EQ(port.GetDeviceName(), pty.Path());
    EXPECT_EQ(port.GetPriorityClass(), TPriorityClass::pcDefault);
    EXPECT_TRUE(port.GetSynchronizeEvents());
}

TEST(ComPortOpen, MissingDeviceRaisesTheSystemErrorAndLeavesNothingOpen)
{
    const int fds = test::OpenFdCount();
    TComPort port;
    std::vector<std::string> events;
    port.SetBeforeOpen([&](TCustomComPort*) { events.push_back("BeforeOpen"); });
    port.SetAfterOpen([&](TCustomComPort*) { events.push_back("AfterOpen"); });
    port.SetOnRxChar([](TCustomComPort*) {});
    int errorsSeen = 0;
    port.SetOnError([&](TCustomComPort*, const EComError&, TComAction&) { ++errorsSeen; });
    port.SetDeviceName("/dev/kivra-no-such-device");

    const EComError e = CatchComError([&] { port.SetActive(true); });
    EXPECT_EQ(e.ErrorCode(), ENOENT);
    EXPECT_STREQ(e.what(), "No such file or directory");
    EXPECT_FALSE(port.GetActive());
    EXPECT_FALSE(port.HasEventThread());
    EXPECT_EQ(events, std::vector<std::string>{"BeforeOpen"});
    EXPECT_EQ(errorsSeen, 1);
    EXPECT_EQ(test::OpenFdCount(), fds);
}

TEST(ComPortOpen, ADeviceOpenElsewhereIsRefused)
{
    PtyPeer pty;
    TComPort first;
    first.SetDeviceName(pty.Path());
    first.Open();
    TComPort second;
    second.SetDeviceName(pty.Path());
    const EComError e = CatchComError([&] { second.Open(); });
    EXPECT_EQ(e.ErrorCode(), EBUSY);
    EXPECT_FALSE(second.GetActive());
    first.Close();
    EXPECT_NO_THROW(second.Open()); // free again once the first let go
    EXPECT_TRUE(second.GetActive());
}

TEST(ComPortOpen, OpenCloseEventsAndAbortThroughOnError)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    std::vector<std::string> events;
    port.SetBeforeOpen([&](TCustomComPort*) { events.push_back("BeforeOpen"); });
    port.SetAfterOpen([&](TCustomComPort*) { events.push_back("AfterOpen"); });
    port.SetBeforeClose([&](TCustomComPort*) { events.push_back("BeforeClose"); });
    port.SetAfterClose([&](TCustomComPort*) { events.push_back("AfterClose"); });
    port.SetActive(true);
    port.SetActive(true);
    port.SetActive(false);
    port.SetActive(false);
    EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));

    port.SetOnError([](TCustomComPort*, const EComError& e, TComAction& action) {
        EXPECT_STREQ(e.what(), "Can't perform this operation on a closed port");
        action = TComAction::caAbort;
    });
    EXPECT_THROW(port.ReadChar(), EAbort);
}

TEST(ComPortData, OperationsOnAClosedPortAreRefused)
{
    TComPort port;
    char buf[4];
    const struct {
        const char* name;
        std::function<void()> op;
    } cases[] = {
        {"Read", [&] { port.Read(buf, 4, true); }},      {"Write", [&] { port.Write(buf, 4, false); }},
        {"ReadChar", [&] { port.ReadChar(); }},          {"ReadString", [&] { port.ReadString(); }},
        {"WriteString", [&] { port.WriteString("x"); }}, {"CheckLineErrors", [&] { port.CheckLineErrors(); }},
        {"ModemStatus", [&] { port.GetModemStatus(); }},
    };
    for (const auto& c : cases) {
        const EComError e = CatchComError(c.op);
        EXPECT_EQ(e.ErrorCode(), 0) << c.name;
        EXPECT_STREQ(e.what(), "Can't perform this operation on a closed port") << c.name;
    }
    // InputCount has no check of its own: the system call fails on the closed port.
    EXPECT_EQ(CatchComError([&] { port.InputCount(); }).ErrorCode(), EBADF);
    EXPECT_NO_THROW(port.PurgeInput());
    EXPECT_NO_THROW(port.PurgeOutput());
}

TEST(ComPortData, ReadCharTimesOutAfterTheReadConstant)
{
    PtyPeer pty;
    TComPort port;
    ApplyLayerSettings(port, pty.Path());
    port.Timeouts().SetReadConstant(1000);
    port.Open();

    const auto start = std::chrono::steady_clock::now();
    const EComError e = CatchComError([&] { port.ReadChar(); });
    const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_STREQ(e.what(), "Timeout");
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 3.0);

    pty.Send("Q");
    ASSERT_TRUE(test::WaitUntil([&] { return port.InputCount() == 1; }));
    const auto quick = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadChar(), 'Q');
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - quick), 0.5);
}

TEST(ComPortData, ReadStringReturnsExactlyTheWaitingBytes)
{
    PtyPeer pty;
    TComPort port;
    ApplyLayerSettings(port, pty.Path());
    port.Open();
    EXPECT_EQ(port.ReadString(), "");

    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    pty.Send(all);
    ASSERT_TRUE(test::WaitUntil([&] { return port.InputCount() == 256; }));
    EXPECT_EQ(port.ReadString(), all);
    EXPECT_EQ(port.InputCount(), 0);

    pty.Send("12345");
    ASSERT_TRUE(test::WaitUntil([&] { return port.InputCount() == 5; }));
    EXPECT_EQ(port.ReadString(), "12345");
}

TEST(ComPortData, ReadTimeoutRules)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Open();
    char buf[8] = {};

    // "Return at once with what is there": a short result is a Timeout, without waiting.
    port.Timeouts().SetReadInterval(-1);
    pty.Send("ab");
    ASSERT_TRUE(test::WaitUntil([&] { return port.InputCount() == 2; }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_STREQ(CatchComError([&] { port.Read(buf, 8, true); }).what(), "Timeout");
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - start), 0.5);
    EXPECT_EQ(std::string(buf, 2), "ab");

    // Interval timeout: the gap after the last byte ends the read.
    port.Timeouts().SetReadInterval(100);
    pty.Send("xyz");
    start = std::chrono::steady_clock::now();
    EXPECT_STREQ(CatchComError([&] { port.Read(buf, 8, true); }).what(), "Timeout");
    const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed, 0.09);
    EXPECT_LT(elapsed, 2.0);

    // A read that is not waited for is outstanding until its bytes are there.
    port.Timeouts().SetReadInterval(0);
    EXPECT_EQ(port.Read(buf, 3, false), 0);
    EXPECT_TRUE(port.ReadPending());
    pty.Send("123");
    port.WaitForReadCompletion();
    EXPECT_FALSE(port.ReadPending());
    EXPECT_EQ(std::string(buf, 3), "123");

    // Length 0: no transfer, but the events still run.
    int before = 0, after = 0;
    port.SetBeforeRead([&](TCustomComPort*, void*, int length, bool) { before += length == 0; });
    port.SetAfterRead([&](TCustomComPort*, void*, int length, bool) { after += length == 0; });
    EXPECT_EQ(port.Read(buf, 0, true), 0);
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
}

TEST(ComPortData, WriteStringReturnsAtOnceAndTheBytesArrive)
{
    PtyPeer pty;
    TComPort port;
    ApplyLayerSettings(port, pty.Path());
    port.Open();

    std::string command = "\x11\r";
    for (int i = 0; i < 256; ++i)
        command.push_back(static_cast<char>(i));
    port.WriteString(command);
    EXPECT_EQ(pty.Receive(command.size()), command);

    // Far more than the device queue holds: the call still returns at once, the port keeps its
    // own copy (the caller's text is gone) and finishes from the event loop.
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    const auto start = std::chrono::steady_clock::now();
    {
        std::string temporary = big;
        port.WriteString(temporary);
        std::memset(temporary.data(), 'X', temporary.size());
    }
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - start), 0.5);
    EXPECT_TRUE(port.WritePending());
    EXPECT_EQ(pty.Receive(big.size(), 10s), big);
    EXPECT_TRUE(test::WaitUntil([&] { return !port.WritePending(); }));
}

TEST(ComPortData, AWriteThatFallsShortIsATimeout)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Timeouts().SetWriteConstant(200);
    port.Open();
    // Nobody reads the far end: the device queue fills and the write cannot finish in time.
    port.WriteString(std::string(1 << 20, 'w'));
    const auto start = std::chrono::steady_clock::now();
    const EComError e = CatchComError([&] { port.WriteString("next"); });
    EXPECT_STREQ(e.what(), "Timeout");
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - start), 3.0);
}

TEST(ComPortData, PurgeDropsWaitingInput)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Open();
    pty.Send("stale");
    ASSERT_TRUE(test::WaitUntil([&] { return port.InputCount() == 5; }));
    port.PurgeInput();
    EXPECT_EQ(port.InputCount(), 0);
}
