#include "Platform/FileManager.h"

#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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

// A chain of folders whose full path is longer than PATH_MAX: only descriptor-relative calls can
// reach its bottom.
void makeDeepChain(const fs::path& top, int depth) {
    fs::create_directories(top);
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(40, 'd');
    for (int level = 0; level < depth && fd >= 0; ++level) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) {
        const int file = ::openat(fd, "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file >= 0) ::close(file);
        ::close(fd);
    }
}

TEST(FileManagerRemove, RemovesAWholeTreeOfEveryKindOfItem) {
    test::TempDirectory directory;
    const auto tree = directory / "tree";
    writeFile(tree / "a" / "b" / "c" / "file", "x");
    writeFile(tree / ".hidden" / "file", "x");
    writeFile(tree / ("\xFF\xFE-not-utf8") / "file", "x");
    fs::create_directories(tree / "empty");
    ::mkfifo((tree / "pipe").c_str(), 0600);
    fs::create_symlink("nowhere", tree / "dangling");
    writeFile(tree / "read-only" / "file", "x");
    ::chmod((tree / "read-only").c_str(), 0555);
    makeDeepChain(tree / "deep", 120);

    const auto removed = files().removeItem(tree);
    ASSERT_TRUE(removed) << removed.error().description;
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_TRUE(fs::is_empty(directory.path()));
}

TEST(FileManagerRemove, NeverFollowsALinkOutOfTheTree) {
    test::TempDirectory directory;
    const auto outside = directory / "outside";
    writeFile(outside / "precious", "precious");
    const auto tree = directory / "tree";
    writeFile(tree / "own", "own");
    fs::create_directories(tree / "sub");
    fs::create_symlink(outside, tree / "sub" / "to-folder");
    fs::create_symlink(outside / "precious", tree / "to-file");

    ASSERT_TRUE(files().removeItem(tree));
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(readFile(outside / "precious"), "precious");

    // A link given as the item is removed itself.
    fs::create_symlink(outside, directory / "link");
    ASSERT_TRUE(files().removeItem(directory / "link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "link")));
    EXPECT_EQ(readFile(outside / "precious"), "precious");
}

TEST(FileManagerRemove, AMissingItemFailsAsNoSuchFile) {
    test::TempDirectory directory;
    const auto removed = files().removeItem(directory / "missing");
    ASSERT_FALSE(removed);
    EXPECT_TRUE(removed.error().isCocoa(FileError::noSuchFile));
    EXPECT_FALSE(files().removeItem("/"));
}

TEST(FileManagerRemove, AFileSystemMountedInsideIsNeverEntered) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto tree = directory / "tree";
    writeFile(tree / "own", "own");
    fs::create_directories(tree / "mounted");
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", (tree / "mounted").c_str(), "tmpfs", 0, "size=4m") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        writeFile(tree / "mounted" / "other-volume", "other");
        const auto removed = files().removeItem(tree);
        if (removed) return "reported success with a volume inside";
        if (removed.error().underlyingPosixCode != EBUSY) return "unexpected error: " + removed.error().description;
        if (readFile(tree / "mounted" / "other-volume") != "other") return "entered the mounted volume";
        if (fs::exists(tree / "own")) return "stopped at the first problem instead of removing the rest";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(FileManagerRemove, GoesOnPastItemsItMayNotRemoveAndReportsTheFirst) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    const auto tree = directory / "tree";
    writeFile(tree / "locked" / "root-file", "root");
    writeFile(tree / "mine", "mine");
    ::chown(tree.c_str(), account.uid, account.gid);
    ::chown((tree / "mine").c_str(), account.uid, account.gid);
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto removed = files().removeItem(tree);
        if (removed) return "reported success";
        if (!removed.error().isCocoa(FileError::writeNoPermission)) return "unexpected error: " + removed.error().description;
        if (fs::exists(tree / "mine")) return "left the removable file behind";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(tree / "locked" / "root-file"), "root");
}

}  // namespace
}  // namespace vornelo::platform
