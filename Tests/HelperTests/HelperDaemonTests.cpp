// The daemon's parts with their collaborators scripted, and the kernel's process events its client
// check uses; the daemon itself, run as root with its real client and real polkit, is tried
// (its client check too) in HelperRemovalTests.
#include "Helper/AdministratorApproval.h"
#include "Helper/ConnectionHandler.h"
#include "Helper/DaemonRemovalSteps.h"
#include "Core/HelperInterface.h"
#include "Helper/HelperLog.h"
#include "Helper/IdleMonitor.h"
#include "Platform/Identity/ExecWatch.h"
#include "Support/ChildProcess.h"
#include "Support/LogCapture.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <tuple>

namespace vornelo::helper {
namespace {

using namespace platform;
using namespace std::chrono_literals;

// Records each step taken; verdicts come from the test's tables.
class RecordingSteps : public RemovalSteps {
public:
    explicit RecordingSteps(IdleMonitor& idle) : idle_(idle) {}
    bool authorized = true;
    bool hasTrash = true;
    bool canRunLaunchctl = true;
    std::map<std::string, std::string> rejections;   // path -> reason
    std::map<std::string, std::string> moveErrors;   // path -> description
    std::vector<std::string> calls;
    std::int64_t activeWhenAsked = -1;

    bool isAuthorized(std::span<const std::uint8_t> form, const platform::SocketPeer&) override {
        calls.push_back("authorize " + std::to_string(form.size()));
        activeWhenAsked = idle_.activeRequests();
        return authorized;
    }
    platform::OSStatus refusal = platform::errAuthorizationDenied;
    platform::OSStatus authorizationStatus(std::span<const std::uint8_t> form, const platform::SocketPeer& peer) override {
        return isAuthorized(form, peer) ? platform::errAuthorizationSuccess : refusal;
    }
    std::optional<HeldTrash> openTrash(uid_t user) override {
        calls.push_back("trash " + std::to_string(user));
        if (!hasTrash) return std::nullopt;
        return HeldTrash{platform::FileDescriptor(), "/T", "/home/u", user};
    }
    std::expected<JudgedItem, std::string> judge(const std::string& path) override {
        calls.push_back("judge " + path);
        if (const auto it = rejections.find(path); it != rejections.end()) return std::unexpected(it->second);
        const auto kind = path.ends_with(".plist") || path.ends_with(".service") ? RemovalKind::launchItem : RemovalKind::application;
        return JudgedItem{kind, path, nullptr, std::filesystem::path(path).filename()};
    }
    bool launchctlUsable() override {
        calls.push_back("probe launchctl");
        return canRunLaunchctl;
    }
    void launchctl(const std::vector<std::string>& arguments) override {
        calls.push_back("launchctl " + arguments.at(0) + " " + arguments.at(1) + " " + arguments.at(2));
    }
    std::map<std::string, std::string> packaged;  // path -> reason
    std::map<std::string, std::string> packageRefusals(const std::vector<std::string>& paths) override {
        calls.push_back("packages " + std::to_string(paths.size()));
        return packaged;
    }
    void systemctl(const std::vector<std::string>& arguments) override {
        std::string call = "systemctl";
        for (const auto& argument : arguments) call += " " + argument;
        calls.push_back(call);
    }
    std::expected<std::filesystem::path, std::string> moveToTrash(const JudgedItem& item, const HeldTrash& trash) override {
        calls.push_back("move " + item.path);
        if (const auto it = moveErrors.find(item.path); it != moveErrors.end()) return std::unexpected(it->second);
        return trash.path / (item.name + " " + std::to_string(calls.size()));
    }
    IdleMonitor& idle_;
};

struct Harness {
    test::TempDirectory directory;
    HelperLog log{directory / "helper.log", [] { return std::chrono::system_clock::time_point{}; }};
    IdleMonitor idle{{}, [] { return std::chrono::system_clock::now(); }, [] {}};
    RecordingSteps steps{idle};
    platform::SocketPeer peer = test::ownPeer();
    ConnectionHandler handler{peer, steps, idle, log};
    std::vector<std::string> messages() const { return test::logMessages(log.file()); }
};

std::vector<std::string> manyPaths(std::size_t count) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) paths.push_back("/Applications/App" + std::to_string(i) + ".app");
    return paths;
}

TEST(ConnectionHandlerTest, RefusesWholeRequestsInOrderAuthorizationFirst) {
    const std::string uid = std::to_string(::geteuid());
    const struct {
        const char* what;
        bool authorized;
        bool hasTrash;
        std::size_t count;
        std::string_view message;
        std::vector<std::string> calls;
        std::size_t requested = 0;  // more than count: the service kept only the first paths
    } cases[] = {
        {"600 paths without approval", false, true, 600, ConnectionHandler::notApproved, {"authorize 32"}},
        {"501 paths", true, true, 501, ConnectionHandler::tooMany, {"authorize 32"}},
        {"200000 paths, 501 kept, without approval", false, true, 501, ConnectionHandler::notApproved, {"authorize 32"}, 200000},
        {"200000 paths, 501 kept", true, true, 501, ConnectionHandler::tooMany, {"authorize 32"}, 200000},
        {"no usable Trash", true, false, 3, ConnectionHandler::noTrash, {"authorize 32", "trash " + uid}},
        {"an empty request", true, true, 0, "", {"authorize 32", "trash " + uid, "packages 0"}},
    };
    for (const auto& testCase : cases) {
        Harness harness;
        harness.steps.authorized = testCase.authorized;
        // Refused because no agent could ask anyone: said so, rather than that an administrator refused.
        if (testCase.message == ConnectionHandler::notApproved && testCase.requested == 0) {
            harness.steps.refusal = platform::errAuthorizationInteractionNotAllowed;
            EXPECT_EQ(harness.handler.removeItems({"/opt/x"}, {}).failed.at("/opt/x"), ConnectionHandler::noAgent);
            harness.steps.refusal = platform::errAuthorizationDenied;
            harness.steps.calls.clear();
            std::filesystem::remove(harness.log.file());
        }
        harness.steps.hasTrash = testCase.hasTrash;
        const auto requested = testCase.requested ? std::optional(testCase.requested) : std::nullopt;
        const auto reply = harness.handler.removeItems(manyPaths(testCase.count), std::vector<std::uint8_t>(32), requested);
        EXPECT_TRUE(reply.moved.empty()) << testCase.what;
        ASSERT_EQ(reply.failed.size(), testCase.count) << testCase.what;
        for (const auto& [path, message] : reply.failed) EXPECT_EQ(message, testCase.message) << testCase.what;
        EXPECT_EQ(harness.steps.calls, testCase.calls) << testCase.what;
        EXPECT_EQ(harness.steps.activeWhenAsked, 1) << testCase.what;
        EXPECT_EQ(harness.idle.activeRequests(), 0) << testCase.what;
        const auto named = std::max(testCase.count, testCase.requested);
        std::vector<std::string> lines{"request from uid " + uid + " for " + std::to_string(named) + " item(s)"};
        if (!testCase.authorized) lines.push_back("request from uid " + uid + " refused: no administrator authorization");
        EXPECT_EQ(harness.messages(), lines) << testCase.what;
    }
}

TEST(ConnectionHandlerTest, JudgesBootsOutAndMovesEachPathAndLogsClientValuesEscaped) {
    Harness harness;
    const std::string uid = std::to_string(::geteuid());
    const std::string forged = "/Applications/X.app\n1970-01-01T00:00:00Z moved /etc to the Trash of uid 0";
    harness.steps.rejections[forged] = "Protected path.";
    harness.steps.moveErrors["/Applications/Busy.app"] = "You don't have permission.";
    const std::vector<std::string> paths = {"/Applications/Foo.app", "/Library/LaunchDaemons/d.plist",
                                            "/Library/LaunchAgents/a.plist", forged, "/Applications/Busy.app",
                                            "/Applications/Foo.app"};
    const auto reply = harness.handler.removeItems(paths, std::vector<std::uint8_t>(32));

    // A path given twice is handled twice; the later move's place wins.
    const std::map<std::string, std::string> moved = {{"/Applications/Foo.app", "/T/Foo.app 17"},
                                                      {"/Library/LaunchDaemons/d.plist", "/T/d.plist 9"},
                                                      {"/Library/LaunchAgents/a.plist", "/T/a.plist 12"}};
    const std::map<std::string, std::string> failed = {{forged, "Protected path."},
                                                       {"/Applications/Busy.app", "You don't have permission."}};
    EXPECT_EQ(reply.moved, moved);
    EXPECT_EQ(reply.failed, failed);
    const std::vector<std::string> calls = {
        "authorize 32", "trash " + uid, "packages 6", "judge /Applications/Foo.app", "move /Applications/Foo.app",
        "judge /Library/LaunchDaemons/d.plist", "probe launchctl", "launchctl bootout system /Library/LaunchDaemons/d.plist",
        "move /Library/LaunchDaemons/d.plist", "judge /Library/LaunchAgents/a.plist",
        "launchctl bootout gui/" + uid + " /Library/LaunchAgents/a.plist", "move /Library/LaunchAgents/a.plist",
        "judge " + forged, "judge /Applications/Busy.app", "move /Applications/Busy.app",
        "judge /Applications/Foo.app", "move /Applications/Foo.app"};
    EXPECT_EQ(harness.steps.calls, calls);
    const std::vector<std::string> messages = {
        "request from uid " + uid + " for 6 item(s)",
        "moved /Applications/Foo.app to the Trash of uid " + uid,
        "moved /Library/LaunchDaemons/d.plist to the Trash of uid " + uid,
        "moved /Library/LaunchAgents/a.plist to the Trash of uid " + uid,
        "refused /Applications/X.app\\n1970-01-01T00:00:00Z moved /etc to the Trash of uid 0: Protected path.",
        "failed /Applications/Busy.app: You don't have permission.",
        "moved /Applications/Foo.app to the Trash of uid " + uid};
    EXPECT_EQ(harness.messages(), messages);

    // A launchctl that cannot run is asked about once per request, and the items move anyway.
    harness.steps.canRunLaunchctl = false;
    for (int request = 0; request < 2; ++request) {
        harness.steps.calls.clear();
        EXPECT_EQ(harness.handler.removeItems({"/L/LaunchDaemons/d.plist", "/L/LaunchAgents/a.plist"}, {}).moved.size(), 2U);
        EXPECT_EQ(harness.steps.calls, (std::vector<std::string>{"authorize 0", "trash " + uid, "packages 2", "judge /L/LaunchDaemons/d.plist", "probe launchctl",
                                                                 "move /L/LaunchDaemons/d.plist", "judge /L/LaunchAgents/a.plist", "move /L/LaunchAgents/a.plist"}))
            << request;
    }
}

TEST(ConnectionHandlerTest, AsksThePackageManagerOnceAndStopsUnitsBeforeTheyMove) {
    Harness harness;
    const std::string uid = std::to_string(::geteuid());
    harness.steps.packaged = {{"/opt/packaged", "Holds files of the package p."}, {"/opt/gone", "Belongs to the package p."}};
    harness.steps.rejections["/opt/gone"] = "No longer exists.";
    const auto reply = harness.handler.removeItems({"/opt/packaged", "/etc/systemd/system/-x.service", "/opt/gone", "/opt/free"},
                                                   std::vector<std::uint8_t>(32));
    // The policy speaks first; the package's claim refuses only what the policy accepted.
    EXPECT_EQ(reply.failed, (std::map<std::string, std::string>{{"/opt/packaged", "Holds files of the package p."}, {"/opt/gone", "No longer exists."}}));
    EXPECT_EQ(reply.moved.size(), 2U);
    EXPECT_EQ(harness.steps.calls, (std::vector<std::string>{"authorize 32", "trash " + uid, "packages 4", "judge /opt/packaged",
                                                             "judge /etc/systemd/system/-x.service", "systemctl disable --now -- -x.service",
                                                             "move /etc/systemd/system/-x.service", "judge /opt/gone", "judge /opt/free",
                                                             "move /opt/free"}));
    EXPECT_EQ(harness.messages().at(1), "refused /opt/packaged: Holds files of the package p.");

    // Through the socket, a request stays counted in until its reply is out.
    ASSERT_TRUE(harness.handler.call("RemoveItems", {{"paths", {"/opt/free"}}, {"authorization", ""}}, {}).has_value());
    EXPECT_EQ(harness.idle.activeRequests(), 1);
    harness.handler.replySent();
    harness.handler.replySent();
    EXPECT_EQ(harness.idle.activeRequests(), 0);
}

TEST(DaemonRemovalStepsTest, RunsLaunchctlWhenMissingOrARootOwnedExecutableFileNoOneElseCanWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "telling owners apart needs root";
    test::TempDirectory root;
    const HelperLog log(root / "helper.log");
    const struct { const char* name; mode_t mode; uid_t owner; bool usable; } cases[] = {  // mode 0: none
        {"missing", 0, 0, true},           {"tool", 0755, 0, true},           {"plain", 0644, 0, false},
        {"folder", S_IFDIR | 0755, 0, false},     {"groupWritable", 0775, 0, false}, {"worldWritable", 0757, 0, false},
        {"someoneElses", 0755, 65534, false},
    };
    for (const auto& testCase : cases) {
        const auto path = root / testCase.name;
        if ((testCase.mode & S_IFDIR) != 0) std::filesystem::create_directory(path);
        else if (testCase.mode != 0) test::writeFile(path, "#!/bin/sh\n");
        if (testCase.mode != 0) { ASSERT_EQ(::chmod(path.c_str(), testCase.mode & 07777) | ::chown(path.c_str(), testCase.owner, 0), 0); }
        DaemonRemovalSteps steps({{}, {}, {}, path.native(), {}, {}, {}}, log);
        EXPECT_EQ(steps.launchctlUsable(), testCase.usable) << testCase.name;
        const bool said = test::readFile(root / "helper.log").find("launchctl at " + path.native() + " is not") != std::string::npos;
        EXPECT_EQ(said, !testCase.usable) << testCase.name;
    }
}

TEST(ConnectionHandlerTest, DecodesCallsAndRefusesMalformedParametersWithoutARequest) {
    Harness harness;
    const struct {
        nlohmann::json parameters;
        const char* parameter;
    } cases[] = {
        {{{"authorization", ""}}, "paths"},
        {{{"paths", {"/a", 3}}, {"authorization", ""}}, "paths"},
        {{{"paths", nlohmann::json::array()}}, "authorization"},
        {{{"paths", nlohmann::json::array()}, {"authorization", "not base64!"}}, "authorization"},
    };
    for (const auto& testCase : cases) {
        const auto reply = harness.handler.call("RemoveItems", testCase.parameters, {});
        ASSERT_FALSE(reply.has_value()) << testCase.parameters;
        EXPECT_EQ(reply.error().parameters["parameter"], testCase.parameter) << testCase.parameters;
    }
    EXPECT_TRUE(harness.messages().empty());
    EXPECT_TRUE(harness.steps.calls.empty());
}

TEST(DaemonRemovalStepsTest, HoldsWhatThePolicyJudgedAndRefusesWhatChangedMeanwhile) {
    test::TempDirectory root;
    std::filesystem::create_directories(root / "Applications" / "Foo.app");
    std::filesystem::create_directories(root / "Elsewhere" / "Foo.app");
    std::filesystem::create_directory_symlink(root / "Applications", root / "Linked");
    const HelperLog log(root / "helper.log");
    std::function<void()> duringVerdict = [] {};
    DaemonRemovalSteps steps({{}, [&](const std::string& path) -> std::expected<RemovalKind, std::string> {
                                  duringVerdict();
                                  if (path.ends_with("Protected.app")) return std::unexpected(std::string("Protected path."));
                                  return RemovalKind::application;
                              }, {}, "/nonexistent/launchctl", {}, {}, {}}, log);

    const auto held = steps.judge((root / "Applications" / "Foo.app/").native());
    ASSERT_TRUE(held.has_value()) << held.error();
    EXPECT_EQ(held->name, "Foo.app");
    struct stat viaHold {}, viaPath {};
    ASSERT_EQ(::fstatat(held->parent->get(), held->name.c_str(), &viaHold, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(::stat((root / "Applications" / "Foo.app").c_str(), &viaPath), 0);
    EXPECT_EQ(viaHold.st_ino, viaPath.st_ino);

    EXPECT_EQ(steps.judge((root / "Applications" / "Protected.app").native()).error(), "Protected path.");
    EXPECT_FALSE(steps.judge((root / "Linked" / "Foo.app").native()).has_value());
    duringVerdict = [&] {
        std::filesystem::rename(root / "Applications" / "Foo.app", root / "Old.app");
        std::filesystem::rename(root / "Elsewhere" / "Foo.app", root / "Applications" / "Foo.app");
    };
    const auto swapped = steps.judge((root / "Applications" / "Foo.app").native());
    ASSERT_FALSE(swapped.has_value());
    EXPECT_NE(swapped.error().find("changed while it was being checked"), std::string::npos);

    // What is not wired yet refuses: no verdict, no move.
    EXPECT_FALSE(steps.isAuthorized(std::vector<std::uint8_t>(32), test::ownPeer()));
    EXPECT_NE(test::readFile(root / "helper.log").find("authorization not granted: -60008"), std::string::npos);
    EXPECT_FALSE(steps.moveToTrash(*held, HeldTrash{}).has_value());
}

// polkit's answers about the right come from the test.
class ScriptedAuthorization : public Authorization {
public:
    OSStatus known = errAuthorizationSuccess;
    OSStatus stored = errAuthorizationSuccess;
    mutable std::vector<std::string> asked;

    OSStatus rightGet(std::string_view name) const override {
        asked.push_back("rightGet " + std::string(name));
        return known;
    }
    OSStatus rightSet(const AuthorizationRef&, std::string_view name, std::string_view rule, std::string_view prompt) const override {
        asked.push_back("rightSet " + std::string(name) + " " + std::string(rule) + " " + std::string(prompt));
        return stored;
    }
};

TEST(AdministratorApprovalTest, DefinesTheRightOnlyWhenPolkitDoesNotKnowIt) {
    const std::string set = "rightSet com.tessaldon.Vornelo.helper.remove authenticate-admin " + std::string(AdministratorApproval::prompt);
    for (const auto& [known, stored, line] : {std::tuple{errAuthorizationSuccess, 0, ""}, {errAuthorizationDenied, 0, "defined authorization right"},
                                              {errAuthorizationDenied, errAuthorizationDenied, "could not define authorization right: -60005"}}) {
        test::TempDirectory directory;
        const HelperLog log(directory / "helper.log");
        ScriptedAuthorization authorization;
        authorization.known = known;
        authorization.stored = stored;
        AdministratorApproval(authorization, log).defineAuthorizationRight();
        EXPECT_EQ(authorization.asked.back(), known == 0 ? "rightGet com.tessaldon.Vornelo.helper.remove" : set);
        EXPECT_EQ(test::logMessages(log.file()), *line ? std::vector<std::string>{line} : std::vector<std::string>{});
    }
}

TEST(HelperLogTest, WritesWholeTimestampedLinesToTheFileAndTheSystemLogWhereClientValuesCannotFakeALine) {
    const struct {
        std::string value;
        std::string logged;
    } cases[] = {
        {"/Applications/Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.app", "/Applications/Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.app"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"back\\nslash", "back\\\\nslash"},
        {"next\xc2\x85line\xc2\x9f", "next\\u0085line\\u009f"},
        {"\xe2\x80\xa8 \xe2\x80\xa9", "\\u2028 \\u2029"},
        {"\xff\xc0\xaf", "\\xff\\xc0\\xaf"},                 // stray byte, overlong slash
        {"\xed\xa0\x80 \xe2\x80", "\\xed\\xa0\\x80 \\xe2\\x80"},  // surrogate, cut sequence
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(HelperLog::clientValue(testCase.value), testCase.logged) << testCase.logged;
    }

    test::TempDirectory directory;
    test::LogCapture capture;
    const auto file = directory / "Logs" / "Vornelo" / "helper.log";
    const HelperLog log(file, [] { return std::chrono::sys_days{std::chrono::year{2026} / 3 / 4} + std::chrono::hours(5); });

    log.note("helper started (protocol 1)");
    log.note("refused " + HelperLog::clientValue("/x\n2026-03-04T05:00:00Z moved /y") + ": Protected path.");
    EXPECT_EQ(test::readFile(file),
              "2026-03-04T05:00:00Z helper started (protocol 1)\n"
              "2026-03-04T05:00:00Z refused /x\\n2026-03-04T05:00:00Z moved /y: Protected path.\n");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].subsystem + " " + records[0].category + " " + records[0].message,
              "com.tessaldon.Vornelo.helper helper helper started (protocol 1)");
    EXPECT_EQ(records[0].level, platform::LogLevel::defaultLevel);

    // The file is held between lines; one deleted meanwhile is made again, not written into the void.
    std::filesystem::remove_all(directory / "Logs");
    log.note("after rotation");
    EXPECT_EQ(test::readFile(file), "2026-03-04T05:00:00Z after rotation\n");

    // A log folder that cannot be made still leaves the system log line.
    test::writeFile(directory / "blocker");
    HelperLog(directory / "blocker" / "helper.log").note("still told");
    EXPECT_EQ(capture.records().back().message, "still told");
}

TEST(IdleMonitorTest, ExitsOnlyWhenNoRequestIsActiveAndMoreThanTheThresholdPassed) {
    // Steps on a hand-driven clock: 'b' begins a request, 'e' ends one, 'c' admits a connection,
    // 't' ticks; the number is the clock in seconds, the flag whether that tick exits.
    struct Step { char action; double at; bool exits = false; };
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"never asked: exactly 60 s stays, later goes", {{'t', 30}, {'t', 60}, {'t', 60.001, true}}},
        {"overlapping requests: the later end counts",
         {{'b', 0}, {'b', 5}, {'e', 100}, {'t', 170}, {'e', 180}, {'t', 240}, {'t', 241, true}}},
        {"a connection admitted just before the limit is not cut off before its first request",
         {{'c', 59}, {'t', 61}, {'t', 119}, {'t', 119.5, true}}},
    };
    for (const auto& testCase : cases) {
        std::atomic<double> now{0};
        int exits = 0;
        IdleMonitor monitor({}, [&] { return std::chrono::system_clock::time_point{} + 1000h + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(now.load())); }, [&] { ++exits; });
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

TEST(HelperDaemonTest, TheProtocolDescriptionQuotesTheServedInterfaceAndTheUnitsPassSystemdVerify) {
    const auto doc = test::readFile(VORNELO_SOURCE_DIR "/docs/helper-protocol.md");
    const auto start = doc.find("```varlink\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(doc.substr(start + 11, doc.find("```", start + 11) - start - 11), HelperInterface::text);

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
