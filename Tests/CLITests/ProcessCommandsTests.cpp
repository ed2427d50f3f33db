#include "Platform/Processes/Subprocess.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/PlatformScenario.h"
#include "Support/SystemServices.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace vornelo {
namespace {

using test::runCli;

const std::string builtHost = VORNELO_BINARY_DIR "/vornelo-script-host";

using ProcessCommandsTest = test::CliTest;

TEST_F(ProcessCommandsTest, RunPrintsTheExitCodeAndBothStreamsOrTheOutputFieldsAndFailsWithTheProgram) {
    EXPECT_EQ(says({"run", "--", "/bin/sh", "-c", "echo hi; echo warn >&2"}, {}).out,
              "Exit code: 0\nStandard output:\nhi\nStandard error:\nwarn\n");
    auto document = cliJson({"run", "--", "printf", "%s", "x y"});
    EXPECT_TRUE(std::filesystem::path(document["executablePath"].get<std::string>()).is_absolute()) << "looked up in PATH";
    document.erase("executablePath");
    EXPECT_EQ(document, nlohmann::json::parse(R"({"arguments": ["%s", "x y"], "exitCode": 0, "interrupted": false,
        "launchFailed": false, "stderr": "", "stdout": "x y", "succeeded": true, "timedOut": false, "timeout": 60.0})"));

    // --json may follow the command too.
    const auto timedOut = nlohmann::json::parse(complains({"run", "--json", "--timeout", "0.3", "--", "/bin/sleep", "30"}, 1).out);
    EXPECT_EQ(std::tuple(timedOut["timedOut"], timedOut["launchFailed"], timedOut["exitCode"]), std::tuple(true, false, SIGTERM));
    EXPECT_EQ(complains({"run", "--", "/nonexistent/tool"}, 1, {"Couldn\u2019t start \u201C/nonexistent/tool\u201D"}).out, "");
}

TEST_F(ProcessCommandsTest, RunRefusesATimeOutThatIsNotAPositiveNumberAndRunsNothing) {
    const auto marker = path("ran");
    for (const std::string value : {"abc", "0", "-1", "nan", "inf", "1e999", "5s", ""}) {
        SCOPED_TRACE(value);
        complains({"run", "--timeout", value, "--", "/usr/bin/touch", marker.string()}, 2, {"is not a positive number of seconds"});
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    complains({"run"}, 2);
}

// Whether `parent` has a child process named `name`, read from /proc.
bool hasChildNamed(pid_t parent, const std::string& name) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", error)) {
        std::ifstream children(task.path() / "children");
        for (pid_t child = 0; children >> child;) {
            if (test::readFile("/proc/" + std::to_string(child) + "/comm") == name + "\n") return true;
        }
    }
    return false;
}

TEST_F(ProcessCommandsTest, InterruptingRunStopsTheProgramAndSaysSo) {
    auto cli = platform::Subprocess::spawn(VORNELO_CLI_PATH, {"run", "--", "/bin/sleep", "30"});
    ASSERT_TRUE(cli.has_value());
    // The CLI takes Ctrl-C over before it starts the program, so once sleep runs the signal is its.
    ASSERT_TRUE(test::eventually([&] { return hasChildNamed(cli->processIdentifier(), "sleep"); })) << "the program never started";
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

TEST_F(ProcessCommandsTest, AdminShellPrintsTheCommandsOutputOrItsErrorAndARefusedAuthenticationAsCancelled) {
    VORNELO_REQUIRE_PKEXEC();
    EXPECT_EQ(says({"admin-shell", "--host", builtHost, "id -u; echo"}, {}).out, "0\n");
    EXPECT_EQ(cliJson({"admin-shell", "--host", builtHost, "printf ' \"x\" '"}), nlohmann::json({{"output", "\"x\""}}));
    EXPECT_EQ(complains({"admin-shell", "--host", builtHost, "echo 'it broke' >&2; exit 3"}, 1).err, "vornelo-cli: it broke\n");

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
