// A call handed from a worker thread to the main thread, and its cancellation by the main thread.
#include "serial/MainThreadCall.h"
#include "core/Exception.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace kivra;
using namespace std::chrono_literals;

namespace {

bool OnMain()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

bool Ready(const std::future<bool>& f, std::chrono::milliseconds wait = 0ms)
{
    return f.wait_for(wait) == std::future_status::ready;
}

} // namespace

TEST(MainThreadCall, RunsOnTheMainThreadAndHandsBackItsError)
{
    TMainThreadCall call;
    bool ranOnMain = false;
    std::atomic<bool> finished{false};
    // The worker looks at what fn did right after Run returned: Run waited for it.
    auto result = std::async(std::launch::async, [&] {
        const bool ran = call.Run([&] {
            ranOnMain = OnMain();
            std::this_thread::sleep_for(20ms);
            finished = true;
        });
        return ran && finished;
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Ready(result); }));
    EXPECT_TRUE(result.get());
    EXPECT_TRUE(ranOnMain);

    auto failed = std::async(std::launch::async, [&] {
        try {
            call.Run([] { throw EConvertError("'x' is not a number"); });
        } catch (const EConvertError& e) {
            return std::string(e.what()) == "'x' is not a number";
        }
        return false;
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Ready(failed); }));
    EXPECT_TRUE(failed.get()) << "the worker did not get fn's exception with its type and text";
}

TEST(MainThreadCall, CancelWhileTheWorkerWaitsReturnsAtOnceAndTheCallNeverRuns)
{
    TMainThreadCall call;
    int runs = 0;
    // The main thread is busy (it runs no event loop): the worker queues its call and blocks.
    auto blocked = std::async(std::launch::async, [&] { return call.Run([&] { ++runs; }); });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(Ready(blocked));
    call.Cancel();
    // Returns without the main thread ever turning its event loop.
    ASSERT_TRUE(Ready(blocked, 3000ms));
    EXPECT_FALSE(blocked.get());
    test::ProcessEventsFor(100ms); // the queued event comes round and must not run fn
    EXPECT_EQ(runs, 0);

    // Cancelling is final: a later call from a worker is not even queued.
    auto later = std::async(std::launch::async, [&] { return call.Run([&] { ++runs; }); });
    ASSERT_TRUE(Ready(later, 3000ms));
    EXPECT_FALSE(later.get());
    test::ProcessEventsFor(50ms);
    EXPECT_EQ(runs, 0);
}

TEST(MainThreadCall, CancelFromTheRunningCallWaitsForItToFinish)
{
    TMainThreadCall call;
    bool runningInside = false;
    std::atomic<bool> finished{false};
    // Like a handler that closes its port: the call that runs cancels its own hand-over.
    auto result = std::async(std::launch::async, [&] {
        const bool ran = call.Run([&] {
            call.Cancel();
            runningInside = call.Running();
            std::this_thread::sleep_for(50ms);
            finished = true;
        });
        return ran && finished;
    });
    ASSERT_TRUE(test::WaitUntil([&] { return Ready(result); }));
    EXPECT_TRUE(result.get()) << "the worker went on before the cancelled call had finished";
    EXPECT_TRUE(runningInside);
    EXPECT_FALSE(call.Running());
}

TEST(MainThreadCall, TheMainThreadAsCallerRunsAtOnce)
{
    TMainThreadCall call;
    int runs = 0;
    // No event loop turns here: a queued call would never run.
    EXPECT_TRUE(call.Run([&] { ++runs; }));
    EXPECT_EQ(runs, 1);

    // A handed-over call that calls again from the main thread does not wait for itself.
    auto nested =
        std::async(std::launch::async, [&] { return call.Run([&] { call.Run([&] { ++runs; }); }); });
    ASSERT_TRUE(test::WaitUntil([&] { return Ready(nested); }));
    EXPECT_TRUE(nested.get());
    EXPECT_EQ(runs, 2);
}

TEST(MainThreadCall, NothingRunsAfterCancelWhileCallsKeepComing)
{
    TMainThreadCall call;
    int runs = 0;
    auto worker = std::async(std::launch::async, [&] {
        int accepted = 0;
        while (call.Run([&] { ++runs; }))
            ++accepted;
        return accepted;
    });
    ASSERT_TRUE(test::WaitUntil([&] { return runs >= 50; }));
    call.Cancel(); // on the main thread, so no call is running at this moment
    const int atCancel = runs;
    ASSERT_EQ(worker.wait_for(3s), std::future_status::ready);
    test::ProcessEventsFor(100ms);
    EXPECT_EQ(runs, atCancel);
    EXPECT_EQ(worker.get(), atCancel); // every call the worker saw accepted did run
}
