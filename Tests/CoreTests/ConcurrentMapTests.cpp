#include "Core/ConcurrentMap.h"
#include "Platform/ConcurrentPerform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>

namespace vornelo {
namespace {

TEST(ConcurrentMap, ResultsKeepInputOrderWhateverOrderTheyFinishIn) {
    std::atomic<int> calls{0};
    EXPECT_TRUE(concurrentMap(std::vector<int>{}, [&](int value) { return ++calls, value; }).empty());
    EXPECT_EQ(calls.load(), 0);  // empty input never calls the transform

    const auto result = concurrentMap(std::vector<int>{30, 20, 10}, [](int delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        return "done after " + std::to_string(delay);
    });
    EXPECT_EQ(result, (std::vector<std::string>{"done after 30", "done after 20", "done after 10"}));
}

TEST(ConcurrentMap, RunsElementsOnSeveralThreadsAtOnce) {
    // Both elements wait for each other: this finishes only if they run at the same time.
    std::latch bothStarted(2);
    const auto threads = concurrentMap(std::vector<int>{0, 1}, [&](int) {
        bothStarted.arrive_and_wait();
        return std::this_thread::get_id();
    });
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_NE(threads[0], threads[1]);
}

TEST(ConcurrentMap, MoveOnlyResultsLargeInputsAndNestedMaps) {
    std::vector<int> input(1000);
    for (int i = 0; i < 1000; ++i) input[static_cast<std::size_t>(i)] = i;
    const auto result = concurrentMap(input, [](int value) { return std::make_unique<int>(value * 2); });
    ASSERT_EQ(result.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(*result[static_cast<std::size_t>(i)], i * 2);
    const auto sums = concurrentMap(std::vector<int>{1, 2, 3, 4}, [](int outer) {
        const auto inner = concurrentMap(std::vector<int>{1, 2, 3}, [outer](int value) { return outer * value; });
        return inner[0] + inner[1] + inner[2];
    });
    EXPECT_EQ(sums, (std::vector<int>{6, 12, 18, 24}));
}

TEST(ConcurrentPerform, EveryIterationRunsOnceAndTheFirstExceptionReachesTheCaller) {
    std::vector<std::atomic<int>> seen(257);
    EXPECT_THROW(platform::concurrentPerform(seen.size(),
                                             [&](std::size_t index) {
                                                 ++seen[index];
                                                 if (index % 100 == 7) throw std::runtime_error("bad element");
                                             }),
                 std::runtime_error);
    for (const auto& count : seen) EXPECT_EQ(count.load(), 1);
    EXPECT_GE(platform::concurrentPerformWorkerCount(), 1u);
}

TEST(ConcurrentPerform, CallsFromManyThreadsAtOnce) {
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] { platform::concurrentPerform(100, [&](std::size_t i) { total += static_cast<long>(i); }); });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 4 * 4950);
}

}  // namespace
}  // namespace vornelo
