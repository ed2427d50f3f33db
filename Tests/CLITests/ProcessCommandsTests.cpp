#include "Platform/Subprocess.h"
#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"
#include "Support/SystemServices.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

namespace vornelo {
namespace {

using test::runCli;

const std::string builtHost = VORNELO_BINARY_DIR "/vornelo-script-host";

class ProcessCommandsTest : public ::testing::Test {
protected:
    test::TempDirectory home_{"vornelo-cli-home"};
};

TEST_F(ProcessCommandsTest, RunPrintsTheExitCodeAndBothStreams) {
    const auto result = runCli({"run", "--", "/bin/sh", "-c", "echo hi; echo warn >&2"}, home_.path());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Exit code: 0\nStandard output:\nhi\nStandard error:\nwarn\n");
}

TEST_F(ProcessCommandsTest, RunInJsonUsesTheOutputFieldsAndFailsWithTheProgram) {
    const auto result = runCli({"--json", "run", "--", "printf", "%s", "x y"}, home_.path());
    EXPECT_EQ(result.exitCode, 0);
    const auto document = nlohmann::json::parse(result.out);
    EXPECT_EQ(document["stdout"], "x y");
    EXPECT_EQ(document["exitCode"], 0);
    EXPECT_EQ(document["succeeded"], true);
    // A bare name is looked up in PATH.
    EXPECT_TRUE(std::filesystem::path(document["executablePath"].get<std::string>()).is_absolute());

    const auto failed = runCli({"run", "--json", "--timeout", "0.3", "--", "/bin/sleep", "30"}, home_.path());
    EXPECT_EQ(failed.exitCode, 1);
    const auto timedOut = nlohmann::json::parse(failed.out);
    EXPECT_EQ(timedOut["timedOut"], true);
    EXPECT_EQ(timedOut["launchFailed"], false);
    EXPECT_EQ(timedOut["exitCode"], SIGTERM);
}

TEST_F(ProcessCommandsTest, RunReportsAProgramThatCannotStart) {
    const auto result = runCli({"run", "--", "/nonexistent/tool"}, home_.path());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Couldn\u2019t start \u201C/nonexistent/tool\u201D"), std::string::npos) << result.err;
}

TEST_F(ProcessCommandsTest, RunRefusesATimeOutThatIsNotAPositiveNumberAndRunsNothing) {
    const auto marker = home_ / "ran";
    for (const std::string value : {"abc", "0", "-1", "nan", "inf", "1e999", "5s", ""}) {
        const auto result = runCli({"run", "--timeout", value, "--", "/usr/bin/touch", marker.string()}, home_.path());
        EXPECT_EQ(result.exitCode, 2) << value;
        EXPECT_NE(result.err.find("is not a positive number of seconds"), std::string::npos) << value << ": " << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(runCli({"run"}, home_.path()).exitCode, 2);
}

// Whether a process named `name` has `parent` as its parent, read from /proc.
bool hasChildNamed(pid_t parent, std::string_view name) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // "pid (comm) state ppid ...": comm may hold spaces, so it is cut at the last ')'.
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parentID = 0;
        rest >> state >> parentID;
        if (parentID == parent && line.substr(open + 1, close - open - 1) == name) return true;
    }
    return false;
}

TEST_F(ProcessCommandsTest, InterruptingRunStopsTheProgramAndSaysSo) {
    auto cli = platform::Subprocess::spawn(VORNELO_CLI_PATH, {"run", "--", "/bin/sleep", "30"});
    ASSERT_TRUE(cli.has_value());
    // The CLI takes Ctrl-C over before it starts the program, so once sleep runs the signal is its.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!hasChildNamed(cli->processIdentifier(), "sleep")) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the CLI never started the program";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cli->sendSignal(SIGINT));
    while (!cli->hasExited() || cli->isOpen(platform::Subprocess::Stream::error)) {
        cli->waitForActivity(std::chrono::steady_clock::now() + std::chrono::seconds(30));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(cli->terminatedBySignal());
    EXPECT_EQ(cli->terminationStatus(), 1);
    EXPECT_NE(cli->received(platform::Subprocess::Stream::error).find("Interrupted"), std::string::npos);
}

TEST_F(ProcessCommandsTest, AdminShellPrintsTheCommandsOutputOrItsError) {
    VORNELO_REQUIRE_PKEXEC();
    const auto plain = runCli({"admin-shell", "--host", builtHost, "id -u; echo"}, home_.path());
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, "0\n");

    const auto json = runCli({"--json", "admin-shell", "--host", builtHost, "printf ' \"x\" '"}, home_.path());
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json({{"output", "\"x\""}}));

    const auto failed = runCli({"admin-shell", "--host", builtHost, "echo 'it broke' >&2; exit 3"}, home_.path());
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "vornelo-cli: it broke\n");
}

TEST_F(ProcessCommandsTest, AdminShellReportsARefusedAuthenticationAsCancelled) {
    VORNELO_REQUIRE_PKEXEC();
    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, []() -> std::string {
        const auto result = runCli({"--json", "admin-shell", "--host", builtHost, "id -u"}, "/nonexistent");
        if (result.exitCode != 1) return "exit code " + std::to_string(result.exitCode) + ": " + result.err;
        const auto document = nlohmann::json::parse(result.out, nullptr, false);
        if (document.is_discarded() || document["error"]["kind"] != "cancelled") return "output: " + result.out;
        if (result.err != "vornelo-cli: Authentication was cancelled.\n") return "stderr: " + result.err;
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
