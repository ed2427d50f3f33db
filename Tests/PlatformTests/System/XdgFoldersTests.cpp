#include "Platform/System/XdgFolders.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vornelo::platform {
namespace {

TEST(XdgFolders, TheEnvironmentAndUserDirsNameTheFolders) {
    const std::pair<const char*, std::optional<std::string>> lines[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/T\xC3\xA9l\xC3\xA9" "chargements\"\n", "/home/ada/T\xC3\xA9l\xC3\xA9" "chargements"},
        {"# comment\n  XDG_DOWNLOAD_DIR=\"/data/dl/\"\n", "/data/dl"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", std::nullopt},  // unset, by the rules of the file
        {"XDG_DOWNLOAD_DIR=\"relative\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOME/a\\\"b\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOME/one\"\nXDG_DOWNLOAD_DIR=\"$HOME/two\"\n", "/home/ada/two"},
        {"XDG_DOWNLOADS_DIR=\"$HOME/x\"\n", std::nullopt},
    };
    for (const auto& [text, expected] : lines) EXPECT_EQ(XdgFolders::userDirectory(text, "XDG_DOWNLOAD_DIR", "/home/ada"), expected) << text;

    test::TempDirectory home;
    test::writeFile(home / "conf/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Dl\"\n");
    ::setenv("XDG_CONFIG_HOME", (home / "conf").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", "relative/ignored", 1);
    ::setenv("XDG_DATA_DIRS", "/opt/share::relative:/usr/share/", 1);
    const auto folders = XdgFolders::forHome(home.path());
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(folders.downloadDir, (home / "Dl").native());
    EXPECT_EQ(folders.cacheHome, (home / ".cache").native());
    EXPECT_EQ(folders.dataDirs, (std::vector<std::string>{"/opt/share", "/usr/share"}));
}

}  // namespace
}  // namespace vornelo::platform
