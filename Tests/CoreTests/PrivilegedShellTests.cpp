#include "Core/PrivilegedShell.h"
#include "Core/ProcessRunner.h"
#include "Platform/Processes/ScriptHost.h"
#include "Support/ChildProcess.h"
#include "Support/LogCapture.h"
#include "Support/SystemServices.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <thread>

namespace vornelo {
namespace {

using Output = ProcessRunner::Output;
using RunError = PrivilegedShell::RunError;
using Result = std::expected<std::string, RunError>;
using Clock = std::chrono::steady_clock;

Result failure(RunError error) { return std::unexpected(std::move(error)); }

const std::string builtHost = VORNELO_BINARY_DIR "/vornelo-script-host";

Result await(std::future<std::string> future) {
    try {
        return future.get();
    } catch (const RunError& error) {
        return std::unexpected(error);
    }
}

// A stand-in host: records its arguments next to itself, then runs `body`.
std::string fakeHost(const test::TempDirectory& directory, const std::string& body) {
    const auto path = directory / "host";
    test::writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/arguments\"\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path.string();
}

TEST(PrivilegedShellTest, EscapesBackslashesFirstThenQuotesAndTheHostReadsBackExactlyThatCommand) {
    EXPECT_EQ(PrivilegedShell::escaped(R"(say "hi" \ there)"), R"(say \"hi\" \\ there)");
    // An escaped quote in the command: its backslash is doubled, then the quote gets its own.
    EXPECT_EQ(PrivilegedShell::escaped(R"(a\"b)"), R"(a\\\"b)");
    EXPECT_EQ(PrivilegedShell::escaped("one\ntwo\t'$x'"), "one\ntwo\t'$x'");
    EXPECT_EQ(PrivilegedShell::scriptText(R"(echo "x")"), R"(do shell script "echo \"x\"" with administrator privileges)");
    // The host reads back exactly the command the shell wrote.
    for (const std::string command : {"", "\"", "\\", "\\\"", "\"\\", "end with \\", "\"quoted at both ends\"",
                                      "lines\nand\r\nbreaks\n", "caf\u00E9 \u2603", "do shell script \"x\""}) {
        EXPECT_EQ(platform::ScriptHost::commandFromScript(PrivilegedShell::scriptText(command)), command) << command;
    }
    // Errors describe themselves for the user.
    EXPECT_EQ(std::tuple(RunError::failed("Disk full.").errorDescription(), RunError::failed("").errorDescription(),
                         RunError::cancelled().errorDescription()),
              std::tuple("Disk full.", "The command could not complete.", "Authentication was cancelled."));
    EXPECT_NE(RunError::failed(""), RunError::cancelled());
}

TEST(PrivilegedShellTest, ResultMapsEachWayTheHostCanEnd) {
    const auto cancelled = failure(RunError::cancelled());
    const std::pair<Output, Result> cases[] = {
        {{-1, "", "No such file.", true, false}, failure(RunError::failed("Couldn't start the authorization prompt: No such file."))},
        {{0, "done", "", false, true}, cancelled},
        // Success trims white space, beyond ASCII too: no-break space, line separator, ideographic space.
        {{0, " \n\t 42 \n\n", "noise", false, false}, "42"},
        {{0, "\u00A0\u2028a b\u3000\r\n", "", false, false}, "a b"},
        {{0, "\n\n  \n", "", false, false}, ""},
        // The host's cancellation marker in any case; "cancelled" with two l's is not it.
        {{1, "", "execution error: User canceled. (-128)\n", false, false}, cancelled},
        {{1, "", "error -128", false, false}, cancelled},
        {{1, "", "USER CANCELED the prompt", false, false}, cancelled},
        {{1, "", "the user canceled", false, false}, cancelled},
        {{1, "", "user cancelled", false, false}, failure(RunError::failed("user cancelled"))},
        // Otherwise the error output, or the exit code when it is blank.
        {{2, "partial", "\n  rm: cannot remove 'x'\n", false, false}, failure(RunError::failed("rm: cannot remove 'x'"))},
        {{1, "", "", false, false}, failure(RunError::failed("Exit code 1"))},
        {{4, "out only", " \n", false, false}, failure(RunError::failed("Exit code 4"))}};
    for (const auto& [output, result] : cases) EXPECT_EQ(PrivilegedShell::result(output), result) << output.stderr;
}

TEST(PrivilegedShellTest, OnlyTheAdministratorsPolicyRefusesAndThenStartsNothing) {
    test::TestHome home;
    test::TempDirectory directory;
    const PrivilegedShell shell(fakeHost(directory, "echo '  ran  '"));
    // The user's own copy of the key changes nothing.
    ASSERT_TRUE(home.defaults()->set("DisablePrivilegedTools", platform::PlistValue(true)));
    EXPECT_EQ(await(shell.run("echo \"hi\"")), "ran");
    EXPECT_EQ(test::readFile(directory / "arguments"),
              "-e\ndo shell script \"echo \\\"hi\\\"\" with administrator privileges\n");

    std::filesystem::remove(directory / "arguments");
    home.writeManaged({{"DisablePrivilegedTools", true}});
    const auto refused = await(shell.run("id -u"));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), RunError::failed(std::string(PrivilegedShell::disabledByPolicyMessage)));
    EXPECT_EQ(refused.error().errorDescription(),
              "Actions that need an administrator password are disabled by your organisation.");
    // The completion form says the same, without throwing.
    std::optional<Result> completed;
    shell.run("true", {}, [&](Result value) { completed = std::move(value); });
    EXPECT_EQ(completed, refused);
    EXPECT_FALSE(std::filesystem::exists(directory / "arguments"));
}

// The promise is shared with the queue thread, which may still be in set_value when get() returns.
TEST(PrivilegedShellTest, AStopCountsAsCancelledAndTheCompletionFormAndAHostThatCannotStartAreReported) {
    test::TestHome home;
    test::TempDirectory directory;
    std::stop_source source;
    auto future = PrivilegedShell(fakeHost(directory, "exec sleep 30")).run("true", source.get_token());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    source.request_stop();
    EXPECT_EQ(await(std::move(future)), failure(RunError::cancelled()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    auto delivered = std::make_shared<std::promise<Result>>();
    PrivilegedShell(fakeHost(directory, "echo 'no entry' >&2; exit 1")).run("true", {}, [delivered](Result value) {
        delivered->set_value(std::move(value));
    });
    EXPECT_EQ(delivered->get_future().get(), failure(RunError::failed("no entry")));
    const auto result = await(PrivilegedShell("/nonexistent/vornelo-script-host").run("true"));
    EXPECT_TRUE(!result && result.error().message().starts_with("Couldn't start the authorization prompt: The file "));
}

TEST(PrivilegedShellTest, ACommandAndItsFailuresRoundTripUnchangedThroughTheRealHostAndPkexec) {
    VORNELO_REQUIRE_PKEXEC();
    test::TestHome home;
    const PrivilegedShell shell(builtHost);
    // The quoted here-document prints its body untouched: the output is what the root shell received.
    const std::string text = "say \"hi\" and 'bye'\nback\\slash \\\\ double \\\" escaped-quote\n$HOME `id` $(id)\n\ttab";
    EXPECT_EQ(await(shell.run("cat <<'VORNELO_END'\n" + text + "\nVORNELO_END")), text);
    EXPECT_EQ(await(shell.run("id -u")), "0");
    EXPECT_EQ(await(shell.run("echo partial; echo 'it broke' >&2; exit 3")), failure(RunError::failed("it broke")));
}

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
    // copies it, and both end at once rather than time out.
    EXPECT_EQ(ProcessRunner::runBlocking("/bin/sh", {}, 10), (Output{0, "", "", false, false}));
    EXPECT_EQ(ProcessRunner::runBlocking("/bin/cat", {}, 10), (Output{0, "", "", false, false}));
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

// Standard error is filled first: a runner reading standard output to its end would block the child.
TEST(ProcessRunnerTest, OutputLargerThanAPipeBufferArrivesWholeAndAStreamThatIsNotUtf8BecomesEmpty) {
    const auto output = shell("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o; "
                              "head -c 300000 /dev/zero | tr '\\0' E >&2");
    EXPECT_EQ(output, (Output{0, std::string(1048576, 'o'), std::string(1048576, 'e') + std::string(300000, 'E'), false, false}));
    EXPECT_EQ(shell("printf 'caf\\303\\251\\n'; printf 'ok \\377\\376' >&2"), (Output{0, "caf\u00E9\n", "", false, false}));
    EXPECT_EQ(shell("printf 'caf\\303'").stdout, "");
}

// A straggler ignoring the terminate signal is killed; a time-out that is not positive fires at once.
TEST(ProcessRunnerTest, ATimeOutTerminatesTheChildAndIsLogged) {
    test::LogCapture log;
    const auto output = ProcessRunner::runBlocking("/bin/sleep", {"30"}, 0.5);
    EXPECT_EQ(std::tuple(output.timedOut, output.launchFailed, output.exitCode), std::tuple(true, false, SIGTERM));
    const auto errors = processErrors(log);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "/bin/sleep timed out after 0.500000s and was terminated");
    EXPECT_EQ(shell("trap '' TERM; exec sleep 30", 0.5).exitCode, SIGKILL);
    for (const double timeout : {0.0, -5.0, std::nan("")}) {
        EXPECT_TRUE(ProcessRunner::runBlocking("/bin/sleep", {"30"}, timeout).timedOut) << timeout;
    }
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
    EXPECT_EQ(future.get(), (Output{SIGTERM, "begun\n", "", false, false}));
}

}  // namespace
}  // namespace vornelo
