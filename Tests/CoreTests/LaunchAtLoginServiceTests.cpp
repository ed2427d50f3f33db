#include "Core/LaunchAtLoginService.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

namespace vornelo {
namespace {

using platform::LoginItemStatus;
namespace fs = std::filesystem;

TEST(LaunchAtLoginService, RegistersTheApplicationInTheUsersAutostartFolder) {
    const test::TestHome home;
    const auto entry = home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop";
    EXPECT_EQ(LaunchAtLoginService::mainApp().entryPath(), entry);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(true));
    EXPECT_TRUE(LaunchAtLoginService::isEnabled());
    const auto text = test::readFile(entry);
    EXPECT_NE(text.find("\nExec=vornelo\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nName=Vornelo\n"), std::string::npos) << text;

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());
    EXPECT_FALSE(fs::exists(entry));
}

TEST(LaunchAtLoginService, OnlyTheEnabledStatusReadsAsEnabled) {
    const test::TestHome home;
    const auto entry = home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop";
    test::writeFile(entry, "[Desktop Entry]\nType=Application\nExec=vornelo\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_EQ(LaunchAtLoginService::status(), LoginItemStatus::requiresApproval);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());
    test::writeFile(entry, "not an entry at all");
    EXPECT_EQ(LaunchAtLoginService::status(), LoginItemStatus::notFound);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());
}

TEST(LaunchAtLoginService, APlatformFailureIsReturnedNotThrown) {
    const test::TestHome home;
    test::writeFile(home.home() / ".config/autostart", "in the way");
    std::expected<void, platform::FileError> result;
    EXPECT_NO_THROW(result = LaunchAtLoginService::setEnabled(true));
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().description.empty());
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    fs::remove(home.home() / ".config/autostart");
    fs::create_directories(home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop/inside");
    EXPECT_NO_THROW(result = LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace vornelo
