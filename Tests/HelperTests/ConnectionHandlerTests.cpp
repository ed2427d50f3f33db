#include "Helper/ConnectionHandler.h"
#include "Helper/DaemonRemovalSteps.h"

#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


namespace vornelo::helper {
namespace {

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
    std::optional<HeldTrash> openTrash(uid_t user) override {
        calls.push_back("trash " + std::to_string(user));
        if (!hasTrash) return std::nullopt;
        return HeldTrash{platform::FileDescriptor(), "/T", "/home/u", user};
    }
    std::expected<JudgedItem, std::string> judge(const std::string& path) override {
        calls.push_back("judge " + path);
        if (const auto it = rejections.find(path); it != rejections.end()) return std::unexpected(it->second);
        const auto kind = path.ends_with(".plist") ? RemovalKind::launchItem : RemovalKind::application;
        return JudgedItem{kind, path, nullptr, std::filesystem::path(path).filename()};
    }
    bool launchctlUsable() override {
        calls.push_back("probe launchctl");
        return canRunLaunchctl;
    }
    void launchctl(const std::vector<std::string>& arguments) override {
        calls.push_back("launchctl " + arguments.at(0) + " " + arguments.at(1) + " " + arguments.at(2));
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
        std::size_t logLines;
    } cases[] = {
        {"600 paths without approval", false, true, 600, ConnectionHandler::notApproved, {"authorize 32"}, 2},
        {"501 paths", true, true, 501, ConnectionHandler::tooMany, {"authorize 32"}, 1},
        {"no usable Trash", true, false, 3, ConnectionHandler::noTrash, {"authorize 32", "trash " + uid}, 1},
        {"an empty request", true, true, 0, "", {"authorize 32", "trash " + uid}, 1},
    };
    for (const auto& testCase : cases) {
        Harness harness;
        harness.steps.authorized = testCase.authorized;
        harness.steps.hasTrash = testCase.hasTrash;
        const auto reply = harness.handler.removeItems(manyPaths(testCase.count), std::vector<std::uint8_t>(32));
        EXPECT_TRUE(reply.moved.empty()) << testCase.what;
        ASSERT_EQ(reply.failed.size(), testCase.count) << testCase.what;
        for (const auto& [path, message] : reply.failed) EXPECT_EQ(message, testCase.message) << testCase.what;
        EXPECT_EQ(harness.steps.calls, testCase.calls) << testCase.what;
        EXPECT_EQ(harness.steps.activeWhenAsked, 1) << testCase.what;
        EXPECT_EQ(harness.idle.activeRequests(), 0) << testCase.what;
        const auto messages = harness.messages();
        ASSERT_EQ(messages.size(), testCase.logLines) << testCase.what;
        EXPECT_EQ(messages[0], "request from uid " + uid + " for " + std::to_string(testCase.count) + " item(s)");
        if (!testCase.authorized) {
            EXPECT_EQ(messages[1], "request from uid " + uid + " refused: no administrator authorization");
        }
    }

    Harness full;
    const auto reply = full.handler.removeItems(manyPaths(500), {});
    EXPECT_EQ(reply.moved.size(), 500U);
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
    const std::map<std::string, std::string> moved = {{"/Applications/Foo.app", "/T/Foo.app 16"},
                                                      {"/Library/LaunchDaemons/d.plist", "/T/d.plist 8"},
                                                      {"/Library/LaunchAgents/a.plist", "/T/a.plist 11"}};
    const std::map<std::string, std::string> failed = {{forged, "Protected path."},
                                                       {"/Applications/Busy.app", "You don't have permission."}};
    EXPECT_EQ(reply.moved, moved);
    EXPECT_EQ(reply.failed, failed);
    const std::vector<std::string> calls = {
        "authorize 32", "trash " + uid, "judge /Applications/Foo.app", "move /Applications/Foo.app",
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
}

TEST(ConnectionHandlerTest, MovesLaunchItemsWithoutLaunchctlWhenItCannotRunAskingOncePerRequest) {
    Harness harness;
    harness.steps.canRunLaunchctl = false;
    for (int request = 0; request < 2; ++request) {
        harness.steps.calls.clear();
        EXPECT_EQ(harness.handler.removeItems({"/L/LaunchDaemons/d.plist", "/L/LaunchAgents/a.plist"}, {}).moved.size(), 2U);
        // authorize, trash, then judge, probe, move, judge, move: no launchctl run, one probe
        EXPECT_EQ(harness.steps.calls.size(), 7U) << request;
        EXPECT_EQ(harness.steps.calls[3], "probe launchctl") << request;
    }
}

TEST(DaemonRemovalStepsTest, RunsLaunchctlOnlyWhenItIsARootOwnedExecutableFileNoOneElseCanWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "telling owners apart needs root";
    test::TempDirectory root;
    const HelperLog log(root / "helper.log");
    const struct { const char* name; mode_t mode; uid_t owner; bool usable; } cases[] = {  // mode 0: none
        {"missing", 0, 0, false},          {"tool", 0755, 0, true},           {"plain", 0644, 0, false},
        {"folder", S_IFDIR | 0755, 0, false},     {"groupWritable", 0775, 0, false}, {"worldWritable", 0757, 0, false},
        {"someoneElses", 0755, 65534, false},
    };
    for (const auto& testCase : cases) {
        const auto path = root / testCase.name;
        if ((testCase.mode & S_IFDIR) != 0) std::filesystem::create_directory(path);
        else if (testCase.mode != 0) test::writeFile(path, "#!/bin/sh\n");
        if (testCase.mode != 0) { ASSERT_EQ(::chmod(path.c_str(), testCase.mode & 07777) | ::chown(path.c_str(), testCase.owner, 0), 0); }
        DaemonRemovalSteps steps({{}, {}, {}, path.native()}, log);
        EXPECT_EQ(steps.launchctlUsable(), testCase.usable) << testCase.name;
        const bool said = test::readFile(root / "helper.log").find("launchctl at " + path.native() + " is not") != std::string::npos;
        EXPECT_EQ(said, !testCase.usable) << testCase.name;
    }
}

TEST(ConnectionHandlerTest, DecodesCallsAndRefusesMalformedParametersWithoutARequest) {
    Harness harness;
    EXPECT_EQ(harness.handler.call("HelperVersion", nlohmann::json::object()).value(), nlohmann::json({{"version", 1}}));
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
        const auto reply = harness.handler.call("RemoveItems", testCase.parameters);
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
                              }, {}, "/nonexistent/launchctl"}, log);

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

}  // namespace
}  // namespace vornelo::helper
