// The message queue: order, index errors and the lock.

#include "control/ThreadSafeStringList.h"
#include "core/Exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace kivra {
namespace {

using namespace std::chrono_literals;

TEST(ThreadSafeStringList, FirstInFirstOutWithDuplicatesAndEmptyTexts)
{
    TThreadSafeStringList list;
    EXPECT_EQ(list.Count(), 0);
    const std::vector<std::string> texts{"A", "B", "", "B", std::string("\0\xFF", 2)};
    for (const auto& text : texts)
        list.Add(text);
    EXPECT_EQ(list.Count(), 5);
    std::vector<std::string> out;
    while (list.Count() > 0) {
        out.push_back(list.Get(0));
        list.Delete(0);
    }
    EXPECT_EQ(out, texts);
}

TEST(ThreadSafeStringList, DeleteMovesLaterItemsUp)
{
    TThreadSafeStringList list;
    for (const char* text : {"A", "B", "C"})
        list.Add(text);
    list.Delete(1);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Get(1), "C");
}

TEST(ThreadSafeStringList, IndexOutsideTheListRaisesAndReleasesTheLock)
{
    TThreadSafeStringList list;
    list.Add("only");
    for (int index : {-1, 1, 1000}) {
        SCOPED_TRACE(index);
        EXPECT_THROW(list.Get(index), Exception);
        EXPECT_THROW(list.Delete(index), Exception);
    }
    EXPECT_EQ(list.Count(), 1);
    // Another thread must get the lock at once: a lock left held would block it for good.
    auto added = std::async(std::launch::async, [&] {
        list.Add("second");
        return list.Count();
    });
    ASSERT_EQ(added.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(added.get(), 2);
}

TEST(ThreadSafeStringList, LockListHoldsOffOtherThreadsUntilUnlocked)
{
    TThreadSafeStringList list;
    auto& inner = list.LockList();
    inner.push_back("held");
    auto count = std::async(std::launch::async, [&] { return list.Count(); });
    EXPECT_EQ(count.wait_for(50ms), std::future_status::timeout);
    list.UnlockList();
    ASSERT_EQ(count.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(count.get(), 1);
}

TEST(ThreadSafeStringList, ConcurrentProducersLoseNothing)
{
    TThreadSafeStringList list;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&list, t] {
            for (int i = 0; i < kPerThread; ++i)
                list.Add(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& p : producers)
        p.join();
    EXPECT_EQ(list.Count(), 4 * kPerThread);
    // Each producer's items keep their order.
    std::vector<int> next(4, 0);
    for (const auto& item : list.LockList()) {
        const int t = item[0] - '0';
        EXPECT_EQ(item.substr(2), std::to_string(next[static_cast<std::size_t>(t)]++));
    }
    list.UnlockList();
}

} // namespace
} // namespace kivra
