#include "Core/FullDiskAccessCheck.h"
#include "Core/ProtectedFolderAccessCheck.h"
#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

namespace vornelo {
namespace {

using test::TempDirectory;
namespace fs = std::filesystem;

const platform::FileManager& files() { return platform::FileManager::defaultManager(); }

// A folder the unprivileged account can walk into, holding what the test makes.
struct ReachableFolder {
    TempDirectory directory{"vornelo-access"};
    ReachableFolder() { ::chmod(directory.path().c_str(), 0755); }
    fs::path file(const std::string& name, mode_t mode) const {
        const auto path = directory / name;
        test::writeFile(path, "secret");
        ::chmod(path.c_str(), mode);
        return path;
    }
    fs::path folder(const std::string& name, mode_t mode) const {
        const auto path = directory / name;
        fs::create_directories(path);
        ::chmod(path.c_str(), mode);
        return path;
    }
};

std::string expect(bool condition, const std::string& complaint) { return condition ? std::string() : complaint; }

TEST(FullDiskAccessCheck, OnlyAProbeFileThatOpensCounts) {
    VORNELO_REQUIRE_ROOT();  // root opens everything; the probe must run as an ordinary user
    const ReachableFolder root;
    const auto unreadableA = root.file("TCC.db", 0000);
    const auto unreadableB = root.file("CloudTabs.db", 0000);
    const auto readable = root.file("Readable.db", 0644);
    const auto missing = root.directory / "missing.db";

    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        if (FullDiskAccessCheck::probe({missing, root.directory / "also-missing.db"}, files())) {
            return "missing files counted as access";
        }
        if (FullDiskAccessCheck::probe({unreadableA, unreadableB}, files())) return "unreadable files counted as access";
        return expect(FullDiskAccessCheck::probe({unreadableA, missing, readable}, files()),
                      "a readable file after an unreadable one was not found");
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(FullDiskAccessCheck, AFifoProbeNeverBlocksAndAFileInPlaceOfAFolderCannotBeListed) {
    const TempDirectory root;
    ASSERT_EQ(::mkfifo((root / "TCC.db").c_str(), 0644), 0);
    EXPECT_TRUE(FullDiskAccessCheck::probe({root / "TCC.db"}, files()));  // opens without a writer, and closes
    test::writeFile(root / "Desktop", "not a folder");
    fs::create_directories(root / "Downloads");
    EXPECT_EQ(ProtectedFolderAccessCheck::deniedFolders(root.path(), files()), std::vector<std::string>{"Desktop"});
}

TEST(FullDiskAccessCheck, ProbesTheSystemDatabaseThenTheHomeOneBuiltOnFirstUse) {
    VORNELO_REQUIRE_ROOT();
    if (fs::exists("/Library/Application Support/com.apple.TCC/TCC.db")) GTEST_SKIP() << "a real TCC.db exists here";
    const ReachableFolder root;
    const auto home = root.folder("home", 0755);
    const auto database = home / "Library/Safari/CloudTabs.db";
    test::writeFile(database, "tabs");
    fs::permissions(home / "Library", fs::perms(0755));
    fs::permissions(home / "Library/Safari", fs::perms(0755));

    const auto account = test::unprivilegedAccount();
    auto probeWithMode = [&](mode_t mode) {
        ::chmod(database.c_str(), mode);
        return test::runAsUser(account.uid, account.gid, [&]() -> std::string {
            ::setenv("HOME", home.c_str(), 1);
            const auto& paths = FullDiskAccessCheck::probePaths();
            const std::vector<fs::path> expected{"/Library/Application Support/com.apple.TCC/TCC.db", database};
            if (paths != expected) return "unexpected probe paths, second is " + paths.at(1).native();
            ::setenv("HOME", "/nonexistent", 1);  // built once: a later HOME changes nothing
            if (FullDiskAccessCheck::probePaths() != expected) return "the probe list was rebuilt";
            return expect(FullDiskAccessCheck::probe() == (mode == 0644), "probe() gave the wrong answer");
        });
    };
    const auto readable = probeWithMode(0644);
    EXPECT_TRUE(readable.succeeded) << readable.message;
    const auto unreadable = probeWithMode(0000);
    EXPECT_TRUE(unreadable.succeeded) << unreadable.message;
}

TEST(ProtectedFolderAccessCheck, ReportsExistingFoldersThatCannotBeListed) {
    VORNELO_REQUIRE_ROOT();
    const ReachableFolder home;
    home.folder("Desktop", 0755);     // consent given
    home.folder("Documents", 0700);   // the owner's (root's) only
    home.folder("Downloads", 0000);
    const ReachableFolder sparseHome;  // no Downloads at all
    sparseHome.folder("Desktop", 0755);
    sparseHome.folder("Documents", 0555);

    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto denied = ProtectedFolderAccessCheck::deniedFolders(home.directory.path(), files());
        if (denied != std::vector<std::string>{"Documents", "Downloads"}) return "wrong denied list for the full home";
        ::setenv("HOME", home.directory.path().c_str(), 1);
        if (ProtectedFolderAccessCheck::probe()) return "probe() true with two folders denied";
        ::setenv("HOME", sparseHome.directory.path().c_str(), 1);
        if (!ProtectedFolderAccessCheck::deniedFolders().empty()) return "a missing folder was reported";
        return expect(ProtectedFolderAccessCheck::probe(), "probe() false with every existing folder listable");
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
