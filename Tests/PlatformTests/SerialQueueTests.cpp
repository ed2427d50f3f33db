#include "Platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(SerialQueueTests, RunsTasksOneAtATimeInSubmissionOrder) {
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
}

TEST(SerialQueueTests, SyncSeesEveryEarlierTaskFromEveryThread) {
    SerialQueue queue("test.sync");
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

TEST(SerialQueueTests, SyncRethrowsAndTheQueueCarriesOn) {
    SerialQueue queue("test.throw");
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(queue.sync([] { return 7; }), 7);
}

TEST(SerialQueueTests, SyncFromATaskOnTheQueueRunsInlineInsteadOfDeadlocking) {
    SerialQueue queue("test.nested");
    const int result = queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        return queue.sync([] { return 5; }) + 1;
    });
    EXPECT_EQ(result, 6);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTests, DestructionRunsWhatIsStillQueued) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.drain");
        queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
        for (int i = 0; i < 100; ++i) queue.async([&] { ran.fetch_add(1); });
    }
    EXPECT_EQ(ran.load(), 100);
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

TEST(SerialQueueTests, DestructionRunsAPendingIdleTaskWithoutWaitingForItsQuietTime) {
    std::atomic<int> ran{0};
    const auto start = std::chrono::steady_clock::now();
    {
        SerialQueue queue("test.idle.end");
        queue.async([&] { ran.fetch_add(1); });
        queue.whenIdle(std::chrono::hours(1), [&] { ran.fetch_add(10); });
    }
    EXPECT_EQ(ran.load(), 11);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
}

}  // namespace
}  // namespace vornelo::platform
