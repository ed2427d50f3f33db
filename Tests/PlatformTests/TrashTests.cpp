#include "Platform/Trash.h"

#include "Platform/FileManager.h"
#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace vornelo::platform {
namespace {

using test::readFile;
using test::writeFile;

namespace fs = std::filesystem;

FileManager& files() { return FileManager::defaultManager(); }

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_uid;
}

TEST(Trash, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(Trash::numberedName("Foo.app", 2), "Foo 2.app");
    EXPECT_EQ(Trash::numberedName("Foo.app", 3), "Foo 3.app");
    EXPECT_EQ(Trash::numberedName("com.example.agent.plist", 2), "com.example.agent 2.plist");
    EXPECT_EQ(Trash::numberedName("archive.tar.gz", 2), "archive.tar 2.gz");
    EXPECT_EQ(Trash::numberedName("tool", 2), "tool 2");
    EXPECT_EQ(Trash::numberedName(".hidden", 2), ".hidden 2");
    EXPECT_EQ(Trash::numberedName("file.", 12), "file 12");
}

TEST(Trash, NumberedNamesStayWithinTheNameLimitWithoutSplittingCharacters) {
    std::string longName;
    for (int i = 0; i < 126; ++i) longName += "\xC3\xA9";  // 252 bytes of "é"
    longName += ".txt";
    const auto numbered = Trash::numberedName(longName, 2);
    EXPECT_LE(numbered.size(), 255u);
    EXPECT_TRUE(numbered.ends_with(" 2.txt"));
    const auto base = numbered.substr(0, numbered.size() - 6);
    EXPECT_EQ(base.size() % 2, 0u) << "a two-byte character was cut in half";
}

TEST(Trash, MovesIntoThePrivateHomeTrashAndReportsWhere) {
    test::TestHome home;
    const auto item = home.home() / "Downloads" / "report.pdf";
    writeFile(item, "report");
    const auto trashed = files().trashItem(item);
    ASSERT_TRUE(trashed) << trashed.error().description;
    EXPECT_EQ(*trashed, home.home() / ".Trash" / "report.pdf");
    EXPECT_EQ(readFile(*trashed), "report");
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(modeOf(home.home() / ".Trash"), 0700u);
}

TEST(Trash, TakenNamesAreSkippedAndNothingIsReplaced) {
    test::TestHome home;
    std::vector<fs::path> places;
    for (int round = 1; round <= 3; ++round) {
        const auto item = home.home() / "Applications" / "Foo.app";
        writeFile(item / "Contents" / "marker", "round " + std::to_string(round));
        const auto trashed = files().trashItem(item);
        ASSERT_TRUE(trashed) << trashed.error().description;
        places.push_back(*trashed);
    }
    const auto trash = home.home() / ".Trash";
    EXPECT_EQ(places, (std::vector<fs::path>{trash / "Foo.app", trash / "Foo 2.app", trash / "Foo 3.app"}));
    for (int round = 1; round <= 3; ++round) {
        EXPECT_EQ(readFile(places[static_cast<std::size_t>(round - 1)] / "Contents" / "marker"),
                  "round " + std::to_string(round));
    }
}

TEST(Trash, LinksAreTrashedThemselvesAndOddNamesSurvive) {
    test::TestHome home;
    writeFile(home.home() / "Projects" / "keep", "keep");
    const auto link = home.home() / "Desktop" / "shortcut";
    fs::create_directories(link.parent_path());
    fs::create_symlink(home.home() / "Projects", link);
    const auto trashedLink = files().trashItem(link);
    ASSERT_TRUE(trashedLink);
    EXPECT_TRUE(fs::is_symlink(*trashedLink));
    EXPECT_EQ(readFile(home.home() / "Projects" / "keep"), "keep");

    const std::string odd = "r\xE9sum\xE9-\xFF.doc";
    writeFile(home.home() / odd, "cv");
    const auto trashedOdd = files().trashItem(home.home() / odd);
    ASSERT_TRUE(trashedOdd);
    EXPECT_EQ(trashedOdd->filename().native(), odd);
    EXPECT_EQ(readFile(*trashedOdd), "cv");
}

TEST(Trash, AMissingItemFailsAsNoSuchFile) {
    test::TestHome home;
    const auto trashed = files().trashItem(home.home() / "gone.txt");
    ASSERT_FALSE(trashed);
    EXPECT_TRUE(trashed.error().isCocoa(FileError::noSuchFile));
    EXPECT_EQ(trashed.error().underlyingPosixCode, ENOENT);
    EXPECT_FALSE(files().trashItem("/"));
}

TEST(Trash, AHomeTrashThatIsALinkIsRefused) {
    test::TestHome home;
    const auto elsewhere = home.root() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_symlink(elsewhere, home.home() / ".Trash");
    const auto item = home.home() / "note.txt";
    writeFile(item, "note");
    const auto trashed = files().trashItem(item);
    ASSERT_FALSE(trashed);
    EXPECT_NE(trashed.error().description.find(".Trash"), std::string::npos) << trashed.error().description;
    EXPECT_TRUE(fs::exists(item));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(Trash, AHomeTrashOwnedBySomeoneElseIsRefused) {
    VORNELO_REQUIRE_ROOT();
    test::TestHome home;
    fs::create_directories(home.home() / ".Trash");
    ASSERT_EQ(::chown((home.home() / ".Trash").c_str(), test::unprivilegedAccount().uid, 0), 0);
    writeFile(home.home() / "note.txt", "note");
    EXPECT_FALSE(files().trashItem(home.home() / "note.txt"));
    EXPECT_TRUE(fs::exists(home.home() / "note.txt"));
    EXPECT_TRUE(fs::is_empty(home.home() / ".Trash"));
}

// Runs the body with a fresh tmpfs mounted on `volume`, in a private mount namespace.
test::ChildOutcome withVolume(const fs::path& volume, const std::function<std::string()>& body) {
    return test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=16m,mode=1777") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        return body();
    });
}

TEST(Trash, ItemsOnAnotherFileSystemGoToThatVolumesTrash) {
    VORNELO_REQUIRE_ROOT();
    test::TestHome home;
    const auto volume = home.root() / "volume";
    fs::create_directories(volume);
    const auto outcome = withVolume(volume, [&]() -> std::string {
        const auto uid = std::to_string(::geteuid());
        const auto userTrash = volume / ".Trashes" / uid;
        for (const char* expected : {"data.bin", "data 2.bin"}) {
            writeFile(volume / "work" / "data.bin", expected);
            const auto trashed = files().trashItem(volume / "work" / "data.bin");
            if (!trashed) return "trash failed: " + trashed.error().description;
            if (*trashed != userTrash / expected) return "trashed to " + trashed->native();
            if (readFile(*trashed) != expected) return "wrong contents in " + trashed->native();
        }
        if (modeOf(volume / ".Trashes") != 01333) return ".Trashes has mode " + std::to_string(modeOf(volume / ".Trashes"));
        if (modeOf(userTrash) != 0700) return "the user's folder is not private";
        if (fs::exists(home.home() / ".Trash" / "data.bin")) return "copied into the home Trash";
        // The volume itself is not an item.
        if (files().trashItem(volume)) return "trashed a mount point";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(Trash, AnUnprivilegedUserGetsTheirOwnFolderOnTheVolume) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto volume = directory / "volume";
    const auto home = directory / "home";
    fs::create_directories(volume);
    fs::create_directories(home);
    const auto account = test::unprivilegedAccount();
    ASSERT_EQ(::chown(home.c_str(), account.uid, account.gid), 0);
    const auto outcome = withVolume(volume, [&]() -> std::string {
        const auto child = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
            writeFile(volume / "mine.txt", "mine");
            const auto trashed = Trash::moveToTrash(volume / "mine.txt", home, account.uid);
            if (!trashed) return "trash failed: " + trashed.error().description;
            if (*trashed != volume / ".Trashes" / std::to_string(account.uid) / "mine.txt") return "went to " + trashed->native();
            return {};
        });
        if (!child.succeeded) return child.message;
        if (ownerOf(volume / ".Trashes" / std::to_string(account.uid)) != account.uid) return "the folder is not the user's";
        if ((modeOf(volume / ".Trashes") & S_ISVTX) == 0) return ".Trashes is not sticky";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(Trash, UnsafeVolumeTrashFoldersAreRefused) {
    VORNELO_REQUIRE_ROOT();
    test::TestHome home;
    const auto volume = home.root() / "volume";
    fs::create_directories(volume);
    const auto outcome = withVolume(volume, [&]() -> std::string {
        const auto uid = std::to_string(::geteuid());
        const auto trashes = volume / ".Trashes";
        const auto refuses = [&](const std::string& setup) -> std::string {
            writeFile(volume / "item", "item");
            if (files().trashItem(volume / "item")) return "accepted " + setup;
            if (!fs::exists(volume / "item")) return "moved the item despite " + setup;
            return {};
        };
        fs::create_directories(volume / "decoy");
        fs::create_directories(trashes);
        ::chmod(trashes.c_str(), 01333);
        fs::create_symlink(volume / "decoy", trashes / uid);
        if (auto failed = refuses("a user folder that is a link"); !failed.empty()) return failed;
        if (!fs::is_empty(volume / "decoy")) return "followed the link";
        fs::remove(trashes / uid);

        fs::create_directories(trashes / uid);
        ::chown((trashes / uid).c_str(), test::unprivilegedAccount().uid, 0);
        if (auto failed = refuses("a user folder owned by someone else"); !failed.empty()) return failed;
        fs::remove(trashes / uid);

        ::chown(trashes.c_str(), test::unprivilegedAccount().uid, 0);
        ::chmod(trashes.c_str(), 0777);
        if (auto failed = refuses("a .Trashes anyone may rearrange"); !failed.empty()) return failed;
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::platform
