// A handler bound while the port is open takes effect without waiting for other line activity.
#include "serial/ComPort.h"
#include "tests/serial/FakeLineIo.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace kivra;
using namespace std::chrono_literals;
using kivra::test::FakeLineIo;
using kivra::test::PtyPeer;

TEST(ComPortEvents, ModemHandlerBoundWhileOpenIsWatchedAtOnce)
{
    PtyPeer pty;
    auto io = std::make_shared<FakeLineIo>();
    TComPort port;
    port.SetDeviceName(pty.Path());
    port.SetLineIo(io);
    std::vector<std::string> calls;
    port.SetOnRxChar([&](TCustomComPort*) { calls.push_back("rxchar"); });
    port.Open();
    // The event thread now waits for data only; the line stays quiet from here on.
    test::ProcessEventsFor(100ms);
    EXPECT_FALSE(io->WaitForWaiter(0ms)) << "no modem watcher without a modem-line handler";

    port.SetOnCTSChange([&](TCustomComPort*) { calls.push_back("cts"); });
    ASSERT_TRUE(io->WaitForWaiter(3000ms)) << "the new handler's lines are not watched";
    io->Update([](TComCounters& c) { ++c.cts; });
    ASSERT_TRUE(test::WaitUntil([&] { return !calls.empty(); }));
    EXPECT_EQ(calls, std::vector<std::string>{"cts"});
    port.Close();
}
