#include "Core/ProcessRunner.h"

#include "Support/LogCapture.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

namespace vornelo {
namespace {

using Output = ProcessRunner::Output;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

Output shell(const std::string& script, double timeout = 60) {
    return ProcessRunner::runBlocking("/bin/sh", {"-c", script}, timeout);
}

std::vector<platform::LogRecord> processErrors(const test::LogCapture& log) {
    std::vector<platform::LogRecord> result;
    for (const auto& record : log.records()) {
        if (record.category == "process" && record.level == platform::LogLevel::error) result.push_back(record);
    }
    return result;
}

TEST(ProcessRunnerTest, CollectsTheExitCodeAndBothStreamsApartAndPassesArgumentsVerbatim) {
    test::LogCapture log;
    const auto output = shell("printf 'to out'; printf 'to err' >&2; exit 3");
    EXPECT_EQ(output, (Output{3, "to out", "to err", false, false}));
    EXPECT_FALSE(output.succeeded());
    EXPECT_EQ(shell("echo done", 30), (Output{0, "done\n", "", false, false}));  // ended in time: no time-out
    EXPECT_TRUE(shell("exit 0").succeeded());
    EXPECT_TRUE(processErrors(log).empty());
    // A signal's number stands in for the exit status, as the termination status reports it.
    EXPECT_EQ(shell("kill -USR1 $$").exitCode, SIGUSR1);
    EXPECT_EQ(ProcessRunner::runBlocking("/usr/bin/printf", {"[%s]", "a b", "$HOME", "'q'", "", "*"}, 60).stdout,
              "[a b][$HOME]['q'][][*]");
    // Standard input is the null device: with no arguments sh reads its script from it and cat
    // copies it, and both end at once.
    const auto start = Clock::now();
    EXPECT_EQ(ProcessRunner::runBlocking("/bin/sh", {}, 10), (Output{0, "", "", false, false}));
    EXPECT_EQ(ProcessRunner::runBlocking("/bin/cat", {}, 10), (Output{0, "", "", false, false}));
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST(ProcessRunnerTest, AProgramThatCannotStartIsALaunchFailureWithItsDescription) {
    test::LogCapture log;
    const auto missing = ProcessRunner::runBlocking("/nonexistent/tool", {"x"}, 60);
    EXPECT_EQ(missing, (Output{-1, "", "The file \u201Ctool\u201D couldn\u2019t be opened because there is no such file.", true, false}));
    const auto errors = processErrors(log);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "could not launch /nonexistent/tool: " + missing.stderr);

    test::TempDirectory directory;
    const auto plain = directory / "not-executable";
    test::writeFile(plain, "#!/bin/sh\necho ran\n");
    const auto denied = ProcessRunner::runBlocking(plain, {}, 60);
    EXPECT_TRUE(denied.launchFailed);
    EXPECT_NE(denied.stderr.find("permission"), std::string::npos) << denied.stderr;

    // A NUL byte in the path or an argument runs nothing.
    const auto marker = (directory / "ran").string();
    // Cut at the NUL, the path would name /bin/sh and the argument a harmless-looking script.
    const auto cutPath = ProcessRunner::runBlocking(std::string("/bin/sh\0-evil", 13), {"-c", "touch " + marker}, 60);
    EXPECT_TRUE(cutPath.launchFailed);
    const auto cutArgument = ProcessRunner::runBlocking("/bin/sh", {"-c", std::string("touch ") + marker + '\0' + "x"}, 60);
    EXPECT_TRUE(cutArgument.launchFailed);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ProcessRunnerTest, OutputLargerThanAPipeBufferArrivesWholeOnBothStreams) {
    // Standard error is filled first: a runner that read only standard output until its end would
    // leave the child blocked on a full error pipe until the time-out.
    const auto output = shell("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o; "
                              "head -c 300000 /dev/zero | tr '\\0' E >&2");
    EXPECT_FALSE(output.timedOut);
    EXPECT_EQ(output.exitCode, 0);
    EXPECT_EQ(output.stdout, std::string(1048576, 'o'));
    EXPECT_EQ(output.stderr, std::string(1048576, 'e') + std::string(300000, 'E'));
}

TEST(ProcessRunnerTest, AStreamThatIsNotUtf8BecomesEmptyWhileTheOtherSurvives) {
    const auto output = shell("printf 'caf\\303\\251\\n'; printf 'ok \\377\\376' >&2");
    EXPECT_EQ(output.stdout, "caf\u00E9\n");
    EXPECT_EQ(output.stderr, "");
    // A character cut in half at the end is no better than a stray byte.
    EXPECT_EQ(shell("printf 'caf\\303'").stdout, "");
}

TEST(ProcessRunnerTest, ATimeOutTerminatesTheChildAndIsLogged) {
    test::LogCapture log;
    const auto start = Clock::now();
    const auto output = ProcessRunner::runBlocking("/bin/sleep", {"30"}, 0.5);
    const double elapsed = secondsSince(start);
    EXPECT_TRUE(output.timedOut);
    EXPECT_FALSE(output.launchFailed);
    EXPECT_EQ(output.exitCode, SIGTERM);
    EXPECT_GE(elapsed, 0.45);
    EXPECT_LT(elapsed, 10.0);
    const auto errors = processErrors(log);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "/bin/sleep timed out after 0.500000s and was terminated");
    // A time-out that is not a positive number fires at once.
    for (const double timeout : {0.0, -5.0, std::nan("")}) {
        const auto again = Clock::now();
        EXPECT_TRUE(ProcessRunner::runBlocking("/bin/sleep", {"30"}, timeout).timedOut) << timeout;
        EXPECT_LT(secondsSince(again), 10.0) << timeout;
    }
}

TEST(ProcessRunnerTest, AChildThatIgnoresTerminationIsKilledAboutTwoSecondsAfterTheTimeOut) {
    const auto start = Clock::now();
    const auto output = shell("trap '' TERM; exec sleep 30", 1.0);
    const double elapsed = secondsSince(start);
    EXPECT_TRUE(output.timedOut);
    EXPECT_EQ(output.exitCode, SIGKILL);
    EXPECT_GE(elapsed, 2.8);
    EXPECT_LT(elapsed, 10.0);
}

TEST(ProcessRunnerTest, AGrandchildHoldingThePipesDelaysTheResultByAboutTwoSecondsAtMost) {
    const auto start = Clock::now();
    const auto output = shell("sleep 8 & echo started", 60);
    const double elapsed = secondsSince(start);
    EXPECT_EQ(output, (Output{0, "started\n", "", false, false}));
    EXPECT_GE(elapsed, 1.8);
    EXPECT_LT(elapsed, 6.0);
}

TEST(ProcessRunnerTest, OutputWrittenShortlyAfterTheChildExitsIsStillCollected) {
    const auto start = Clock::now();
    const auto output = shell("(sleep 0.3; echo late; echo late-error >&2) & echo early", 60);
    EXPECT_EQ(output.stdout, "early\nlate\n");
    EXPECT_EQ(output.stderr, "late-error\n");
    EXPECT_LT(secondsSince(start), 1.8);  // the pipes closed long before the window ended
}

TEST(ProcessRunnerTest, ConcurrentRunsKeepTheirOwnOutputAndOverlap) {
    constexpr int runs = 32;
    const auto start = Clock::now();
    std::vector<std::future<Output>> futures;
    for (int i = 0; i < runs; ++i) {
        futures.push_back(ProcessRunner::run("/bin/sh", {"-c", "echo out-$0; sleep 0.25; echo err-$0 >&2", "run" + std::to_string(i)}, 60));
    }
    for (int i = 0; i < runs; ++i) {
        const auto tag = "run" + std::to_string(i);
        EXPECT_EQ(futures[i].get(), (Output{0, "out-" + tag + "\n", "err-" + tag + "\n", false, false}));
    }
    // One after another they would need 8 seconds.
    EXPECT_LT(secondsSince(start), 6.0);
}

TEST(ProcessRunnerTest, AStopEndsTheChildAndStillDeliversTheOutput) {
    std::stop_source source;
    auto future = ProcessRunner::run("/bin/sh", {"-c", "echo begun; exec sleep 30"}, 60, source.get_token());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    source.request_stop();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto output = future.get();
    EXPECT_EQ(output, (Output{SIGTERM, "begun\n", "", false, false}));
}

TEST(ProcessRunnerTest, ADroppedFutureLeavesTheRunToFinish) {
    test::TempDirectory directory;
    const auto marker = directory / "finished";
    { [[maybe_unused]] auto dropped = ProcessRunner::run("/bin/sh", {"-c", "sleep 0.2; touch \"$0\"", marker.string()}, 60); }
    const auto start = Clock::now();
    while (!std::filesystem::exists(marker) && secondsSince(start) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace vornelo
