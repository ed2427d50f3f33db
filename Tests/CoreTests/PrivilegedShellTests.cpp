#include "Core/PrivilegedShell.h"

#include "Platform/ScriptHost.h"
#include "Support/ChildProcess.h"
#include "Support/SystemServices.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace vornelo {
namespace {

using Output = ProcessRunner::Output;
using RunError = PrivilegedShell::RunError;
using Result = std::expected<std::string, RunError>;

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

TEST(PrivilegedShellTest, EscapesBackslashesFirstThenQuotesAndNothingElse) {
    EXPECT_EQ(PrivilegedShell::escaped(R"(say "hi" \ there)"), R"(say \"hi\" \\ there)");
    // An escaped quote in the command: its backslash is doubled, then the quote gets its own.
    EXPECT_EQ(PrivilegedShell::escaped(R"(a\"b)"), R"(a\\\"b)");
    EXPECT_EQ(PrivilegedShell::escaped("one\ntwo\t'$x'"), "one\ntwo\t'$x'");
    EXPECT_EQ(PrivilegedShell::scriptText(R"(echo "x")"), R"(do shell script "echo \"x\"" with administrator privileges)");
}

TEST(PrivilegedShellTest, TheHostReadsBackExactlyTheCommandTheShellWrote) {
    for (const std::string command : {"", "\"", "\\", "\\\"", "\"\\", "end with \\", "\"quoted at both ends\"",
                                      "lines\nand\r\nbreaks\n", "caf\u00E9 \u2603", "do shell script \"x\""}) {
        EXPECT_EQ(platform::ScriptHost::commandFromScript(PrivilegedShell::scriptText(command)), command) << command;
    }
}

TEST(PrivilegedShellTest, ErrorsDescribeThemselvesForTheUser) {
    EXPECT_EQ(RunError::failed("Disk full.").errorDescription(), "Disk full.");
    EXPECT_EQ(RunError::failed("").errorDescription(), "The command could not complete.");
    EXPECT_EQ(RunError::cancelled().errorDescription(), "Authentication was cancelled.");
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

TEST(PrivilegedShellTest, AHostThatCannotStartIsReportedAsSuch) {
    test::TestHome home;
    const PrivilegedShell shell("/nonexistent/vornelo-script-host");
    const auto result = await(shell.run("true"));
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().message().starts_with("Couldn't start the authorization prompt: The file "))
        << result.error().message();
}

TEST(PrivilegedShellTest, AStopEndsTheHostAndCountsAsCancelled) {
    test::TestHome home;
    test::TempDirectory directory;
    const PrivilegedShell shell(fakeHost(directory, "exec sleep 30"));
    std::stop_source source;
    auto future = shell.run("true", source.get_token());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    source.request_stop();
    EXPECT_EQ(await(std::move(future)), failure(RunError::cancelled()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(PrivilegedShellTest, TheCompletionFormDeliversWithoutThrowing) {
    test::TestHome home;
    test::TempDirectory directory;
    const PrivilegedShell shell(fakeHost(directory, "echo 'no entry' >&2; exit 1"));
    // Shared with the queue thread, which may still be leaving set_value when get() returns.
    auto delivered = std::make_shared<std::promise<Result>>();
    shell.run("true", {}, [delivered](Result value) { delivered->set_value(std::move(value)); });
    EXPECT_EQ(delivered->get_future().get(), failure(RunError::failed("no entry")));
}

TEST(PrivilegedShellTest, ACommandAndItsFailuresRoundTripUnchangedThroughTheRealHostAndPkexec) {
    VORNELO_REQUIRE_PKEXEC();
    test::TestHome home;
    const PrivilegedShell shell(builtHost);
    // The quoted here-document prints its body untouched, so the output shows what the root
    // shell received.
    const std::string text = "say \"hi\" and 'bye'\nback\\slash \\\\ double \\\" escaped-quote\n$HOME `id` $(id)\n\ttab";
    EXPECT_EQ(await(shell.run("cat <<'VORNELO_END'\n" + text + "\nVORNELO_END")), text);
    EXPECT_EQ(await(shell.run("id -u")), "0");
    EXPECT_EQ(await(shell.run("echo partial; echo 'it broke' >&2; exit 3")), failure(RunError::failed("it broke")));
    EXPECT_EQ(await(shell.run("exit 4")), failure(RunError::failed("Exit code 4")));
}

TEST(PrivilegedShellTest, ARefusedAuthenticationIsCancelled) {
    VORNELO_REQUIRE_PKEXEC();
    const auto account = test::unprivilegedAccount();
    // A forked child must not use the runner's thread pool; the blocking form is the same run.
    const auto outcome = test::runAsUser(account.uid, account.gid, []() -> std::string {
        const auto output =
            ProcessRunner::runBlocking(builtHost, {"-e", PrivilegedShell::scriptText("id -u")}, PrivilegedShell::timeoutSeconds);
        const auto result = PrivilegedShell::result(output);
        if (result || result.error() != RunError::cancelled()) {
            return "expected cancelled; exit " + std::to_string(output.exitCode) + ", stderr: " + output.stderr;
        }
        if (!output.stdout.empty()) return "the command ran: " + output.stdout;
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
