#include "Platform/System/LoginItems.h"
#include "Support/PlatformScenario.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <tuple>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;

LoginItemService::Application example(std::vector<std::string> command = {"example-app"}) {
    return {"org.example.App", "Example", std::move(command)};
}

struct AutostartFolder : ::testing::Test {
    test::TempDirectory root;
    fs::path directory = root / "config/autostart";
    LoginItemService service{example(), directory};
};

TEST_F(AutostartFolder, EntriesSwitchedOffReadAsRequiringApprovalAndThoseNoSessionWouldStartAsNotFound) {
    const std::string entry = "[Desktop Entry]\nType=Application\nExec=example-app\n";
    using enum LoginItemStatus;
    const std::pair<std::string, LoginItemStatus> cases[] = {
        {entry + "Hidden=true\n", requiresApproval},
        {entry + "X-GNOME-Autostart-enabled = false\n", requiresApproval},
        {entry + "Hidden=false\nX-GNOME-Autostart-enabled=1\n", enabled},
        {entry + "[Desktop Action quit]\nHidden=true\n", enabled},  // another group's key
        {"# switched off by the session\r\n[Desktop Entry]\r\nExec=example-app\r\nHidden=true\r\n", requiresApproval},
        {"Exec=example-app\n", notFound},
        {"[Desktop Entry]\nType=Application\n", notFound},
        {"[Desktop Entry]\nType=Link\nExec=example-app\n", notFound},
        {"[Desktop Entry]\nExec=example-app\n" + std::string(LoginItemService::maximumEntryBytes, '#'), notFound},
    };
    for (const auto& [text, status] : cases) {
        test::writeFile(service.entryPath(), text);
        EXPECT_EQ(service.status(), status) << text.substr(0, 120);
    }
    test::writeFile(service.entryPath(), entry + "Hidden=true\n");
    ASSERT_TRUE(service.registerItem());  // enabling again replaces the switched-off entry
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);

    fs::remove(service.entryPath());
    fs::create_directories(service.entryPath());
    EXPECT_EQ(service.status(), LoginItemStatus::notFound);
    fs::remove(service.entryPath());
    ASSERT_EQ(::mkfifo(service.entryPath().c_str(), 0644), 0);
    EXPECT_EQ(service.status(), LoginItemStatus::notFound);  // and returns instead of waiting for a writer
}

TEST_F(AutostartFolder, RegisteringReplacesALinkRatherThanWritingThroughItAndUnregisteringRemovesTheEntry) {
    const auto packaged = root / "packaged.desktop";
    test::writeFile(packaged, "[Desktop Entry]\nExec=example-app\n");
    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(fs::status(directory).permissions(), fs::perms(0700)) << "the folder it makes is private";
    fs::remove(service.entryPath());
    fs::create_symlink(root / "missing.desktop", service.entryPath());
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    fs::remove(service.entryPath());
    fs::create_symlink(packaged, service.entryPath());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);  // read through

    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(std::tuple(service.entryPath(), test::readFile(service.entryPath()), fs::symlink_status(service.entryPath()).permissions(),
                         test::readFile(packaged), test::entryCount(directory)),
              std::tuple(directory / "org.example.App.desktop", service.entryText(), fs::perms(0644),
                         "[Desktop Entry]\nExec=example-app\n", 1));  // a regular file, and no temporary left
    ASSERT_TRUE(service.unregisterItem());
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    EXPECT_TRUE(service.unregisterItem());  // already gone is what was asked
}

TEST_F(AutostartFolder, FailuresAndIdentifiersThatAreNotOneFileNameComeBackAsErrorsAndChangeNothing) {
    // An entry that cannot be removed is reported and kept.
    fs::create_directories(service.entryPath() / "keep");
    const auto stuck = service.unregisterItem();
    ASSERT_FALSE(stuck);
    EXPECT_EQ(stuck.error().code, FileError::writeUnknown);
    EXPECT_TRUE(fs::exists(service.entryPath() / "keep"));

    // Identifiers that are not one file name are refused.
    for (const std::string identifier : {"", "..", "../escape", "a/b"}) {
        const LoginItemService hostile({identifier, "Example", {"example-app"}}, directory);
        EXPECT_FALSE(hostile.registerItem()) << identifier;
        EXPECT_FALSE(hostile.unregisterItem()) << identifier;
        EXPECT_EQ(hostile.status(), LoginItemStatus::notFound) << identifier;
    }
    EXPECT_FALSE(fs::exists(root / "config/escape.desktop"));
    EXPECT_FALSE(LoginItemService(example({}), directory).registerItem());  // nothing to start
}

TEST(LoginItemService, ExecLineQuotesWhatTheSessionWouldSplitOrExpandAndTheFolderFollowsTheXdgConfigHome) {
    const LoginItemService service(example({"/opt/My App/run", "--load=100%", "say \"hi\"", "plain"}), "/unused");
    const auto text = service.entryText();
    EXPECT_NE(text.find("\nExec=\"/opt/My App/run\" --load=100%% \"say \\\\\"hi\\\\\"\" plain\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nName=Example\n"), std::string::npos);

    // The autostart folder follows the XDG config home.
    const test::TestHome home;  // restores HOME and XDG_CONFIG_HOME afterwards
    ::setenv("XDG_CONFIG_HOME", "/srv/config/", 1);
    EXPECT_EQ(LoginItemService::autostartDirectory(), fs::path("/srv/config/autostart"));
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
    EXPECT_EQ(LoginItemService::autostartDirectory(), home.home() / ".config/autostart");
}

}  // namespace
}  // namespace vornelo::platform
