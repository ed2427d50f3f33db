#include "Core/FullDiskAccessCheck.h"
#include "Core/PathProtection.h"
#include "Core/ProtectedFolderAccessCheck.h"
#include "Platform/System/SystemLocations.h"
#include "Support/ChildProcess.h"
#include "Support/CoreScenario.h"
#include "Support/DeleterHarness.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Rule = ProtectionReason::Rule;
using Base = platform::UserFolders::Base;
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
    EXPECT_EQ(protection.protectionReason("/home/u/.aws/credentials")->description(),
              "Inside /home/u/.aws, which holds the credentials and settings of the AWS command-line tools.");
    EXPECT_EQ(protection.protectionReason("/home/u/.netrc")->description(),
              "/home/u/.netrc is protected: it holds the passwords of network logins.");
    EXPECT_EQ(protection.protectionReason("/home/u/.docker")->rule, Rule::ancestorOfPlatformHomeSubtree);
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
    const auto firefox = protection.protectionReason(home + "/.var/app/org.mozilla.firefox");
    ASSERT_TRUE(firefox);
    EXPECT_EQ(std::tuple(firefox->rule, firefox->match),
              std::tuple(Rule::ancestorOfPlatformHomeSubtree, home + "/.var/app/org.mozilla.firefox/.mozilla"));
    EXPECT_EQ(protection.protectionReason(home + "/.var/app/org.chromium.Chromium/config/chromium/Default")->rule,
              Rule::platformHomeSubtree)
        << "a profile is protected by its spelling, existing or not";
}

TEST(LinuxHomeProtectionTest, LocalisedUserFoldersAreProtectedAsTheHomesFoldersAndADamagedFileFallsBackToEnglish) {
    test::TempDirectory directory;
    const auto home = (directory / "home").native();
    writeFile(home + "/.config/user-dirs.dirs",
              "XDG_PICTURES_DIR=\"$HOME/Bilder\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\nXDG_VIDEOS_DIR=\"$HOME\"\n");
    const auto localised = protectionOf(platform::UserFolders::standard(home));
    const auto pictures = localised.protectionReason(home + "/Bilder");
    ASSERT_TRUE(pictures);
    EXPECT_EQ(pictures->description(),
              "The user folder " + home + "/Bilder itself is protected: it is the Pictures folder that user-dirs.dirs names.");
    EXPECT_EQ(localised.protectionReason(home + "/Téléchargements")->rule, Rule::userFolder);
    EXPECT_FALSE(localised.shouldProtect(home + "/Bilder/holiday.jpg"));
    EXPECT_FALSE(localised.shouldProtect(home + "/Videos")) << "the file moved the Videos folder onto the home";
    EXPECT_EQ(localised.protectionReason(home + "/Templates")->rule, Rule::userFolder) << "not named: the English default";

    writeFile(home + "/.config/user-dirs.dirs", std::string(platform::UserDirsFile::maxBytes + 1, 'x'));
    const auto damaged = protectionOf(platform::UserFolders::standard(home));
    EXPECT_FALSE(damaged.shouldProtect(home + "/Bilder"));
    EXPECT_EQ(damaged.protectionReason(home + "/Videos")->rule, Rule::userFolder);
}

TEST(LinuxHomeProtectionTest, TrashFoldersOfOtherFileSystemsAreProtectedAsContainersByTheirNames) {
    const auto protection = protectionOf(platform::UserFolders::standard("/home/u"));
    const std::pair<const char*, bool> cases[] = {
        {"/mnt/usb/.Trash-1000", true}, {"/mnt/usb/.Trash-1000/files", true}, {"/mnt/usb/.Trash-1000/info", true},
        {"/mnt/usb/.Trash", true}, {"/mnt/usb/.Trash/1000", true}, {"/mnt/usb/.Trash/1000/files", true},
        {"/mnt/usb/.Trashes/501/info", true}, {"/mnt/usb/.Trash-1000/files/old.txt", false},
        {"/mnt/usb/.Trash-abc", false}, {"/mnt/usb/.Trash-1000/expunged", false}, {"/mnt/usb/files", false},
        {"/mnt/usb/.Trash/1000/info/old.txt.trashinfo", false}};
    for (const auto& [path, isProtected] : cases) {
        const auto reason = protection.protectionReason(path);
        EXPECT_EQ(reason.has_value(), isProtected) << path;
        if (reason && isProtected) {
            EXPECT_EQ(reason->rule, Rule::trashFolder) << path;
        }
    }
}

TEST(LinuxHomeProtectionTest, AHomeReachedThroughALinkProtectsTheLinuxRowsAndUserFoldersUnderBothSpellings) {
    test::TempDirectory directory;
    fs::create_directories(directory / "real");
    fs::create_directory_symlink(directory / "real", directory / "link");
    writeFile(directory / "real/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
    const auto protection = protectionOf(platform::UserFolders::standard((directory / "link").native()));
    for (const auto& home : {directory / "link", directory / "real"}) {
        EXPECT_EQ(protection.protectionReason(home / ".mozilla/firefox")->rule, Rule::platformHomeSubtree) << home;
        EXPECT_EQ(protection.protectionReason(home / ".local/share/Trash")->rule, Rule::platformHomeContainer) << home;
        EXPECT_EQ(protection.protectionReason(home / "Bureau")->rule, Rule::userFolder) << home;
    }
}

// MARK: The Trash inside an item

std::string failureReasons(const SafeFileDeleter::ExecutionResult& result) {
    std::string text;
    for (const auto& failure : result.failures) text += failure.reason + "|";
    return text;
}

TEST(TrashWithinItemTest, AFolderHoldingTheHomeTrashIsRefusedBeforeAnythingMovesAlsoInADryRun) {
    test::DeleterHarness harness;
    const auto box = harness.home() / "box";
    // A data folder set inside an ordinary folder puts the Trash there.
    ::setenv("XDG_DATA_HOME", (box / "data").c_str(), 1);
    writeFile(box / "data/notes.txt", "kept");
    writeFile(box / "data/Trash/files/old.txt", "old");
    writeFile(harness.home() / "plain/a.txt", "a");
    const auto& deleter = harness.deleter();
    EXPECT_EQ(deleter.trashWithin(box), (box / "data/Trash").native());
    EXPECT_EQ(deleter.trashWithin(box / "data/Trash"), (box / "data/Trash").native());
    EXPECT_EQ(deleter.trashWithin(box / "data/Trash/files/old.txt"), std::nullopt) << "a file holds nothing";
    EXPECT_EQ(deleter.trashWithin(harness.home() / "plain"), std::nullopt);

    const SafeFileDeleter::Plan plan({SafeFileDeleter::Item(box, 100, Category::cache, false),
                                      SafeFileDeleter::Item(harness.home() / "plain", 10, Category::cache, false)},
                                     {}, {});
    const auto rehearsal = harness.run(plan, Mode::trash, true);
    EXPECT_EQ(std::tuple(rehearsal.failed, rehearsal.succeeded, failureReasons(rehearsal)),
              std::tuple(1, 1, std::string(SafeFileDeleter::holdsItsTrashReason) + "|"));
    const auto result = harness.run(plan, Mode::permanent);
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(std::tuple(result.failures[0].path, result.failures[0].recoverySuggestion(), result.errors[0]),
              std::tuple(box.native(), std::string(SafeFileDeleter::holdsItsTrashSuggestion),
                         box.native() + ": " + std::string(SafeFileDeleter::holdsItsTrashReason)));
    EXPECT_EQ(std::tuple(test::readFile(box / "data/notes.txt"), fs::exists(box / "data/Trash/files/old.txt"),
                         fs::exists(harness.home() / "plain"), result.succeeded),
              std::tuple("kept", true, false, 1));
    // The rehearsal's refusal is logged as a rehearsal, so it makes no session of its own.
    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 4u);
    const auto refusal = [&](std::size_t index) {
        return std::tuple(entries[index].path(), entries[index].outcome(), entries[index].dryRun(), entries[index].detail());
    };
    const std::optional<std::string> detail(SafeFileDeleter::holdsItsTrashReason);
    EXPECT_EQ(refusal(0), std::tuple(box.native(), OperationLog::Outcome::failed, true, detail));
    EXPECT_EQ(refusal(2), std::tuple(box.native(), OperationLog::Outcome::failed, false, detail));
}

// The top of another file system holds that file system's Trash.
TEST(TrashWithinItemTest, TheTopOfAnotherFileSystemHoldsItsOwnTrash) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto mountPoint = directory / "volume";
    fs::create_directories(mountPoint);
    EXPECT_TRUE(test::passed(test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) return "no tmpfs";
        fs::create_directories(mountPoint / "folder");
        const test::DeletionEngine engine(directory / "home", directory / "log/operations.log");
        const auto top = engine.deleter().trashWithin(mountPoint);
        const auto expected = (mountPoint / (".Trash-" + std::to_string(::getuid()))).native();
        if (top != expected) return "the top of the volume: " + top.value_or("nothing");
        if (engine.deleter().trashWithin(mountPoint / "folder")) return "a folder on the volume was said to hold its Trash";
        return {};
    })));
}

// MARK: Access checks

TEST(AccessCheckTest, FullDiskAccessNeedsNoConfinementAndAListableHome) {
    test::TempDirectory directory;
    const auto home = directory / "home";
    fs::create_directories(home);
    const auto& files = test::files();
    platform::Confinement flatpak{platform::Confinement::Kind::flatpak, "org.example.App"};
    const auto open = FullDiskAccessCheck::evaluate({}, home, files);
    EXPECT_EQ(std::tuple(open.granted, open.homeListable, open.home), std::tuple(true, true, home.native()));
    EXPECT_FALSE(FullDiskAccessCheck::evaluate(flatpak, home, files).granted);
    EXPECT_FALSE(FullDiskAccessCheck::evaluate({}, directory / "missing", files).granted);
    if (!test::rootSkipReason().empty()) return;
    ::chmod(directory.path().c_str(), 0755);
    ::chmod(home.c_str(), 0700);  // root's own: the unprivileged account may not list it
    EXPECT_TRUE(test::passesAsNobody([&]() -> std::string {
        const auto report = FullDiskAccessCheck::evaluate({}, home, platform::FileManager::defaultManager());
        return !report.granted && !report.homeListable ? "" : "an unlistable home counted as access";
    }));
}

TEST(AccessCheckTest, TheProtectedFoldersAreTheXdgDesktopDocumentsAndDownloadFoldersInWhateverLanguage) {
    test::TempDirectory directory;
    const auto home = (directory / "home").native();
    writeFile(home + "/.config/user-dirs.dirs",
              "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_DOCUMENTS_DIR=\"$HOME\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
    const auto folders = ProtectedFolderAccessCheck::folders(platform::UserFolders::standard(home));
    ASSERT_EQ(folders.size(), 2u) << "a folder switched off onto the home is not probed";
    EXPECT_EQ(std::tuple(folders[0].name, folders[0].path, folders[1].name, folders[1].path),
              std::tuple("Desktop", home + "/Bureau", "Downloads", home + "/Téléchargements"));

    writeFile(home + "/Bureau", "a file, not a folder");
    EXPECT_EQ(ProtectedFolderAccessCheck::deniedFolders(folders, test::files()), std::vector<std::string>{"Desktop"})
        << "Downloads is missing, which is no denial";
    if (!test::rootSkipReason().empty()) return;
    fs::remove(home + "/Bureau");
    fs::create_directories(home + "/Bureau");
    fs::create_directories(home + "/Téléchargements");
    for (const auto& path : {directory.path().native(), home}) ::chmod(path.c_str(), 0755);
    ::chmod((home + "/Téléchargements").c_str(), 0700);
    EXPECT_TRUE(test::passesAsNobody([&]() -> std::string {
        const auto denied = ProtectedFolderAccessCheck::deniedFolders(folders, platform::FileManager::defaultManager());
        return denied == std::vector<std::string>{"Downloads"} ? "" : "wrong denied folders";
    }));
}

}  // namespace
}  // namespace vornelo
