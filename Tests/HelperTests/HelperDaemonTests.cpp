#include "Helper/HelperDaemon.h"
#include "Platform/VarlinkClient.h"

#include "Support/ChildProcess.h"
#include "Support/SignedClient.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

extern char** environ;

namespace vornelo::helper {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr IdleTiming scaledTiming{100ms, 100ms, 200ms};
constexpr auto requestDuration = 500ms;

// Started with VORNELO_TEST_DAEMON_LOG set, this program is the daemon, its times scaled down 300
// times, its administrator taking half a second to refuse, and every client admitted (this
// unsigned program is the client).
const bool runsAsDaemon = [] {
    const char* logFile = std::getenv("VORNELO_TEST_DAEMON_LOG");
    if (logFile == nullptr) return false;
    DaemonSettings settings;
    settings.logFile = logFile;
    settings.socketPath = std::filesystem::path(logFile).parent_path() / "unactivated.sock";
    settings.idleTiming = scaledTiming;
    static const auto everyone = ClientVetting::admittingEveryone();
    settings.vetting = &everyone;
    settings.collaborators.authorize = [](std::span<const std::uint8_t>, const platform::SocketPeer&) {
        std::this_thread::sleep_for(requestDuration);
        return false;
    };
    std::exit(runHelperDaemon(std::move(settings)));
}();

// A daemon started by systemd-socket-activate as an unprivileged user, on a socket of its own;
// it keeps root's power to read other processes in /proc (to judge its peers) but cannot write the
// system's folders.
class ActivatedDaemon {
public:
    ActivatedDaemon(const std::string& program, std::vector<std::string> environment)
        : socket_(directory_ / "helper.sock") {
        ::chmod(directory_.path().c_str(), 0777);
        const auto account = test::unprivilegedAccount();
        std::vector<std::string> arguments{"setpriv", "--reuid=" + std::to_string(account.uid), "--regid=" + std::to_string(account.gid),
                                           "--clear-groups", "--inh-caps=+sys_ptrace,+dac_read_search",
                                           "--ambient-caps=+sys_ptrace,+dac_read_search", "/usr/bin/systemd-socket-activate",
                                           "-l", socket_.native()};
        for (const auto& entry : environment) arguments.insert(arguments.end(), {"-E", entry});
        arguments.push_back(program);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execve("/usr/bin/setpriv", argv.data(), environ);
            ::_exit(127);
        }
        for (int wait = 0; wait < 500 && !std::filesystem::exists(socket_); ++wait) std::this_thread::sleep_for(10ms);
    }
    ~ActivatedDaemon() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    const std::filesystem::path& socket() const { return socket_; }
    platform::VarlinkClient connect() const {
        // The socket is bound a moment before systemd-socket-activate listens on it.
        auto client = platform::VarlinkClient::connect(socket_);
        for (int wait = 0; wait < 500 && !client; ++wait, std::this_thread::sleep_for(10ms)) {
            client = platform::VarlinkClient::connect(socket_);
        }
        if (!client) throw std::runtime_error(client.error().description);
        return std::move(*client);
    }
    // When the process ended, or nothing if it still runs after the limit.
    std::optional<SteadyClock::time_point> exited(std::chrono::milliseconds limit) {
        for (const auto until = SteadyClock::now() + limit; SteadyClock::now() < until; std::this_thread::sleep_for(2ms)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return SteadyClock::now();
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

private:
    test::TempDirectory directory_{"vornelo-helper"};
    std::filesystem::path socket_;
    pid_t pid_ = -1;
};

TEST(HelperDaemonTest, TheDaemonAnswersOnlyTheSignedClientThroughSocketActivation) {
    VORNELO_REQUIRE_ROOT();
    // The protocol description quotes the interface the daemon serves, word for word.
    const auto doc = test::readFile(VORNELO_SOURCE_DIR "/docs/helper-protocol.md");
    const auto start = doc.find("```varlink\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(doc.substr(start + 11, doc.find("```", start + 11) - start - 11), HelperInterface::text);

    test::TempDirectory signing{"vornelo-signing"};
    const auto client = test::signedClientCopy(signing.path());
    fs::create_directory(signing / "run");
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (auto mounted = test::mountClientTrust(signing / "anchors", signing / "run"); !mounted.empty()) return mounted;
        ActivatedDaemon daemon(VORNELO_HELPER_PATH, {});
        std::string complaint;
        // This unsigned program gets no answer, not even to introspection.
        auto unsigned_ = daemon.connect();
        if (unsigned_.call("org.varlink.service.GetInterfaceDescription", {{"interface", HelperInterface::name}})) {
            complaint += "an unsigned client was answered; ";
        }
        const auto none = daemon.socket().parent_path() / "none.sock";
        const struct {
            fs::path program;
            std::vector<std::string> arguments;
            int exitCode;
            std::string out;
            std::string err;
        } cases[] = {
            {client, {"helper", "version", "--socket", daemon.socket()}, 0,
             "The helper at " + daemon.socket().native() + " speaks protocol version 1.\n", ""},
            {VORNELO_CLI_PATH, {"helper", "version", "--socket", daemon.socket()}, 1, "",
             "vornelo-cli: The helper at " + daemon.socket().native() + " did not answer: "},
            {client, {"helper", "version", "--socket", none}, 1, "",
             "vornelo-cli: The helper is not installed: there is no socket at " + none.native() +
                 " (an administrator enables it with systemctl enable --now vornelo-helper.socket).\n"},
        };
        for (const auto& testCase : cases) {
            const auto result = test::runProgram(testCase.program, testCase.arguments);
            if (result.exitCode != testCase.exitCode || result.out != testCase.out || !result.err.starts_with(testCase.err)) {
                complaint += testCase.program.filename().native() + " " + testCase.arguments.back() + " gave " +
                             std::to_string(result.exitCode) + " [" + result.out + "] [" + result.err + "]; ";
            }
        }
        return complaint;
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(HelperDaemonTest, ExitsOnceIdleAfterItsLastRequestButNeverDuringOne) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory logs;
    ::chmod(logs.path().c_str(), 0777);
    ActivatedDaemon daemon(std::filesystem::read_symlink("/proc/self/exe"), {"VORNELO_TEST_DAEMON_LOG=" + (logs / "helper.log").native()});
    auto client = daemon.connect();
    EXPECT_TRUE(client.call(HelperInterface::helperVersionMethod, nlohmann::json::object()).has_value());
    const auto asked = SteadyClock::now();
    const auto reply = client.call(HelperInterface::removeItemsMethod, {{"paths", {"/Applications/A.app"}}, {"authorization", ""}});
    const auto answered = SteadyClock::now();
    ASSERT_TRUE(reply.has_value()) << reply.error().description;  // the half-second request outlived the threshold
    EXPECT_GE(answered - asked, requestDuration);
    const auto exited = daemon.exited(2s);
    ASSERT_TRUE(exited.has_value());
    EXPECT_GT(*exited - answered, scaledTiming.threshold);
    // Generous slack: CI runs this beside the sanitizer builds, and a late exit is still an exit.
    EXPECT_LT(*exited - answered, scaledTiming.threshold + scaledTiming.period + 1s);
    // The version call left no line; the start line may come after a first request's.
    auto messages = test::logMessages(logs / "helper.log");
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{"helper started (protocol 1)", "request from uid 0 for 1 item(s)",
                                                  "request from uid 0 refused: no administrator authorization"}));
}

TEST(HelperDaemonTest, TheUnitsPassSystemdVerifyAndNameTheHelpersPaths) {
    const std::filesystem::path units = VORNELO_SOURCE_DIR "/packaging/systemd";
    const auto service = test::readFile(units / "vornelo-helper.service");
    const auto socket = test::readFile(units / "vornelo-helper.socket");
    EXPECT_NE(service.find("\nExecStart=/usr/libexec/vornelo/VorneloHelper\n"), std::string::npos);
    EXPECT_NE(socket.find("\nListenStream=" + std::string(HelperInterface::socketPath) + "\n"), std::string::npos);
    EXPECT_NE(socket.find("\nSocketMode=0666\n"), std::string::npos);

    // verify insists that the program exists, so the copy starts the one just built.
    test::TempDirectory directory;
    std::ofstream(directory / "vornelo-helper.service")
        << std::regex_replace(service, std::regex("/usr/libexec/vornelo/VorneloHelper"), VORNELO_HELPER_PATH);
    std::ofstream(directory / "vornelo-helper.socket") << socket;
    const auto result = test::runProgram("/usr/bin/systemd-analyze",
                                         {"verify", (directory / "vornelo-helper.socket").native(),
                                          (directory / "vornelo-helper.service").native()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace vornelo::helper
