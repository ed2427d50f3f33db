#include "Helper/HelperDaemon.h"
#include "Platform/VarlinkClient.h"

#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

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
    settings.collaborators.authorize = [](std::span<const std::uint8_t>, const platform::PeerProcess&) {
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
    const std::filesystem::path& directory() const { return directory_.path(); }
    platform::VarlinkClient connect() const {
        auto client = platform::VarlinkClient::connect(socket_);
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

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe"); }

std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

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
    const auto doc = readText(VORNELO_SOURCE_DIR "/docs/helper-protocol.md");
    const auto start = doc.find("```varlink\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(doc.substr(start + 11, doc.find("```", start + 11) - start - 11), HelperInterface::text);

    // 33 bytes are no authorization: refused before polkit is asked.
    const auto refused = client.call(HelperInterface::removeItemsMethod,
                                     {{"paths", {"/Applications/Foo.app"}}, {"authorization", std::string(44, 'A')}});
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ((*refused)["failed"]["/Applications/Foo.app"], "An administrator didn't approve this.");

    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string out;
        std::string err;
    } cases[] = {
        {{"helper", "version", "--socket", daemon.socket()}, 0,
         "The helper at " + daemon.socket().native() + " speaks protocol version 1.\n", ""},
        {{"--json", "helper", "version", "--socket", daemon.socket()}, 0,
         nlohmann::json({{"socket", daemon.socket()}, {"version", 1}}).dump(2) + "\n", ""},
        {{"helper", "version", "--socket", daemon.directory() / "none.sock"}, 1, "",
         "vornelo-cli: The helper is not installed: there is no socket at " + (daemon.directory() / "none.sock").native() +
             " (an administrator enables it with systemctl enable --now vornelo-helper.socket).\n"},
    };
    for (const auto& testCase : cases) {
        const auto result = test::runProgram(VORNELO_CLI_PATH, testCase.arguments);
        EXPECT_EQ(result.exitCode, testCase.exitCode) << result.err;
        EXPECT_EQ(result.out, testCase.out);
        EXPECT_EQ(result.err, testCase.err);
    }
}

TEST(HelperDaemonTest, ExitsOnceIdleButNeverDuringARequestAndVersionCallsDoNotKeepItAlive) {
    VORNELO_REQUIRE_ROOT();
    {
        // Never asked for a removal: it goes after the first tick past the threshold, calls or not.
        test::TempDirectory logs;
        ::chmod(logs.path().c_str(), 0777);
        ActivatedDaemon daemon(selfPath(), {"VORNELO_TEST_DAEMON_LOG=" + (logs / "helper.log").native()});
        auto client = daemon.connect();
        const auto started = SteadyClock::now();
        while (client.call(HelperInterface::helperVersionMethod, nlohmann::json::object()) && SteadyClock::now() - started < 2s) {
            std::this_thread::sleep_for(20ms);
        }
        const auto exited = daemon.exited(2s);
        ASSERT_TRUE(exited.has_value());
        EXPECT_GT(*exited - started, scaledTiming.threshold);
        EXPECT_LT(*exited - started, scaledTiming.threshold + scaledTiming.period + 200ms);
        const std::regex onlyStart(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ helper started \(protocol 1\)\n)");
        EXPECT_TRUE(std::regex_match(readText(logs / "helper.log"), onlyStart)) << readText(logs / "helper.log");
    }
    test::TempDirectory logs;
    ::chmod(logs.path().c_str(), 0777);
    ActivatedDaemon daemon(selfPath(), {"VORNELO_TEST_DAEMON_LOG=" + (logs / "helper.log").native()});
    auto client = daemon.connect();
    const auto asked = SteadyClock::now();
    const auto reply = client.call(HelperInterface::removeItemsMethod, {{"paths", {"/Applications/A.app"}}, {"authorization", ""}});
    const auto answered = SteadyClock::now();
    ASSERT_TRUE(reply.has_value()) << reply.error().description;  // the half-second request outlived the threshold
    EXPECT_GE(answered - asked, requestDuration);
    const auto exited = daemon.exited(2s);
    ASSERT_TRUE(exited.has_value());
    EXPECT_GT(*exited - answered, scaledTiming.threshold);
    EXPECT_LT(*exited - answered, scaledTiming.threshold + scaledTiming.period + 200ms);
    const auto log = readText(logs / "helper.log");
    EXPECT_NE(log.find("request from uid 0 for 1 item(s)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("request from uid 0 refused: no administrator authorization\n"), std::string::npos) << log;
}

TEST(HelperDaemonTest, TheUnitsPassSystemdVerifyAndNameTheHelpersPaths) {
    const std::filesystem::path units = VORNELO_SOURCE_DIR "/packaging/systemd";
    const auto service = readText(units / "vornelo-helper.service");
    const auto socket = readText(units / "vornelo-helper.socket");
    const struct {
        const std::string& text;
        std::string line;
    } expected[] = {
        {service, "\nExecStart=/usr/libexec/vornelo/VorneloHelper\n"},
        {socket, "\nListenStream=" + std::string(HelperInterface::socketPath) + "\n"},
        {socket, "\nSocketMode=0666\n"},
    };
    for (const auto& [text, line] : expected) EXPECT_NE(text.find(line), std::string::npos) << line;

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
