#include "Core/FullDiskAccessCheck.h"
#include "Core/PathProtection.h"
#include "Core/ProtectedFolderAccessCheck.h"
#include "Platform/System/SystemLocations.h"
#include "Support/DeleterHarness.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>


#include <cstdlib>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Rule = ProtectionReason::Rule;
using test::writeFile;
using Mode = SafeFileDeleter::Mode;
using Category = SafeFileDeleter::Category;

PathProtection protectionOf(const platform::UserFolders& folders) {
    return PathProtection(folders, PathProtection::noStrings(), PathProtection::noStrings());
}

// A row's path in a home, with "*" standing for one Flatpak application.
std::string rowPath(const platform::UserFolders& folders, const platform::HomeLocation& row) {
    std::string relative(row.path);
    if (const auto star = relative.find('*'); star != std::string::npos) relative.replace(star, 1, "org.example.App");
    const auto& base = folders.folder(row.base);
    return relative.empty() ? base : base + "/" + relative;
}

// Every row is protected by its rule and says why, in the default places and where XDG variables
// moved the base folders; both spellings count.
TEST(LinuxHomeProtectionTest, EveryRowIsProtectedByItsRuleWithItsReasonInTheDefaultAndTheRelocatedPlaces) {
    const auto standard = platform::UserFolders::standard("/home/u");
    platform::UserFolders moved = standard;
    moved.configHome = "/srv/u-config";
    moved.dataHome = "/home/u/data";
    moved.stateHome = "/home/u/state";
    moved.cacheHome = "/var/tmp/u-cache";
    const auto protection = protectionOf(moved);
    for (const platform::UserFolders* folders : {&standard, static_cast<const platform::UserFolders*>(&moved)}) {
        for (const auto& row : platform::SystemLocations::homeContainers()) {
            const auto path = rowPath(*folders, row);
            const auto reason = protection.protectionReason(path);
            ASSERT_TRUE(reason) << path;
            EXPECT_EQ(std::tuple(reason->rule, reason->explanation), std::tuple(Rule::platformHomeContainer, row.reason)) << path;
            EXPECT_NE(reason->description().find(row.reason), std::string::npos) << reason->description();
        }
        for (const auto& row : platform::SystemLocations::homeSubtrees()) {
            const auto path = rowPath(*folders, row);
            const auto inside = protection.protectionReason(path + "/inner/file");
            ASSERT_TRUE(inside) << path;
            EXPECT_EQ(std::tuple(inside->rule, inside->match, inside->explanation),
                      std::tuple(Rule::platformHomeSubtree, path, row.reason));
            EXPECT_TRUE(protection.shouldProtect(path)) << path;
        }
    }
    EXPECT_EQ(protection.protectionReason("/home/u/.netrc")->description(),
              "/home/u/.netrc is protected: it holds the passwords of network logins.");
    EXPECT_EQ(protection.protectionReason("/home/u/.docker")->rule, Rule::ancestorOfPlatformHomeSubtree);
    EXPECT_EQ(protection.protectionReason("/home/u/state/vornelo/operations.log")->explanation, "holds Vornelo's own operation log");
}

// What a cleanup is for stays cleanable: caches, and whatever the containers hold besides the rows.
TEST(LinuxHomeProtectionTest, CachesAndTheOtherContentsOfTheContainersStayCleanableAndFlatpakFoldersOnlyGuardRealProfiles) {
    test::TempDirectory directory;
    const auto home = (directory / "home").native();
    fs::create_directories(home + "/.var/app/org.mozilla.firefox/.mozilla");
    fs::create_directories(home + "/.var/app/org.gimp.GIMP/config");
    const auto protection = protectionOf(platform::UserFolders::standard(home));
    for (const auto* relative : {"/.cache/mozilla", "/.cache/google-chrome/Default/Cache", "/.cache/thumbnails",
                                 "/.config/some-app", "/.local/share/Trash/files/old.txt", "/.local/share/recently-used.xbel",
                                 "/.var/app/org.gimp.GIMP", "/.var/app/org.gimp.GIMP/config",
                                 "/.var/app/org.mozilla.firefox/cache", "/.mozillaX", "/.awsome", "/snap/firefox/common/.cache",
                                 "/Templates/letter.odt", "/.local/state/app.log"}) {
        EXPECT_FALSE(protection.shouldProtect(home + relative)) << relative;
    }
    // The Trash folders of other file systems, by their names; what they hold stays cleanable.
    for (const auto* path : {"/mnt/usb/.Trash-1000", "/mnt/usb/.Trash-1000/files", "/mnt/usb/.Trash-1000/info", "/mnt/usb/.Trash",
                             "/mnt/usb/.Trash/1000", "/mnt/usb/.Trash/1000/files", "/mnt/usb/.Trashes/501/info"}) {
        EXPECT_EQ(protection.protectionReason(path).value_or(ProtectionReason{}).rule, Rule::trashFolder) << path;
    }
    for (const auto* path : {"/mnt/usb/.Trash-1000/files/old.txt", "/mnt/usb/.Trash-abc", "/mnt/usb/.Trash-1000/expunged",
                             "/mnt/usb/files", "/mnt/usb/.Trash/1000/info/old.txt.trashinfo"}) {
        EXPECT_FALSE(protection.shouldProtect(path)) << path;
    }
    const auto firefox = protection.protectionReason(home + "/.var/app/org.mozilla.firefox");
    ASSERT_TRUE(firefox);
    EXPECT_EQ(std::tuple(firefox->rule, firefox->match),
              std::tuple(Rule::ancestorOfPlatformHomeSubtree, home + "/.var/app/org.mozilla.firefox/.mozilla"));
    EXPECT_EQ(protection.protectionReason(home + "/.var/app/org.chromium.Chromium/config/chromium/Default")->rule,
              Rule::platformHomeSubtree)
        << "a profile is protected by its spelling, existing or not";
}

// Also for a home reached through a link: both spellings count.
TEST(LinuxHomeProtectionTest, LocalisedUserFoldersAreTheHomesFolders) {
    test::TempDirectory directory;
    const auto real = (directory / "real").native();
    fs::create_directories(real);
    fs::create_directory_symlink(real, directory / "link");
    writeFile(real + "/.config/user-dirs.dirs",
              "XDG_PICTURES_DIR=\"$HOME/Bilder\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\nXDG_VIDEOS_DIR=\"$HOME\"\n");
    const auto link = (directory / "link").native();
    const auto localised = protectionOf(platform::UserFolders::standard(link));
    EXPECT_EQ(localised.protectionReason(link + "/Bilder")->description(),
              "The user folder " + link + "/Bilder itself is protected: it is the Pictures folder that user-dirs.dirs names.");
    for (const auto& home : {link, real}) {
        EXPECT_EQ(localised.protectionReason(home + "/Téléchargements")->rule, Rule::userFolder) << home;
        EXPECT_EQ(localised.protectionReason(home + "/Templates")->rule, Rule::userFolder) << "not named: the English default";
        EXPECT_EQ(localised.protectionReason(home + "/.mozilla/firefox")->rule, Rule::platformHomeSubtree) << home;
        EXPECT_FALSE(localised.shouldProtect(home + "/Bilder/holiday.jpg"));
        EXPECT_FALSE(localised.shouldProtect(home + "/Videos")) << "the file moved the Videos folder onto the home";
    }
}

// MARK: The Trash inside an item

TEST(TrashWithinItemTest, AFolderHoldingTheHomeTrashIsRefusedBeforeAnythingMovesAlsoInADryRun) {
    test::DeleterHarness harness;
    const auto box = harness.home() / "box";
    ::setenv("XDG_DATA_HOME", (box / "data").c_str(), 1);  // puts the Trash inside an ordinary folder
    writeFile(box / "data/Trash/files/old.txt", "old");
    writeFile(harness.home() / "plain/a.txt", "a");
    const auto& deleter = harness.deleter();
    EXPECT_EQ(std::tuple(deleter.trashWithin(box), deleter.trashWithin(box / "data/Trash/files/old.txt")),
              std::tuple((box / "data/Trash").native(), std::nullopt));

    const SafeFileDeleter::Plan plan({SafeFileDeleter::Item(box, 100, Category::cache, false),
                                      SafeFileDeleter::Item(harness.home() / "plain", 10, Category::cache, false)},
                                     {}, {});
    const auto rehearsal = harness.run(plan, Mode::trash, true);
    const auto result = harness.run(plan, Mode::permanent);
    ::unsetenv("XDG_DATA_HOME");
    const std::string reason(SafeFileDeleter::holdsItsTrashReason);
    EXPECT_EQ(std::tuple(rehearsal.failed, rehearsal.succeeded, rehearsal.errors), std::tuple(1, 1, result.errors));
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(std::tuple(result.failures[0].recoverySuggestion(), result.errors[0], result.succeeded),
              std::tuple(std::string(SafeFileDeleter::holdsItsTrashSuggestion), box.native() + ": " + reason, 1));
    EXPECT_EQ(std::tuple(fs::exists(box / "data/Trash/files/old.txt"), fs::exists(harness.home() / "plain")), std::tuple(true, false));
    // The rehearsal's refusal is logged as a rehearsal, so it makes no session of its own.
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 4u);
    for (const std::size_t index : {0u, 2u}) {
        EXPECT_EQ(std::tuple(entries[index].path(), entries[index].outcome(), entries[index].dryRun(), entries[index].detail()),
                  std::tuple(box.native(), OperationLog::Outcome::failed, index == 0, std::optional(reason)));
    }
}

// MARK: Access checks

TEST(AccessCheckTest, FullAccessNeedsNoConfinementAndAListableHomeAndTheFoldersAreTheXdgOnesInWhateverLanguage) {
    test::TempDirectory directory;
    const auto home = (directory / "home").native();
    writeFile(home + "/.config/user-dirs.dirs",
              "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_DOCUMENTS_DIR=\"$HOME\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
    const platform::Confinement flatpak{platform::Confinement::Kind::flatpak, "org.example.App"};
    EXPECT_EQ(std::tuple(FullDiskAccessCheck::evaluate({}, home, test::files()).granted,
                         FullDiskAccessCheck::evaluate(flatpak, home, test::files()).granted,
                         FullDiskAccessCheck::evaluate({}, directory / "missing", test::files()).granted),
              std::tuple(true, false, false));

    const auto folders = ProtectedFolderAccessCheck::folders(platform::UserFolders::standard(home));
    ASSERT_EQ(folders.size(), 2u) << "a folder switched off onto the home is not probed";
    EXPECT_EQ(std::tuple(folders[0].name, folders[0].path, folders[1].name, folders[1].path),
              std::tuple("Desktop", home + "/Bureau", "Downloads", home + "/Téléchargements"));
    writeFile(home + "/Bureau", "a file, not a folder");
    EXPECT_EQ(ProtectedFolderAccessCheck::deniedFolders(folders, test::files()), std::vector<std::string>{"Desktop"})
        << "Downloads is missing, which is no denial";
}

}  // namespace
}  // namespace vornelo
