#include "Helper/ClientVetting.h"
#include "Helper/DaemonRemovalSteps.h"
#include "Helper/HelperDaemon.h"
#include "Helper/ListenerDelegate.h"
#include "Platform/CodeSignature.h"
#include "Platform/ExecWatch.h"

#include "Support/ChildProcess.h"
#include "Support/SignedClient.h"
#include "Support/Subprocess.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

namespace vornelo::helper {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CertificateProfile;

// Started with VORNELO_TEST_VETTED_DAEMON naming a folder, this program is the daemon as installed
// (vetting by the fixed anchor store, its socket in /run/vornelo), logging into that folder.
const bool runsAsDaemon = [] {
    const char* folder = std::getenv("VORNELO_TEST_VETTED_DAEMON");
    if (folder == nullptr) return false;
    DaemonSettings settings;
    settings.logFile = fs::path(folder) / "helper.log";
    settings.collaborators.authorize = [](std::span<const std::uint8_t>, const platform::SocketPeer&) { return false; };
    std::exit(runHelperDaemon(std::move(settings)));
}();

class CountingHandler : public platform::VarlinkConnectionHandler {
public:
    explicit CountingHandler(std::atomic<int>& calls) : calls_(calls) {}
    platform::VarlinkReply call(std::string_view, const nlohmann::json&) override {
        ++calls_;
        return nlohmann::json{{"version", 1}};
    }

private:
    std::atomic<int>& calls_;
};

void appendByte(const fs::path& path) { std::ofstream(path, std::ios::app | std::ios::binary) << '\n'; }

TEST(ClientVettingTest, OnlyTheRightlySignedClientReachesAHandler) {
    VORNELO_REQUIRE_ROOT();  // an anchor store counts only when root owns it
    test::TempDirectory temp{"vetting"};
    const test::ClientSigning kit(temp.path());
    const auto pki = temp / "pki";
    const auto otherUnit = test::makeCertificate(pki, "unit", CertificateProfile::signer("Q9Q9Q9Q9Q9"), kit.anchor);
    const auto expired = test::makeCertificate(pki, "expired", CertificateProfile::signer("K7Q2M8X4ZD", -10, -1), kit.anchor);
    const auto stranger = test::makeCertificate(pki, "stranger", CertificateProfile::anchor("Stranger"));
    const auto strangerLeaf = test::makeCertificate(pki, "stranger-leaf", CertificateProfile::signer("K7Q2M8X4ZD"), stranger);

    platform::CodeSigning signing{kit.anchors};
    const ClientVetting vetting(signing);
    std::atomic<int> calls{0};
    const test::ServedSocket served(std::string(HelperInterface::text), [&](const platform::SocketPeer& peer) {
        return vetting.guard(peer, [&] { return std::make_unique<CountingHandler>(calls); });
    });

    const struct {
        const char* name;
        std::function<fs::path()> make;
        bool served;
    } cases[] = {
        {"right anchor, identifier and unit", [&] { return kit.signedCopy("right", kit.leaf); }, true},
        {"another unit", [&] { return kit.signedCopy("unit", otherUnit); }, false},
        {"another identifier", [&] { return kit.signedCopy("identifier", kit.leaf, "com.tessaldon.Other"); }, false},
        {"an anchor not in the store", [&] { return kit.signedCopy("stranger", strangerLeaf); }, false},
        {"an expired signer", [&] { return kit.signedCopy("expired", expired); }, false},
        {"a tampered signature", [&] { const auto c = kit.signedCopy("tampered", kit.leaf); test::flipLastByte(c.native() + ".sig"); return c; }, false},
        {"a modified executable", [&] { const auto c = kit.signedCopy("modified", kit.leaf); appendByte(c); return c; }, false},
        {"no signature", [&] { const auto c = kit.signedCopy("unsigned", kit.leaf); fs::remove(c.native() + ".sig"); return c; }, false},
    };
    for (const auto& c : cases) {
        const int before = calls.load();
        const auto result = test::runProgram(c.make(), {"helper", "version", "--socket", served.path()});
        EXPECT_EQ(result.exitCode, c.served ? 0 : 1) << c.name << ": " << result.err;
        EXPECT_EQ(calls.load() - before, c.served ? 1 : 0) << c.name;
    }
}

TEST(ClientVettingTest, ARefusedPeerIsClosedBeforeAnyCallAndLeavesNoLogLine) {
    test::TempDirectory temp{"vetting"};
    fs::create_directory(temp / "anchors");  // empty: this unsigned test process cannot pass
    platform::CodeSigning signing{temp / "anchors"};
    const ClientVetting enforced(signing);
    const auto everyone = ClientVetting::admittingEveryone();
    const std::string removal = nlohmann::json{{"method", std::string(HelperInterface::removeItemsMethod)},
                                               {"parameters", {{"paths", {"/Applications/A.app"}}, {"authorization", ""}}}}
                                    .dump();
    for (const auto* vetting : {&enforced, &everyone}) {
        const HelperLog log(temp / "helper.log");
        IdleMonitor idle({}, [] { return std::chrono::system_clock::now(); }, [] {});
        DaemonRemovalSteps steps({}, log);
        const ListenerDelegate delegate(steps, idle, log, *vetting);
        const test::ServedSocket served(std::string(HelperInterface::text),
                                        [&](const platform::SocketPeer& peer) { return delegate.accept(peer); });
        // Introspection is vetted like everything else.
        auto client = served.connect();
        const auto info = client.call("org.varlink.service.GetInfo", nlohmann::json::object());
        EXPECT_EQ(info.has_value(), vetting == &everyone);
        auto second = served.connect();
        const auto removed = second.call(HelperInterface::removeItemsMethod, {{"paths", {"/Applications/A.app"}}, {"authorization", ""}});
        EXPECT_EQ(removed.has_value(), vetting == &everyone);
        const auto lines = test::logMessages(temp / "helper.log");
        if (vetting == &enforced) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            EXPECT_FALSE(lines.empty());  // the same call from an admitted peer is logged
        }
        fs::remove(temp / "helper.log");
    }
}

// The exec of a subscribed process is known by the time its new image can write anything, and
// its exit by the time it is reaped; each is told once.
TEST(ClientVettingTest, TheKernelsProcessEventsTellOfAnExecBeforeTheNewImageSpeaks) {
    VORNELO_REQUIRE_ROOT();
    auto& watch = platform::ExecWatch::shared();
    if (!watch.isWatching()) GTEST_SKIP() << "The kernel's process events cannot be had outside the initial namespaces.";
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC) | ::pipe2(fromChild, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        char go;
        if (::dup2(toChild[0], 0) < 0 || ::dup2(fromChild[1], 1) < 0 || ::read(0, &go, 1) != 1) ::_exit(1);
        ::execl("/bin/sh", "sh", "-c", "echo started; read line", nullptr);
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    const auto execs = watch.subscribe(child);
    ASSERT_TRUE(execs);
    (void)execs->mayHaveChanged();  // whatever an overflow before this test left
    EXPECT_FALSE(execs->mayHaveChanged());
    char line[16];
    ASSERT_EQ(::write(toChild[1], "g", 1), 1);
    ASSERT_GT(::read(fromChild[0], line, sizeof line), 0);
    EXPECT_TRUE(execs->mayHaveChanged());
    EXPECT_FALSE(execs->mayHaveChanged());
    ::close(toChild[1]);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(execs->mayHaveChanged());
    ::close(fromChild[0]);
}

// Client modes of this program, chosen by VORNELO_TEST_CLIENT (the socket in VORNELO_TEST_SOCKET):
// "call" asks for the version and exits 0 when answered; "turn-dumpable" gives up dumpability,
// is answered once (else exits 4), takes dumpability back and exits 0 when answered again;
// "connect-exec" connects (descriptor 3,
// kept across exec), queues a removal at once when VORNELO_TEST_EARLY is set, waits until the
// helper has judged it, then execs VORNELO_TEST_EXEC; "send" sends a removal on descriptor 3 and exits 0 when
// answered, having first given up dumpability when VORNELO_TEST_NONDUMPABLE is set. Any other
// outcome exits 3.
const bool runsAsClient = [] {
    const char* mode = std::getenv("VORNELO_TEST_CLIENT");
    const char* socket = std::getenv("VORNELO_TEST_SOCKET");
    if (mode == nullptr || socket == nullptr) return false;
    const std::string removal = nlohmann::json{{"method", std::string(HelperInterface::removeItemsMethod)},
                                               {"parameters", {{"paths", {"/Applications/A.app"}}, {"authorization", ""}}}}
                                    .dump() + std::string(1, '\0');
    const auto answered = [](int fd) {
        char byte;
        return !test::closedByPeer(fd) && ::recv(fd, &byte, 1, 0) == 1;
    };
    const std::string_view chosen(mode);
    const auto send = [&](int fd) { return ::send(fd, removal.data(), removal.size(), MSG_NOSIGNAL) > 0; };
    if (chosen == "send" && std::getenv("VORNELO_TEST_NONDUMPABLE") != nullptr) ::prctl(PR_SET_DUMPABLE, 0);
    if (chosen == "send") std::_Exit(send(3) && answered(3) ? 0 : 3);
    if (chosen == "turn-dumpable") ::prctl(PR_SET_DUMPABLE, 0);
    auto client = platform::VarlinkClient::connect(socket);
    if (!client) std::_Exit(3);
    const auto version = [&] { return client->call(HelperInterface::helperVersionMethod, nlohmann::json::object()).has_value(); };
    if (chosen == "call") std::_Exit(version() ? 0 : 3);
    if (chosen == "turn-dumpable") {
        if (!version()) std::_Exit(4);
        ::prctl(PR_SET_DUMPABLE, 1);
        std::_Exit(version() ? 0 : 3);
    }
    ::dup2(client->fd(), 3);
    ::fcntl(3, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
    // Whether the bytes are still queued when the helper accepts is the helper's race to win.
    if (std::getenv("VORNELO_TEST_EARLY") != nullptr) send(3);
    std::this_thread::sleep_for(300ms);
    const char* next = std::getenv("VORNELO_TEST_EXEC");
    ::setenv("VORNELO_TEST_CLIENT", "send", 1);
    ::execl(next, next, "helper", "version", "--socket", socket, nullptr);
    std::_Exit(3);
}();

// The installed daemon's vetting, tried against the attacks its threat model names, in a private
// mount namespace where the fixed anchor store holds the test anchor.
TEST(ClientVettingTest, TheRunningHelperRefusesExecSwapsInjectionAndDumpableClients) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory temp{"vetting"};
    fs::permissions(temp.path(), fs::perms(0755));
    const test::ClientSigning kit(temp / "signing");
    const auto client = kit.signedCopy("vornelo-cli", kit.leaf);
    const auto self = fs::read_symlink("/proc/self/exe");
    const auto signedSelf = temp / "signing" / "tests";
    fs::copy_file(self, signedSelf);
    if (const auto made = platform::CodeSignature::sign(signedSelf, "com.tessaldon.Vornelo", {kit.leaf.certificate, kit.leaf.key, std::nullopt}); !made) {
        FAIL() << made.error();
    }
    fs::create_directories(temp / "run");
    fs::create_directories(temp / "logs");
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (auto mounted = test::mountClientTrust(kit.anchors, temp / "run"); !mounted.empty()) return mounted;
        const std::string socket(HelperInterface::socketPath);
        const auto nobody = test::unprivilegedAccount();
        const std::vector<std::string> version{"helper", "version", "--socket", socket};
        using Environment = std::map<std::string, std::string>;
        const Environment call{{"VORNELO_TEST_CLIENT", "call"}, {"VORNELO_TEST_SOCKET", socket}};
        Environment early{{"VORNELO_TEST_CLIENT", "connect-exec"}, {"VORNELO_TEST_SOCKET", socket},
                          {"VORNELO_TEST_EARLY", "1"}, {"VORNELO_TEST_EXEC", client.native()}};
        Environment late{{"VORNELO_TEST_CLIENT", "connect-exec"}, {"VORNELO_TEST_SOCKET", socket}, {"VORNELO_TEST_EXEC", self.native()}};
        auto lateHidden = late;
        lateHidden["VORNELO_TEST_NONDUMPABLE"] = "1";
        const Environment turning{{"VORNELO_TEST_CLIENT", "turn-dumpable"}, {"VORNELO_TEST_SOCKET", socket}};
        const struct {
            const char* attack;
            fs::path program;
            std::vector<std::string> arguments;
            Environment environment;
            bool asNobody;
            int exitCode;
        } cases[] = {
            {"the signed client", client, version, {}, false, 0},
            {"the signed client as another user", client, version, {}, true, 0},
            {"a signed client of ours", signedSelf, {}, call, false, 0},
            {"LD_PRELOAD into the signed client", client, version, {{"LD_PRELOAD", "libm.so.6"}}, false, 1},
            {"a dumpable signed client", signedSelf, {}, call, true, 3},
            // Connects and queues a removal as itself, then becomes the signed client, whose own
            // connection is served: the queued removal never reaches a handler (no log line).
            {"an unsigned process that execs the signed client", self, {}, early, false, 0},
            // Passes at accept time, then execs unsigned code that sends on the same connection.
            {"a signed process that execs unsigned code", signedSelf, {}, late, false, 3},
            // The same well within the second between full checks, and not attachable, so only
            // noticing the exec itself refuses it.
            {"a signed process that execs unsigned non-dumpable code", signedSelf, {}, lateHidden, false, 3},
            // Served while not dumpable, refused as soon as it is.
            {"a signed client that turns dumpable after it was served", signedSelf, {}, turning, true, 3},
        };
        std::string complaint;
        // With the kernel's process events, and without them, as in a network namespace of its own.
        for (const bool events : {true, false}) {
            const pid_t daemon = ::fork();
            if (daemon == 0) {
                if (!events && ::unshare(CLONE_NEWNET) != 0) ::_exit(126);
                ::setenv("VORNELO_TEST_VETTED_DAEMON", (temp / "logs").c_str(), 1);
                ::execl(self.c_str(), self.c_str(), nullptr);
                ::_exit(127);
            }
            for (int wait = 0; wait < 500 && !fs::exists(socket); ++wait) std::this_thread::sleep_for(10ms);
            const std::string mode = events ? "" : "without process events, ";
            for (const auto& c : cases) {
                auto environment = c.environment;
                environment["HOME"] = temp.path().native();
                auto arguments = c.arguments;
                arguments.insert(arguments.begin(), {"--reuid=" + std::to_string(c.asNobody ? nobody.uid : 0),
                                                     "--regid=" + std::to_string(c.asNobody ? nobody.gid : 0), "--clear-groups",
                                                     c.program.native()});
                const auto result = test::runProgram("/usr/bin/setpriv", arguments, environment);
                if (result.exitCode != c.exitCode) {
                    complaint += mode + c.attack + " exited " + std::to_string(result.exitCode) + " (" + result.err + "); ";
                }
            }
            ::kill(daemon, SIGTERM);
            ::waitpid(daemon, nullptr, 0);
            const auto lines = test::logMessages(temp / "logs" / "helper.log");
            if (lines != std::vector<std::string>{"helper started (protocol 1)"}) complaint += mode + "the helper logged a refused peer; ";
            fs::remove(temp / "logs" / "helper.log");
            fs::remove(socket);
        }
        return complaint;
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::helper
