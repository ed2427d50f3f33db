#include "Scan/ArtifactScanner.h"
#include "Scan/CacheScanner.h"
#include "Scan/InstalledApplications.h"
#include "Scan/InstallerScanner.h"
#include "Scan/LeftoverScanner.h"
#include "Scan/LogScanner.h"
#include "Scan/ScanOptions.h"

#include <gtest/gtest.h>

namespace vornelo {
namespace {

using namespace scan;

TEST(ScannerRules, NamesAreJudgedByTheTablesAndNothingElse) {
    const std::pair<const char*, bool> logs[] = {
        {"app.log.1", true}, {"app.log.12.gz", true}, {"app.log.old", true}, {"x.log.3.zst", true},
        {"app.log", false},  {"app.log.1a", false},   {".log.1", false},     {"notes.txt.1", false}, {"app.log.", false},
    };
    for (const auto& [name, rotated] : logs) EXPECT_EQ(LogScanner::isRotatedLog(name), rotated) << name;

    const std::pair<const char*, std::optional<Confidence>> installers[] = {
        {"tool_1.0_amd64.deb", Confidence::safe},     {"Tool.AppImage", Confidence::review},
        {"debian-12.iso", Confidence::review},        {"Setup.EXE", Confidence::review},
        {"app-linux-x64.tar.gz", Confidence::review}, {"installer.zip", Confidence::review},
        {"holiday-photos.zip", std::nullopt},         {"report.pdf", std::nullopt},
        {".deb", std::nullopt},                       {"thesis.tar.gz", std::nullopt},
    };
    for (const auto& [name, confidence] : installers) {
        const auto kind = InstallerScanner::kindOf(name);
        EXPECT_EQ(kind ? std::optional(kind->confidence) : std::nullopt, confidence) << name;
    }

    for (const auto* name : {"node_modules", "target", "__pycache__", "cmake-build-debug", ".tox", ".venv"}) {
        EXPECT_TRUE(ArtifactScanner::mayBeArtifact(name)) << name;
    }
    for (const auto* name : {"src", "cmake-build", "Node_Modules", "targets", ".git"}) {
        EXPECT_FALSE(ArtifactScanner::mayBeArtifact(name)) << name;
    }

    EXPECT_EQ(CacheScanner::reasonForCacheEntry("mozilla"), "Firefox's cache; Firefox rebuilds it when needed.");
    EXPECT_NE(CacheScanner::reasonForCacheEntry("some-tool").find("\u201Csome-tool\u201D"), std::string::npos);

    EXPECT_TRUE(LeftoverScanner::sharedFolderReason("autostart", true));
    EXPECT_FALSE(LeftoverScanner::sharedFolderReason("autostart", false)) << "only the settings folder's";
    EXPECT_TRUE(LeftoverScanner::sharedFolderReason("fonts", false));
    EXPECT_TRUE(LeftoverScanner::sharedFolderReason("keyrings", false));
    EXPECT_FALSE(LeftoverScanner::sharedFolderReason("someapp", true));

    EXPECT_EQ(CategoryRules::defaultAgeDays(Category::cache), 0);
    EXPECT_EQ(CategoryRules::defaultAgeDays(Category::leftover), 90);
    for (const auto rule : {KeepRule::oldest, KeepRule::newest, KeepRule::shortestPath, KeepRule::firstNamed}) {
        EXPECT_EQ(keepRuleFromRawValue(rawValue(rule)), rule);
    }
    EXPECT_EQ(keepRuleFromRawValue("largest"), std::nullopt);
}

TEST(ScannerRules, InstalledNamesVouchForTheFoldersNamedAfterThem) {
    InstalledApplications installed;
    for (const auto* name : {"firefox", "org.gnome.Nautilus", "gvfs", "Code", ".hidden"}) installed.add(name);
    const std::pair<const char*, bool> folders[] = {
        {"firefox", true},  {"Firefox", true},       {"nautilus", true}, {"org.gnome.Nautilus", true}, {"code", true},
        {"gvfs-metadata", true}, {"hidden", true},   {".firefox", true}, {"firefox-old", true},
        {"thunderbird", false}, {"gv", false},       {"fire", false},    {"org.example.Gone", false},
    };
    for (const auto& [name, mentioned] : folders) EXPECT_EQ(installed.mentions(name), mentioned) << name;

    const std::pair<const char*, const char*> lines[] = {
        {"/usr/bin/firefox %u", "firefox"},
        {"env GDK_BACKEND=x11 LANG=C /opt/app/bin/app --flag", "app"},
        {"\"/opt/My App/run\" %F", "run"},
        {"  code --new-window", "code"},
        {"", ""},
    };
    for (const auto& [line, program] : lines) EXPECT_EQ(InstalledApplications::programOf(line), program) << line;
}

}  // namespace
}  // namespace vornelo
