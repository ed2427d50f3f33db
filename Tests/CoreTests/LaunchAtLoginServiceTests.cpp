#include "Core/LaunchAtLoginService.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

namespace vornelo {
namespace {

using platform::LoginItemStatus;
namespace fs = std::filesystem;

TEST(LaunchAtLoginService, RegistersTheApplicationInTheUsersAutostartFolderAndReturnsFailures) {
    const test::TestHome home;
    const auto entry = home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop";
    EXPECT_EQ(LaunchAtLoginService::mainApp().entryPath(), entry);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(true));
    EXPECT_TRUE(LaunchAtLoginService::isEnabled());
    const auto text = test::readFile(entry);
    EXPECT_NE(text.find("\nExec=vornelo\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nName=Vornelo\n"), std::string::npos) << text;

    test::writeFile(entry, text + "Hidden=true\n");  // switched off by the user: requires approval
    EXPECT_EQ(LaunchAtLoginService::status(), LoginItemStatus::requiresApproval);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());
    EXPECT_FALSE(fs::exists(entry));

    // A platform failure is returned, not thrown.
    fs::remove(entry.parent_path());
    test::writeFile(home.home() / ".config/autostart", "in the way");
    std::expected<void, platform::FileError> result;
    EXPECT_NO_THROW(result = LaunchAtLoginService::setEnabled(true));
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().description.empty());

    fs::remove(home.home() / ".config/autostart");
    fs::create_directories(home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop/inside");
    EXPECT_NO_THROW(result = LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace vornelo
