#include "Platform/ConcurrentQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vornelo::platform {
namespace {

using namespace std::chrono_literals;

// Items that only finish once `expected` of them are running at the same time.
class Rendezvous {
public:
    explicit Rendezvous(int expected) : expected_(expected) {}

    bool arriveAndWait() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        return changed_.wait_for(lock, 10s, [&] { return arrived_ >= expected_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int expected_;
    int arrived_ = 0;
};

TEST(ConcurrentQueueTest, ItemsRunAtTheSameTimeOnAGrowingPool) {
    constexpr int items = 6;
    Rendezvous rendezvous(items);
    std::atomic<int> metEveryone{0};
    {
        ConcurrentQueue queue("test.parallel", items);
        for (int i = 0; i < items; ++i) {
            queue.async([&] {
                if (rendezvous.arriveAndWait()) ++metEveryone;
            });
        }
    }
    EXPECT_EQ(metEveryone.load(), items);
}

TEST(ConcurrentQueueTest, NeverRunsMoreThanItsCeilingAndStillRunsEverything) {
    std::atomic<int> running{0};
    std::atomic<int> highest{0};
    std::atomic<int> finished{0};
    {
        ConcurrentQueue queue("test.ceiling", 2);
        for (int i = 0; i < 12; ++i) {
            queue.async([&] {
                const int now = ++running;
                int seen = highest.load();
                while (now > seen && !highest.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(10ms);
                --running;
                ++finished;
            });
        }
        EXPECT_LE(queue.threadCount(), 2u);
    }
    EXPECT_EQ(finished.load(), 12);
    EXPECT_LE(highest.load(), 2);
}

TEST(ConcurrentQueueTest, WorkSubmittedFromWorkRunsBeforeTheQueueGoesAway) {
    std::atomic<int> finished{0};
    {
        ConcurrentQueue queue("test.nested", 1);
        queue.async([&] {
            queue.async([&] { ++finished; });
            ++finished;
        });
    }
    EXPECT_EQ(finished.load(), 2);
}

TEST(ConcurrentQueueTest, IdleWorkersGoAwayAndNewWorkBringsThemBack) {
    ConcurrentQueue queue("test.idle", 4, 50ms);
    std::atomic<int> finished{0};
    queue.async([&] { ++finished; });
    const auto waitUntil = [&](auto condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        return condition();
    };
    EXPECT_TRUE(waitUntil([&] { return finished.load() == 1 && queue.threadCount() == 0; }));
    queue.async([&] { ++finished; });
    EXPECT_TRUE(waitUntil([&] { return finished.load() == 2; }));
}

}  // namespace
}  // namespace vornelo::platform
