#include "Platform/Trash/Trash.h"

#include "Platform/Trash/TrashInfo.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <regex>
#include <set>
#include <tuple>

namespace vornelo::platform {
namespace {

using test::files;
using test::modeOf;
using test::ownerOf;
using test::readFile;
using test::writeFile;

namespace fs = std::filesystem;

TEST(Trash, NumberedNamesKeepTheExtensionAndStayWithinTheNameLimitWithoutSplittingCharacters) {
    const std::vector<std::pair<std::string, int>> names{{"Foo.app", 2}, {"Foo.app", 3}, {"com.example.agent.plist", 2},
                                                         {"archive.tar.gz", 2}, {"tool", 2}, {".hidden", 2}, {"file.", 12}};
    std::vector<std::string> numberedNames;
    for (const auto& [name, number] : names) numberedNames.push_back(Trash::numberedName(name, number));
    EXPECT_EQ(numberedNames, (std::vector<std::string>{"Foo 2.app", "Foo 3.app", "com.example.agent 2.plist", "archive.tar 2.gz",
                                                       "tool 2", ".hidden 2", "file 12"}));
    std::string longName;
    for (int i = 0; i < 126; ++i) longName += "\xC3\xA9";  // 252 bytes of "é"
    longName += ".txt";
    const auto numbered = Trash::numberedName(longName, 2);
    EXPECT_LE(numbered.size(), 255u);
    EXPECT_TRUE(numbered.ends_with(" 2.txt"));
    EXPECT_EQ((numbered.size() - 6) % 2, 0u) << "a two-byte character was cut in half";
    EXPECT_EQ(Trash::numberedName(std::string(250, 'a') + ".txt", 2, 245), std::string(239, 'a') + " 2.txt");
}

TEST(Trash, InfoFilesEncodeThePathAndOnlyATrashsFilesFolderHoldsTrashedItems) {
    EXPECT_EQ(TrashInfo::encodePath("/home/ada/r\xC3\xA9sum\xC3\xA9 #1%.pdf"), "/home/ada/r%C3%A9sum%C3%A9%20%231%25.pdf");
    EXPECT_EQ(TrashInfo::encodePath("a-b_c.d~e/\n\xFF"), "a-b_c.d~e/%0A%FF");
    const auto text = TrashInfo::contents("/x y", std::chrono::system_clock::now());
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[Trash Info\]\nPath=/x%20y\nDeletionDate=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\n)")))
        << text;

    // Trashed items are recognised in every form of Trash, but nowhere else.
    for (const auto* folder : {"/h/.local/share/Trash/files", "/h/.local/share/Trash/files/a/b", "/v/.Trash-1000/files",
                               "/v/.Trash/1000/files", "/h/.Trash", "/h/.Trash/x", "/v/.Trashes/0"}) {
        EXPECT_TRUE(Trash::holdsTrashedItems(folder)) << folder;
    }
    for (const auto* folder : {"/h/.local/share/Trash", "/h/.local/share/Trash/info", "/h/Projects/Trash/files",
                               "/v/.Trash-1000", "/v/.Trash-1000/info", "/v/.Trash-x1/files", "/h/Trashcan/files", "/"}) {
        EXPECT_FALSE(Trash::holdsTrashedItems(folder)) << folder;
    }
    const test::ScopedVariable data("XDG_DATA_HOME", "/data/ada");
    EXPECT_TRUE(Trash::holdsTrashedItems("/data/ada/Trash/files/x"));
    EXPECT_FALSE(Trash::holdsTrashedItems("/data/ada/Trash/filesx"));
}

std::string infoOf(const fs::path& trashed) {
    return readFile(trashed.parent_path().parent_path() / "info" / (trashed.filename().native() + ".trashinfo"));
}

// The Path= line of a trashed item's info file.
std::string recordedPath(const fs::path& trashed) {
    const auto text = infoOf(trashed);
    const auto start = text.find("\nPath=");
    return start == std::string::npos ? "" : text.substr(start + 6, text.find('\n', start + 1) - start - 6);
}

TEST(Trash, HomeTrashGetsTheItemItsInfoFileAndFreeNamesInBothFolders) {
    test::TestHome home;
    const auto trash = home.home() / ".local/share/Trash";
    const auto trashed = [&](const fs::path& item) {
        auto moved = files().trashItem(item);
        EXPECT_TRUE(moved) << item << ": " << (moved ? "" : moved.error().description);
        return moved.value_or(fs::path());
    };
    writeFile(home.home() / "Downloads/report.pdf", "one");
    EXPECT_EQ(trashed(home.home() / "Downloads/report.pdf"), trash / "files/report.pdf");
    writeFile(home.home() / "Projects/report.pdf", "two");
    EXPECT_EQ(trashed(home.home() / "Projects/report.pdf"), trash / "files/report 2.pdf");
    EXPECT_EQ(std::tuple(readFile(trash / "files/report 2.pdf"), recordedPath(trash / "files/report.pdf"),
                         recordedPath(trash / "files/report 2.pdf")),
              std::tuple("two", (home.home() / "Downloads/report.pdf").native(), (home.home() / "Projects/report.pdf").native()));
    for (const auto* folder : {"", "/files", "/info"}) EXPECT_EQ(modeOf(trash.native() + folder), 0700u) << folder;

    // A name taken in only one of the two folders is not free.
    writeFile(trash / "info/stale.txt.trashinfo", "left behind");
    writeFile(trash / "files/orphan.txt", "no info");
    writeFile(home.home() / "stale.txt", "s");
    writeFile(home.home() / "orphan.txt", "o");
    EXPECT_EQ(trashed(home.home() / "stale.txt"), trash / "files/stale 2.txt");
    EXPECT_EQ(trashed(home.home() / "orphan.txt"), trash / "files/orphan 2.txt");
    EXPECT_EQ(readFile(trash / "info/stale.txt.trashinfo"), "left behind");

    // A link is trashed itself.
    fs::create_symlink(home.home() / "Projects", home.home() / "shortcut");
    EXPECT_TRUE(fs::is_symlink(trashed(home.home() / "shortcut")));

    // Leaving the Trash drops the info file; a missing one is no error.
    fs::remove(trash / "files/report.pdf");
    EXPECT_TRUE(Trash::forgetInfo(trash / "files/report.pdf"));
    EXPECT_FALSE(Trash::forgetInfo(trash / "files/report.pdf"));
    EXPECT_FALSE(Trash::forgetInfo(home.home() / "Projects/files/report 2.pdf"));
    EXPECT_TRUE(fs::exists(trash / "info/report 2.pdf.trashinfo"));

    // The data folder setting is honoured; a missing item fails.
    writeFile(home.home() / "note.txt", "note");
    {
        const test::ScopedVariable data("XDG_DATA_HOME", (home.root() / "data").native());
        EXPECT_EQ(trashed(home.home() / "note.txt"), home.root() / "data/Trash/files/note.txt");
    }
    EXPECT_TRUE(test::failsWith(files().trashItem(home.home() / "gone.txt"), FileError::noSuchFile));
    EXPECT_FALSE(files().trashItem("/"));
}

TEST(Trash, UnsafeHomeTrashFoldersAreRefused) {
    struct Case {
        const char* folder;  // inside the home Trash, "" for the Trash itself
        bool link;           // a link to a decoy; else a folder owned by another user
    };
    const bool root = ::geteuid() == 0;
    for (const auto& [folder, link] : {Case{"", true}, Case{"files", true}, Case{"info", true}, Case{"info", false}}) {
        if (!link && !root) continue;
        test::TestHome home;
        const auto trash = home.home() / ".local/share/Trash";
        const auto target = *folder ? trash / folder : trash;
        // A first item opens the Trash; the swap that follows must not go unnoticed.
        writeFile(home.home() / "first.txt", "first");
        ASSERT_TRUE(files().trashItem(home.home() / "first.txt"));
        fs::remove_all(target);
        const auto decoy = home.root() / "decoy";
        fs::create_directories(decoy);
        if (link) fs::create_symlink(decoy, target);
        if (!link) fs::create_directories(target), ::chown(target.c_str(), test::unprivilegedAccount().uid, 0);
        writeFile(home.home() / "note.txt", "note");
        const auto trashed = files().trashItem(home.home() / "note.txt");
        ASSERT_FALSE(trashed) << folder;
        EXPECT_NE(trashed.error().description.find(target.native()), std::string::npos) << trashed.error().description;
        EXPECT_TRUE(fs::exists(home.home() / "note.txt"));
        EXPECT_TRUE(fs::is_empty(decoy)) << "followed a link at " << folder;
    }
}

TEST(Trash, ProcessesTrashingTheSameNameAtOnceGetTheirOwnNamesAndInfoFiles) {
    test::TestHome home;
    constexpr int rounds = 40;
    for (int process = 0; process < 2; ++process) {
        for (int round = 0; round < rounds; ++round) {
            writeFile(home.home() / std::to_string(process) / std::to_string(round) / "same.txt",
                      std::to_string(process) + "/" + std::to_string(round));
        }
    }
    // The test itself is the second process; each counts the items it could not trash.
    const auto trashAll = [&](int process) {
        int failed = 0;
        for (int round = 0; round < rounds; ++round) {
            failed += !files().trashItem(home.home() / std::to_string(process) / std::to_string(round) / "same.txt");
        }
        return failed;
    };
    const pid_t child = ::fork();
    if (child == 0) ::_exit(trashAll(1));
    EXPECT_EQ(trashAll(0), 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed to trash";
    // Each trashed copy still holds its own contents and its info file names where it came from.
    std::set<std::string> origins;
    for (const auto& entry : fs::directory_iterator(home.home() / ".local/share/Trash/files")) {
        const auto contents = readFile(entry.path());
        EXPECT_EQ(recordedPath(entry.path()), (home.home() / contents / "same.txt").native());
        origins.insert(contents);
    }
    EXPECT_EQ(origins.size(), std::size_t{2 * rounds});
}

TEST(Trash, ItemsOnAnotherFileSystemGoToThatFileSystemsTrashOfTheirUser) {
    VORNELO_REQUIRE_ROOT();
    test::TestHome home;
    const auto volume = home.root() / "volume";
    fs::create_directories(volume);
    const auto account = test::unprivilegedAccount();
    const auto userHome = home.root() / "user";
    fs::create_directories(userHome);
    ASSERT_EQ(::chown(userHome.c_str(), account.uid, account.gid), 0);
    ::chmod(home.root().c_str(), 0755);
    const auto outcome = test::withTmpfs(volume, "size=16m,mode=1777", [&]() -> std::string {
        const auto uid = std::to_string(::geteuid());
        const auto trashOnce = [&](const std::string& name) -> std::expected<fs::path, std::string> {
            writeFile(volume / "work" / name, name);
            const auto trashed = files().trashItem(volume / "work" / name);
            if (!trashed) return std::unexpected("trash failed: " + trashed.error().description);
            if (readFile(*trashed) != name) return std::unexpected("wrong contents in " + trashed->native());
            return *trashed;
        };
        // Without an administrator's folder: the user's own, its paths relative to the top.
        const auto own = volume / (".Trash-" + uid);
        for (const char* expected : {"data.bin", "data 2.bin"}) {
            const auto trashed = trashOnce("data.bin");
            if (trashed != own / "files" / expected) return "trashed to " + trashed.value_or(trashed.error()).native();
        }
        if (recordedPath(own / "files/data.bin") != "work/data.bin") return "recorded " + infoOf(own / "files/data.bin");
        if (modeOf(own) != 0700) return "the user's Trash is not private";
        if (fs::exists(home.home() / ".local/share/Trash/files/data.bin")) return "copied into the home Trash";
        if (files().trashItem(volume)) return "trashed a mount point";

        // An administrator's ".Trash" is used only when sticky.
        fs::create_directories(volume / ".Trash");
        ::chmod((volume / ".Trash").c_str(), 0777);
        if (trashOnce("loose.txt") != own / "files/loose.txt") return "used a .Trash that is not sticky";
        ::chmod((volume / ".Trash").c_str(), 01777);
        if (trashOnce("shared.txt") != volume / ".Trash" / uid / "files/shared.txt") return "passed over the sticky .Trash";
        if (recordedPath(volume / ".Trash" / uid / "files/shared.txt") != "work/shared.txt") return "bad info in .Trash";

        // The user's own folder there must not be a link.
        fs::remove_all(volume / ".Trash");
        fs::remove_all(own);
        fs::create_directories(volume / "decoy");
        fs::create_symlink(volume / "decoy", own);
        if (trashOnce("held.txt")) return "trashed into a linked .Trash-" + uid;
        if (!fs::is_empty(volume / "decoy")) return "followed the link";

        // An unprivileged user gets a folder of their own there.
        const auto users = volume / (".Trash-" + std::to_string(account.uid));
        const auto child = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
            writeFile(volume / "mine.txt", "mine");
            const auto trashed = Trash::moveToTrash(volume / "mine.txt", userHome, account.uid);
            if (!trashed) return "trash failed: " + trashed.error().description;
            return *trashed == users / "files/mine.txt" ? "" : "went to " + trashed->native();
        });
        if (!child.succeeded) return child.message;
        if (ownerOf(users) != account.uid || ownerOf(users / "info/mine.txt.trashinfo") != account.uid) return "not the user's";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(Trash, AUsersTrashIsPreparedOpenedAndFilledOnTheirBehalf) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto account = test::unprivilegedAccount();
    const Trash::Account user{account.uid, account.gid, (directory / "home").native()};
    const auto trash = directory / "home/.local/share/Trash";
    fs::create_directories(user.home);
    ASSERT_EQ(::chown(user.home.c_str(), account.uid, account.gid), 0);
    EXPECT_FALSE(Trash::openUserTrash(user)) << "opened a Trash that is not there";
    EXPECT_FALSE(fs::exists(trash));
    ASSERT_TRUE(Trash::prepareUserTrash(user));
    for (const auto* folder : {"", "/files", "/info"}) {
        EXPECT_EQ(ownerOf(trash.native() + folder), account.uid) << folder;
        EXPECT_EQ(modeOf(trash.native() + folder), 0700u) << folder;
    }

    writeFile(directory / "Applications/Tool.app/marker", "root's");
    writeFile(trash / "files/Tool.app", "already there");
    auto held = Trash::openUserTrash(user);
    ASSERT_TRUE(held) << held.error().description;
    FileDescriptor parent(::open((directory / "Applications").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto moved = Trash::moveIntoTrash(*held, parent.get(), directory / "Applications/Tool.app");
    ASSERT_TRUE(moved) << moved.error().description;
    EXPECT_EQ(std::tuple(*moved, readFile(*moved / "marker"), ownerOf(trash / "info/Tool 2.app.trashinfo"), recordedPath(*moved)),
              std::tuple(trash / "files/Tool 2.app", "root's", account.uid, (directory / "Applications/Tool.app").native()));

    // A folder of the Trash that is a link or someone else's makes it unusable.
    for (const auto* folder : {"info", "files"}) {
        fs::rename(trash / folder, directory / "aside");
        fs::create_symlink(directory / "aside", trash / folder);
        EXPECT_FALSE(Trash::openUserTrash(user)) << folder << " as a link";
        EXPECT_FALSE(Trash::prepareUserTrash(user)) << folder << " as a link";
        fs::remove(trash / folder);
        fs::rename(directory / "aside", trash / folder);
        ::chown((trash / folder).c_str(), 0, 0);
        EXPECT_FALSE(Trash::openUserTrash(user)) << folder << " owned by root";
        ::chown((trash / folder).c_str(), account.uid, account.gid);
    }
    EXPECT_TRUE(Trash::openUserTrash(user));
    EXPECT_FALSE(Trash::openUserTrash(uid_t{4000000000u})) << "a user the database does not know";
}

}  // namespace
}  // namespace vornelo::platform
