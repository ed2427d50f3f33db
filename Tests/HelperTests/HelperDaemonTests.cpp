#include "Helper/HelperDaemon.h"
#include "Platform/VarlinkClient.h"

#include "Support/ChildProcess.h"
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

constexpr IdleTiming scaledTiming{100ms, 100ms, 200ms};
constexpr auto requestDuration = 500ms;

// Started with VORNELO_TEST_DAEMON_LOG set, this program is the daemon, its times scaled down 300
// times and its administrator taking half a second to refuse.
const bool runsAsDaemon = [] {
    const char* logFile = std::getenv("VORNELO_TEST_DAEMON_LOG");
    if (logFile == nullptr) return false;
    DaemonSettings settings;
    settings.logFile = logFile;
    settings.socketPath = std::filesystem::path(logFile).parent_path() / "unactivated.sock";
    settings.idleTiming = scaledTiming;
    settings.collaborators.authorize = [](std::span<const std::uint8_t>, const platform::SocketPeer&) {
        std::this_thread::sleep_for(requestDuration);
        return false;
    };
    std::exit(runHelperDaemon(std::move(settings)));
}();

// A daemon started by systemd-socket-activate as an unprivileged user, on a socket of its own.
class ActivatedDaemon {
public:
    ActivatedDaemon(const std::string& program, std::vector<std::string> environment)
        : socket_(directory_ / "helper.sock") {
        ::chmod(directory_.path().c_str(), 0777);
        const auto account = test::unprivilegedAccount();
        std::vector<std::string> arguments{"systemd-socket-activate", "-l", socket_.native()};
        for (const auto& entry : environment) arguments.insert(arguments.end(), {"-E", entry});
        arguments.push_back(program);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::setgroups(0, nullptr) == 0 && ::setgid(account.gid) == 0 && ::setuid(account.uid) == 0) {
                ::execve("/usr/bin/systemd-socket-activate", argv.data(), environ);
            }
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

TEST(HelperDaemonTest, TheDaemonAnswersAnyVarlinkClientThroughSocketActivation) {
    VORNELO_REQUIRE_ROOT();
    ActivatedDaemon daemon(VORNELO_HELPER_PATH, {});
    auto client = daemon.connect();
    EXPECT_EQ(client.call(HelperInterface::helperVersionMethod, nlohmann::json::object()).value_or(nullptr),
              nlohmann::json({{"version", 1}}));
    const auto description = client.call("org.varlink.service.GetInterfaceDescription", {{"interface", HelperInterface::name}});
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ((*description)["description"], HelperInterface::text);
    // The protocol description quotes the same interface, word for word.
    const auto doc = test::readFile(VORNELO_SOURCE_DIR "/docs/helper-protocol.md");
    const auto start = doc.find("```varlink\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(doc.substr(start + 11, doc.find("```", start + 11) - start - 11), HelperInterface::text);

    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string out;
        std::string err;
    } cases[] = {
        {{"helper", "version", "--socket", daemon.socket()}, 0,
         "The helper at " + daemon.socket().native() + " speaks protocol version 1.\n", ""},
        {{"helper", "version", "--socket", daemon.socket().parent_path() / "none.sock"}, 1, "",
         "vornelo-cli: The helper is not installed: there is no socket at " + (daemon.socket().parent_path() / "none.sock").native() +
             " (an administrator enables it with systemctl enable --now vornelo-helper.socket).\n"},
    };
    for (const auto& testCase : cases) {
        const auto result = test::runProgram(VORNELO_CLI_PATH, testCase.arguments);
        EXPECT_EQ(result.exitCode, testCase.exitCode) << result.err;
        EXPECT_EQ(result.out, testCase.out);
        EXPECT_EQ(result.err, testCase.err);
    }
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
    EXPECT_LT(*exited - answered, scaledTiming.threshold + scaledTiming.period + 200ms);
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
