#include "Platform/Concurrency/ConcurrentQueue.h"
#include "Platform/Concurrency/SerialQueue.h"
#include "Support/PlatformScenario.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vornelo::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTests, RunsTasksOneAtATimeInSubmissionOrderAndSyncSeesEveryEarlierTask) {
    SerialQueue queue("test.order");
    std::vector<int> seen;  // touched only on the queue, so unguarded
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    const auto copy = queue.sync([&] { return seen; });
    ASSERT_EQ(copy.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(copy[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);

    // A sync sees every earlier task of every thread.
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) queue.async([&] { ++counter; });
            // Each thread's own earlier tasks are done by the time its sync returns.
            EXPECT_GE(queue.sync([&] { return counter; }), 250);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(queue.sync([&] { return counter; }), 1000);
}

TEST(SerialQueueTests, SyncRethrowsAndRunsInlineOnItsOwnQueue) {
    SerialQueue queue("test.throw");
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(queue.sync([] { return 7; }), 7);
    // From a task on the queue, sync runs inline instead of deadlocking.
    const int result = queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        return queue.sync([] { return 5; }) + 1;
    });
    EXPECT_EQ(result, 6);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTests, TheIdleTaskRunsOnceAfterTheTasksAndOnlyTheLatestOne) {
    SerialQueue queue("test.idle");
    std::vector<std::string> order;  // touched only on the worker
    std::promise<void> idled;
    queue.whenIdle(std::chrono::hours(1), [&] { order.push_back("replaced"); });
    for (int i = 0; i < 3; ++i) queue.async([&order, i] { order.push_back("task " + std::to_string(i)); });
    queue.whenIdle(std::chrono::milliseconds(1), [&] {
        order.push_back("idle");
        idled.set_value();
    });
    // Arrives while no task is queued, so only the idle deadline can wake the worker.
    ASSERT_EQ(idled.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto seen = queue.sync([&] { return order; });
    EXPECT_EQ(seen, (std::vector<std::string>{"task 0", "task 1", "task 2", "idle"}));
}

TEST(SerialQueueTests, DestructionRunsWhatIsStillQueuedAndAPendingIdleTaskWithoutWaitingForItsQuietTime) {
    std::atomic<int> ran{0};
    const auto start = std::chrono::steady_clock::now();
    {
        SerialQueue queue("test.drain");
        queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
        for (int i = 0; i < 100; ++i) queue.async([&] { ran.fetch_add(1); });
        queue.whenIdle(std::chrono::hours(1), [&] { ran.fetch_add(1000); });
    }
    EXPECT_EQ(ran.load(), 1100);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
}

// MARK: concurrent queues

TEST(ConcurrentQueueTest, ItemsRunAtTheSameTimeUpToTheCeilingAndEverythingRunsEvenWhatWorkSubmits) {
    constexpr int ceiling = 3;
    std::atomic<int> arrived{0};  // the first items meet only when the pool has grown to the ceiling
    std::atomic<int> running{0};
    std::atomic<int> highest{0};
    std::atomic<int> met{0};
    {
        ConcurrentQueue queue("test.ceiling", ceiling);
        for (int i = 0; i < 12; ++i) {
            queue.async([&] {
                const int now = ++running;
                int seen = highest.load();
                while (now > seen && !highest.compare_exchange_weak(seen, now)) {
                }
                ++arrived;
                if (test::eventually([&] { return arrived.load() >= ceiling; }, 10s)) ++met;
                std::this_thread::sleep_for(10ms);
                --running;
            });
        }
        EXPECT_LE(queue.threadCount(), std::size_t{ceiling});
    }
    EXPECT_EQ(met.load(), 12);
    EXPECT_LE(highest.load(), ceiling);

    // Work submitted from work runs before the queue goes away.
    int finished = 0;
    {
        ConcurrentQueue queue("test.nested", 1);
        queue.async([&] {
            queue.async([&] { ++finished; });
            ++finished;
        });
    }
    EXPECT_EQ(finished, 2);
}

TEST(ConcurrentQueueTest, IdleWorkersGoAwayAndNewWorkBringsThemBack) {
    ConcurrentQueue queue("test.idle", 4, 50ms);
    std::atomic<int> finished{0};
    queue.async([&] { ++finished; });
    EXPECT_TRUE(test::eventually([&] { return finished.load() == 1 && queue.threadCount() == 0; }));
    queue.async([&] { ++finished; });
    EXPECT_TRUE(test::eventually([&] { return finished.load() == 2; }));
}

}  // namespace
}  // namespace vornelo::platform
