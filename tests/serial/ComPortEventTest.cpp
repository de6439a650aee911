// Line events, the event thread and its hand-over to the main thread, against a pseudo-terminal.
#include "serial/ComPort.h"
#include "tests/serial/FakeLineIo.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kivra;
using namespace std::chrono_literals;
using kivra::test::FakeLineIo;
using kivra::test::PtyPeer;

namespace {

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool OnMain()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Replaces the central exception handler for one test.
class CapturedExceptions {
public:
    CapturedExceptions()
    {
        previous_ = SetExceptionHandler([this](const std::exception& e) { texts.push_back(e.what()); });
    }
    ~CapturedExceptions() { SetExceptionHandler(previous_); }
    std::vector<std::string> texts;

private:
    ExceptionHandler previous_;
};

} // namespace

TEST(ComPortEvents, HandlersDecideTheMaskAndTheThread)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetOnRxChar([](TCustomComPort*) {});
    port.SetOnLineError([](TCustomComPort*, TLineErrors) {});
    EXPECT_FALSE(port.HasEventThread()); // nothing runs while closed
    port.Open();
    EXPECT_EQ(port.HandlerMask(), 0x0081u);
    EXPECT_TRUE(port.HasEventThread());
    port.SetOnRxChar(nullptr);
    EXPECT_TRUE(port.HasEventThread());
    port.SetOnLineError(nullptr);
    EXPECT_EQ(port.HandlerMask(), 0u);
    EXPECT_FALSE(port.HasEventThread());
    port.SetOnRing([](TCustomComPort*) {});
    EXPECT_TRUE(port.HasEventThread());
}

TEST(ComPortEvents, ReceivedDataIsDeliveredOnceOnTheMainThreadWithoutSpinning)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    std::atomic<int> deliveries{0};
    std::atomic<int> offMain{0};
    port.SetOnRxChar([&](TCustomComPort*) {
        ++deliveries;
        offMain += !OnMain();
    });
    port.Open();

    pty.Send("unread");
    ASSERT_TRUE(test::WaitUntil([&] { return deliveries.load() >= 1; }));
    // The bytes stay unread: no further deliveries and no busy thread.
    const double cpu = CpuSeconds();
    test::ProcessEventsFor(1000ms);
    EXPECT_EQ(deliveries.load(), 1);
    EXPECT_LT(CpuSeconds() - cpu, 0.2);
    EXPECT_EQ(port.InputCount(), 6);

    // New bytes are a new arrival.
    pty.Send("more");
    ASSERT_TRUE(test::WaitUntil([&] { return deliveries.load() >= 2; }));
    EXPECT_EQ(port.ReadString(), "unreadmore");
    EXPECT_EQ(offMain.load(), 0);
}

TEST(ComPortEvents, SeveralBitsInOneCompletionRunInTableOrder)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetLineIo(io);
    std::vector<std::string> calls;
    TLineErrors reported;
    port.SetOnRxChar([&](TCustomComPort*) { calls.push_back("rxchar"); });
    port.SetOnRing([&](TCustomComPort*) { calls.push_back("ring"); });
    port.SetOnBreak([&](TCustomComPort*) { calls.push_back("break"); });
    port.SetOnCTSChange([&](TCustomComPort*) { calls.push_back("cts"); });
    port.SetOnLineError([&](TCustomComPort*, TLineErrors e) {
        calls.push_back("lineerror");
        reported = e;
    });
    port.Open();
    ASSERT_TRUE(io->WaitForWaiter(3000ms)); // the ring watcher is settled
    test::ProcessEventsFor(100ms);          // and its first look at the counters is done

    // Counters that change with the arrival of a byte: one completion carries every bit.
    io->Update(
        [](TComCounters& c) {
            ++c.brk;
            ++c.rng;
            ++c.frame;
            ++c.overrun;
        },
        false);
    pty.Send("x");
    ASSERT_TRUE(test::WaitUntil([&] { return calls.size() >= 4; }));
    test::ProcessEventsFor(100ms);
    EXPECT_EQ(calls, (std::vector<std::string>{"break", "lineerror", "ring", "rxchar"}));
    EXPECT_EQ(reported, (TLineErrors{TLineError::leBreak, TLineError::leFrame, TLineError::leOverrun}));
    EXPECT_EQ(port.EventMask(), EV_BREAK | EV_ERR | EV_RING | EV_RXCHAR);

    // Errors are cleared once reported: the next arrival carries none.
    calls.clear();
    pty.Send("y");
    ASSERT_TRUE(test::WaitUntil([&] { return !calls.empty(); }));
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(calls, std::vector<std::string>{"rxchar"});
}

TEST(ComPortEvents, ModemLineChangesArriveWithoutData)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetLineIo(io);
    std::vector<std::string> calls;
    port.SetOnCTSChange([&](TCustomComPort*) { calls.push_back("cts"); });
    port.SetOnDSRChange([&](TCustomComPort*) { calls.push_back("dsr"); });
    port.SetOnRLSDChange([&](TCustomComPort*) { calls.push_back("rlsd"); });
    port.Open();
    ASSERT_TRUE(io->WaitForWaiter(3000ms));

    io->Update([](TComCounters& c) { ++c.dcd, ++c.cts; });
    ASSERT_TRUE(test::WaitUntil([&] { return calls.size() >= 2; }));
    ASSERT_TRUE(io->WaitForWaiter(3000ms));
    io->Update([](TComCounters& c) { ++c.dsr; });
    ASSERT_TRUE(test::WaitUntil([&] { return calls.size() >= 3; }));
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(calls, (std::vector<std::string>{"cts", "rlsd", "dsr"}));
    // Closing ends the watcher blocked in the driver.
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

TEST(ComPortEvents, LineErrorsAreDecodedAndReportedByTheDataPath)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetLineIo(io);
    std::vector<TLineErrors> reports;
    port.SetOnLineError([&](TCustomComPort*, TLineErrors e) { reports.push_back(e); });
    port.Open();

    struct Case {
        void (*inject)(TComCounters&);
        TLineErrors expect;
    };
    const Case cases[] = {
        {[](TComCounters& c) { ++c.frame, ++c.overrun; }, {TLineError::leFrame, TLineError::leOverrun}},
        {[](TComCounters& c) { ++c.parity; }, {TLineError::leRxParity}},
        {[](TComCounters& c) { ++c.bufOverrun; }, {TLineError::leRxOverflow}},
        {[](TComCounters& c) { c.brk += 3; }, {TLineError::leBreak}},
    };
    for (const Case& c : cases) {
        reports.clear();
        io->Update(c.inject);
        port.InputCount();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0], c.expect);
        port.CheckLineErrors(); // fetched and cleared: nothing left to report
        EXPECT_EQ(reports.size(), 1u);
    }
}

TEST(ComPortEvents, ModemStatusDecodingAndDevicesWithoutModemLines)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Open();
    // A pseudo-terminal has no modem lines: an empty set, not an error.
    EXPECT_TRUE(port.GetModemStatus().Empty());
    port.CheckLineErrors();

    port.SetLineIo(io);
    io->SetLines(TIOCM_CTS | TIOCM_CAR);
    EXPECT_EQ(port.GetModemStatus(), (TModemStatus{TModemStatusValue::msCTS, TModemStatusValue::msRLSD}));
    io->SetLines(TIOCM_DSR | TIOCM_RNG | TIOCM_RTS);
    EXPECT_EQ(port.GetModemStatus(), (TModemStatus{TModemStatusValue::msDSR, TModemStatusValue::msRing}));
}

TEST(ComPortEvents, HandlerExceptionsGoToTheCentralHandlerAndTheThreadCarriesOn)
{
    CapturedExceptions captured;
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    int ringsAfter = 0;
    int calls = 0;
    port.SetOnBreak([&](TCustomComPort*) { ++ringsAfter; });
    port.SetOnRxChar([&](TCustomComPort* p) {
        ++calls;
        p->ReadString();
        throw Exception("handler failed");
    });
    port.Open();
    pty.Send("a");
    ASSERT_TRUE(test::WaitUntil([&] { return calls == 1; }));
    pty.Send("b");
    ASSERT_TRUE(test::WaitUntil([&] { return calls == 2; }));
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(captured.texts, (std::vector<std::string>{"handler failed", "handler failed"}));
    EXPECT_TRUE(port.GetActive());
}

TEST(ComPortEvents, CloseFromInsideAHandlerEndsTheDelivery)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetLineIo(io);
    int rings = 0, chars = 0;
    port.SetOnRing([&](TCustomComPort* p) {
        ++rings;
        p->Close();
    });
    port.SetOnRxChar([&](TCustomComPort*) { ++chars; });
    port.Open();
    io->Update([](TComCounters& c) { ++c.rng; });
    pty.Send("z");
    ASSERT_TRUE(test::WaitUntil([&] { return !port.GetActive(); }));
    test::ProcessEventsFor(100ms);
    EXPECT_EQ(rings, 1);
    EXPECT_EQ(chars, 0); // later rows of the same delivery do not run
    EXPECT_FALSE(port.HasEventThread());
}

TEST(ComPortEvents, CloseCancelsADeliveryWaitingForTheMainThread)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    int calls = 0;
    port.SetOnRxChar([&](TCustomComPort*) { ++calls; });
    port.Open();
    pty.Send("pending");
    // The main thread is busy: the event thread hands the delivery over and blocks.
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    test::ProcessEventsFor(200ms);
    EXPECT_EQ(calls, 0);

    // Reopened, the port delivers again (the old hand-over stays dead).
    port.Open();
    pty.Send("again");
    ASSERT_TRUE(test::WaitUntil([&] { return calls >= 1; }));
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(calls, 1);
}

TEST(ComPortOpenPriority, PriorityClassIsRaisedWhileOpenAndRestoredOnClose)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "lowering the nice value again needs privileges";
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    errno = 0;
    const int before = ::getpriority(PRIO_PROCESS, 0);
    port.SetPriorityClass(TPriorityClass::pcHigh);
    port.Open();
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), -10);
    port.Close();
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), before);
}

// The number of this process's threads running at a nice value. Threads the event thread starts
// (the modem watcher) inherit its value, so a count above one is fine.
static int ThreadsAtNice(int nice)
{
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), {});
        std::istringstream fields(stat.substr(stat.rfind(')') + 2)); // from field 3 on
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i) // field 19 is the nice value
            count += i == 19 && std::stoi(field) == nice;
    }
    return count;
}

TEST(ComPortOpenPriority, ThreadPrioritySetRightAfterOpeningTakesEffect)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetOnRxChar([](TCustomComPort*) {});
    port.Open();
    port.SetThreadPriority(TThreadPriority::tpLowest); // the event thread has only just started
    EXPECT_TRUE(test::WaitUntil([] { return ThreadsAtNice(10) >= 1; }, 2000ms));
    port.SetThreadPriority(TThreadPriority::tpIdle); // and on the running thread
    EXPECT_TRUE(test::WaitUntil([] { return ThreadsAtNice(19) >= 1; }, 2000ms));
}

TEST(ComPortEvents, CloseFromTheEventThreadCompletesOnTheMainThread)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetSynchronizeEvents(false);
    std::atomic<int> offMain{0};
    std::atomic<bool> closedOnMain{false};
    std::atomic<bool> activeAfterClose{true};
    port.SetAfterClose([&](TCustomComPort*) { closedOnMain = OnMain(); });
    port.SetOnRxChar([&](TCustomComPort* p) {
        offMain += !OnMain();
        p->Close();
        activeAfterClose = p->GetActive();
    });
    port.Open();
    pty.Send("q");
    ASSERT_TRUE(test::WaitUntil([&] { return !port.GetActive(); }));
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(offMain.load(), 1);
    EXPECT_TRUE(closedOnMain.load());
    EXPECT_FALSE(activeAfterClose.load());
}

TEST(ComPortEvents, UnpluggedDeviceClosesThePortOnce)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    std::vector<std::string> events;
    int errorsOffMain = 0;
    int code = 0;
    port.SetOnRxChar([&](TCustomComPort* p) {
        events.push_back("rxchar");
        p->ReadString();
    });
    port.SetOnError([&](TCustomComPort*, const EComError& e, TComAction&) {
        events.push_back("error");
        errorsOffMain += !OnMain();
        code = e.ErrorCode();
    });
    port.SetBeforeClose([&](TCustomComPort*) { events.push_back("BeforeClose"); });
    port.SetAfterClose([&](TCustomComPort*) { events.push_back("AfterClose"); });
    const int fds = test::OpenFdCount();
    port.Open();

    pty.Send("hello");
    ASSERT_TRUE(test::WaitUntil([&] { return !events.empty(); }));
    const auto start = std::chrono::steady_clock::now();
    pty.Unplug();
    ASSERT_TRUE(test::WaitUntil([&] { return !port.GetActive(); }, 3000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    const double cpu = CpuSeconds();
    test::ProcessEventsFor(500ms);
    EXPECT_LT(CpuSeconds() - cpu, 0.2);
    EXPECT_EQ(events, (std::vector<std::string>{"rxchar", "error", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(errorsOffMain, 0);
    EXPECT_EQ(code, EIO);
    EXPECT_FALSE(port.HasEventThread());
    // The device and the thread's descriptors are gone, and so is the test's pty master.
    EXPECT_EQ(test::OpenFdCount(), fds - 1);
}

TEST(ComPortEvents, WritesAndReadsOnAnUnpluggedDeviceFailAtOnce)
{
    PtyPeer pty;
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.Timeouts().SetReadConstant(5000);
    port.Open();
    pty.Unplug();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& op :
         std::vector<std::function<void()>>{[&] { port.WriteString("cmd"); }, [&] { port.ReadChar(); }}) {
        try {
            op();
            ADD_FAILURE() << "no error on an unplugged device";
        } catch (const EComError& e) {
            EXPECT_EQ(e.ErrorCode(), EIO);
            EXPECT_STREQ(e.what(), "Input/output error");
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

TEST(ComPortEvents, ThousandOpenCloseCyclesWhileDataStreams)
{
    PtyPeer pty;
    std::atomic<bool> stop{false};
    const int master = pty.Master();
    std::thread streamer([&] {
        const char chunk[] = "0123456789abcdef";
        while (!stop) {
            [[maybe_unused]] const auto n = ::write(master, chunk, sizeof chunk - 1);
            std::this_thread::sleep_for(200us);
        }
    });

    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetBaudRate(TBaudRate::br9600);
    int handled = 0;
    int afterClose = 0;
    port.SetOnRxChar([&](TCustomComPort* p) {
        if (!p->GetActive())
            ++afterClose;
        ++handled;
        p->ReadString();
        // Now and then the handler itself closes the port, with its thread still waiting on it.
        if (handled % 7 == 0)
            p->Close();
    });
    port.SetOnLineError([](TCustomComPort*, TLineErrors) {});

    // Warm up once so that lazily opened descriptors of the process are counted.
    port.Open();
    port.Close();
    const int fds = test::OpenFdCount();
    for (int i = 0; i < 1000; ++i) {
        port.Open();
        // Every few cycles let a delivery run; otherwise close with one about to run.
        if (i % 4 == 0)
            QCoreApplication::processEvents();
        if (i % 10 == 0)
            test::WaitUntil([&, seen = handled] { return handled > seen; }, 200ms);
        port.Close();
        if (i % 3 == 0)
            QCoreApplication::processEvents();
    }
    test::ProcessEventsFor(100ms);
    stop = true;
    streamer.join();
    EXPECT_GE(handled, 14) << "too few deliveries to exercise closing from a handler";
    EXPECT_EQ(afterClose, 0);
    EXPECT_EQ(test::OpenFdCount(), fds);
}
