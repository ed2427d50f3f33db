#include "Helper/IdleMonitor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace vornelo::helper {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

TEST(IdleMonitorTest, ExitsOnlyWhenNoRequestIsActiveAndMoreThanTheThresholdPassed) {
    // Steps on a hand-driven clock: 'b' begins a request, 'e' ends one, 'c' admits a connection,
    // 't' ticks; the number is
    // the clock in seconds, the flag whether that tick exits.
    struct Step { char action; double at; bool exits = false; };
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"never asked: exactly 60 s stays, later goes", {{'t', 30}, {'t', 60}, {'t', 60.001, true}}},
        {"a three-minute request keeps it; the clock restarts at its end",
         {{'b', 10}, {'t', 70}, {'t', 190}, {'e', 190}, {'t', 220}, {'t', 250}, {'t', 250.5, true}}},
        {"overlapping requests: the later end counts",
         {{'b', 0}, {'b', 5}, {'e', 100}, {'t', 170}, {'e', 180}, {'t', 240}, {'t', 241, true}}},
        {"a connection admitted just before the limit is not cut off before its first request",
         {{'c', 59}, {'t', 61}, {'t', 119}, {'t', 119.5, true}}},
    };
    for (const auto& testCase : cases) {
        std::atomic<double> now{0};
        int exits = 0;
        IdleMonitor monitor({}, [&] { return Clock::time_point{} + 1000h + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(now.load())); }, [&] { ++exits; });
        for (const auto& step : testCase.steps) {
            now = step.at;
            if (step.action == 'b') monitor.beginRequest();
            if (step.action == 'e') monitor.endRequest();
            if (step.action == 'c') monitor.noteActivity();
            if (step.action == 't') {
                EXPECT_EQ(monitor.tick(), step.exits) << testCase.what << " at " << step.at;
            }
        }
        EXPECT_EQ(exits, 1) << testCase.what;
        EXPECT_EQ(monitor.activeRequests(), 0) << testCase.what;
    }
}

}  // namespace
}  // namespace vornelo::helper
