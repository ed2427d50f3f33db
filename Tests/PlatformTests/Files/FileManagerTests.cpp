#include "Platform/Files/FileManager.h"
#include "Platform/Files/TreeWalk.h"

#include "Platform/Concurrency/ConcurrentPerform.h"
#include "Platform/Files/FileDescriptor.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace vornelo::platform {
namespace {

using test::failsWith;
using test::files;
using test::readFile;
using test::statOf;
using test::writeFile;
namespace fs = std::filesystem;

TEST(FileManagerPathsTest, StandardisingRemovesDotsAndSeparatorsAndTildeExpandsOnlyAtTheStart) {
    EXPECT_EQ(FileManager::standardizedPath("/a/./b//c/../d/"), "/a/b/d");
    EXPECT_EQ(FileManager::standardizedPath("/../.."), "/");
    EXPECT_EQ(FileManager::standardizedPath("//"), "/");
    EXPECT_EQ(FileManager::standardizedPath("a/../../b"), "../b");
    EXPECT_EQ(FileManager::standardizedPath(""), "");
    EXPECT_EQ(FileManager::absoluteStandardizedPath("/x/y/.."), "/x");
    EXPECT_EQ(FileManager::absoluteStandardizedPath("some/where"), fs::current_path() / "some/where");

    const auto home = files().homeDirectoryForCurrentUser();
    EXPECT_EQ(files().expandingTildeInPath("~"), home);
    EXPECT_EQ(files().expandingTildeInPath("/a/~/b"), "/a/~/b");
    EXPECT_EQ(files().expandingTildeInPath("~no-such-user-here/x"), "~no-such-user-here/x");
    EXPECT_EQ(files().expandingTildeInPath("~root/x"), *files().homeDirectory(0) + "/x");
}

class FileManagerTreeTest : public ::testing::Test {
protected:
    test::TempDirectory directory;
    const fs::path root = directory.path();
};

TEST_F(FileManagerTreeTest, ResolvingFollowsEveryLinkAlongThePathKeepsAMissingTailAndEndsInALoop) {
    fs::create_directories(root / "real/inner");
    fs::create_directory_symlink(root / "real", root / "absolute");
    fs::create_directory_symlink("real/inner", root / "relative");
    fs::create_directory_symlink("../../real", root / "real/inner/up");
    fs::create_symlink(root / "absolute", root / "chain");
    const auto resolved = [&](const char* path) { return files().resolvingSymlinksInPath((root / path).native()); };
    EXPECT_EQ(resolved("absolute/inner"), (root / "real/inner").native());
    EXPECT_EQ(resolved("relative"), (root / "real/inner").native());
    EXPECT_EQ(resolved("relative/up/inner"), (root / "real/inner").native());
    EXPECT_EQ(resolved("chain/missing/deeper"), (root / "real/missing/deeper").native());
    EXPECT_EQ(resolved("nothing/here"), (root / "nothing/here").native());

    fs::create_symlink(root / "b", root / "a");
    fs::create_symlink(root / "a", root / "b");
    EXPECT_FALSE(resolved("a/x").empty());
}

TEST_F(FileManagerTreeTest, ListingsAndAttributesDescribeALinkRatherThanItsTarget) {
    fs::create_directories(root / "folder");
    writeFile(root / "file", "12345");
    fs::create_directory_symlink(root / "folder", root / "link");
    auto entries = files().contentsOfDirectory(root);
    ASSERT_TRUE(entries);
    std::set<std::pair<fs::path, std::optional<bool>>> listed;
    for (const auto& entry : *entries) listed.emplace(entry.url, entry.isDirectory);
    EXPECT_EQ(listed, (decltype(listed){{root / "file", false}, {root / "folder", true}, {root / "link", false}}));
    const auto names = files().contentsOfDirectoryAtPath(root).value_or(std::vector<std::string>{});
    EXPECT_EQ(std::set(names.begin(), names.end()), (std::set<std::string>{"file", "folder", "link"}));
    EXPECT_TRUE(failsWith(files().contentsOfDirectory(root / "missing"), FileError::readNoSuchFile));

    fs::create_symlink(root / "file", root / "file-link");
    fs::create_symlink(root / "gone", root / "dangling");
    const auto file = files().attributesOfItem(root / "file");
    const auto link = files().attributesOfItem(root / "file-link");
    ASSERT_TRUE(file && link);
    EXPECT_EQ(std::tuple(file->type, file->size, link->type), std::tuple(FileType::regular, 5, FileType::symbolicLink));
    EXPECT_NE(link->fileNumber, file->fileNumber);
    EXPECT_TRUE(files().fileExists(root / "dangling"));
    EXPECT_FALSE(files().fileExists(root / "gone"));
}

TEST_F(FileManagerTreeTest, ReadingRefusesWhatIsOverTheLimitOrNoFileAndFoldersAreCreatedIdempotently) {
    writeFile(root / "small", "abc");
    EXPECT_EQ(files().contentsOfFile(root / "small", 3).value_or(std::vector<std::uint8_t>{}).size(), 3u);
    EXPECT_FALSE(files().contentsOfFile(root / "small", 2));
    EXPECT_FALSE(files().contentsOfFile(root, 1000));
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files().contentsOfFile(root / "fifo", 1000)) << "must refuse, not wait for a writer";

    const auto deep = root / "a/b/c";
    ASSERT_TRUE(files().createDirectory(deep, true));
    ASSERT_TRUE(files().createDirectory(deep, true));
    EXPECT_TRUE(failsWith(files().createDirectory(deep, false), FileError::writeFileExists));
    EXPECT_FALSE(files().createDirectory(root / "small", true)) << "a file is not a folder";
}

// MARK: moving

TEST_F(FileManagerTreeTest, MovesWithinAFileSystemButNeverReplacesWhatIsAtTheDestination) {
    writeFile(root / "from" / "inner", "inner");
    const auto inode = statOf(root / "from").st_ino;
    ASSERT_TRUE(files().moveItem(root / "from", root / "to"));
    EXPECT_EQ(readFile(root / "to" / "inner"), "inner");
    EXPECT_EQ(statOf(root / "to").st_ino, inode);
    EXPECT_FALSE(fs::exists(root / "from"));

    writeFile(root / "source", "source");
    writeFile(root / "file", "file");
    fs::create_directories(root / "empty-folder");
    fs::create_symlink("nowhere", root / "dangling");
    for (const char* taken : {"file", "empty-folder", "dangling"}) {
        EXPECT_TRUE(failsWith(files().moveItem(root / "source", root / taken), FileError::writeFileExists)) << taken;
        EXPECT_EQ(readFile(root / "source"), "source");
    }
    EXPECT_EQ(readFile(root / "file"), "file");
    EXPECT_TRUE(fs::is_symlink(root / "dangling"));
    EXPECT_TRUE(failsWith(files().moveItem(root / "no-source", root / "anywhere"), FileError::noSuchFile));
}

TEST_F(FileManagerTreeTest, AcrossFileSystemsAMoveCopiesEverythingOrNothingAndARemovalNeverEntersAVolumeInside) {
    VORNELO_REQUIRE_ROOT();
    const auto volume = root / "volume";
    fs::create_directories(volume);
    writeFile(root / "taken" / "mine", "mine");
    const auto account = test::unprivilegedAccount();
    const auto outcome = test::withTmpfs(volume, "size=16m", [&]() -> std::string {
        const auto source = volume / "App.app";
        writeFile(source / "Contents" / "binary", std::string(300000, 'b'));
        writeFile(source / "Contents" / "owned", "owned");
        fs::create_directories(source / "Empty");
        fs::create_symlink("Contents/binary", source / "link");
        ::chmod((source / "Contents" / "binary").c_str(), 0751);
        ::chown((source / "Contents" / "owned").c_str(), account.uid, account.gid);
        if (::setxattr((source / "Contents" / "binary").c_str(), "user.origin", "download", 8, 0) != 0) {
            return std::string("setxattr failed: ") + std::strerror(errno);
        }
        const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimensat(AT_FDCWD, (source / "Contents" / "binary").c_str(), past, 0);
        ::chmod(source.c_str(), 0705);
        ::utimensat(AT_FDCWD, source.c_str(), past, 0);

        const auto target = root / "moved.app";
        const auto moved = files().moveItem(source, target);
        if (!moved) return "move failed: " + moved.error().description;
        if (fs::exists(source)) return "the source is still there";
        if (readFile(target / "Contents" / "binary") != std::string(300000, 'b')) return "contents differ";
        const auto binary = statOf(target / "Contents" / "binary");
        char value[16] = {};
        const auto origin = ::getxattr((target / "Contents" / "binary").c_str(), "user.origin", value, sizeof value);
        if (std::tuple(binary.st_mode & 07777, binary.st_mtim.tv_sec, statOf(target / "Contents" / "owned").st_uid,
                       statOf(target).st_mode & 07777, statOf(target).st_mtim.tv_sec, origin, std::string(value),
                       fs::is_symlink(target / "link"), fs::is_directory(target / "Empty")) !=
            std::tuple(0751u, 1000000000, account.uid, 0705u, 1000000000, 8, "download", true, true) ||
            fs::read_symlink(target / "link") != "Contents/binary") {
            return "a mode, time, owner, attribute, link or empty folder was not kept";
        }

        writeFile(volume / "item" / "data", "data");
        if (const auto replaced = failsWith(files().moveItem(volume / "item", root / "taken"), FileError::writeFileExists); !replaced) {
            return replaced.message();
        }
        if (readFile(volume / "item" / "data") != "data") return "source damaged";
        if (readFile(root / "taken" / "mine") != "mine") return "destination damaged";

        // A volume mounted inside the source cannot be carried along; nothing is left behind.
        writeFile(volume / "holder" / "own", "own");
        fs::create_directories(volume / "holder" / "inner");
        if (::mount("tmpfs", (volume / "holder" / "inner").c_str(), "tmpfs", 0, "size=1m") != 0) return "inner mount failed";
        if (files().moveItem(volume / "holder", root / "holder")) return "moved a folder with a volume inside";
        if (fs::exists(root / "holder")) return "left a destination behind";
        if (readFile(volume / "holder" / "own") != "own") return "source damaged";
        for (const auto& entry : fs::directory_iterator(root)) {
            if (entry.path().filename().native().starts_with(".vornelo-")) return "left a temporary copy";
        }
        // A user's read-only folder crosses too: its copy stays writable until it has been moved.
        const auto user = volume / "user";
        fs::create_directories(user / "Locked");
        ::chmod((user / "Locked").c_str(), 0500);
        fs::create_directories(root / "user");
        ::chmod(root.c_str(), 0755);
        for (const auto& owned : {user, user / "Locked", root / "user"}) ::chown(owned.c_str(), account.uid, account.gid);
        const auto asUser = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
            const auto crossed = FileManager::defaultManager().moveItem(user / "Locked", root / "user" / "Locked");
            return crossed ? "" : crossed.error().description;
        });
        if (!asUser.succeeded) return "a user's read-only folder did not cross: " + asUser.message;
        if ((statOf(root / "user" / "Locked").st_mode & 07777) != 0500 || fs::exists(user / "Locked")) return "the read-only folder did not keep its mode";
        // A removal goes round it: the rest goes, what is on the inner volume stays, and EBUSY is reported.
        writeFile(volume / "holder" / "inner" / "other-volume", "other");
        const auto removed = files().removeItem(volume / "holder");
        if (removed || removed.error().underlyingPosixCode != EBUSY) return "the removal did not report the inner volume";
        if (readFile(volume / "holder" / "inner" / "other-volume") != "other") return "entered the mounted volume";
        if (fs::exists(volume / "holder" / "own")) return "stopped at the first problem instead of removing the rest";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

// MARK: removing

TEST_F(FileManagerTreeTest, RemovesAWholeTreeOfEveryKindOfItemButNeverFollowsALinkOutOfIt) {
    const auto tree = root / "tree";
    writeFile(tree / "a" / "b" / "c" / "file", "x");
    writeFile(tree / ".hidden" / "file", "x");
    writeFile(tree / ("\xFF\xFE-not-utf8") / "file", "x");
    fs::create_directories(tree / "empty");
    ::mkfifo((tree / "pipe").c_str(), 0600);
    fs::create_symlink("nowhere", tree / "dangling");
    writeFile(tree / "read-only" / "file", "x");
    ::chmod((tree / "read-only").c_str(), 0555);
    ASSERT_TRUE(test::makeDeepChain(tree / "deep", 120, 40, "locked", true));
    const auto outside = root / "outside";
    writeFile(outside / "precious", "precious");
    fs::create_directories(tree / "sub");
    fs::create_symlink(outside, tree / "sub" / "to-folder");
    fs::create_symlink(outside / "precious", tree / "to-file");

    // A walk reaches below PATH_MAX too.
    std::size_t deepest = 0;
    TreeWalkVisitor visitor;
    visitor.visit = [&](const TreeWalkItem& item) {
        deepest = std::max(deepest, item.depth);
        return TreeWalkAction::proceed;
    };
    ASSERT_TRUE(files().walkTree(tree / "deep", visitor));
    EXPECT_EQ(deepest, 121u);

    const auto removed = files().removeItem(tree);
    ASSERT_TRUE(removed) << removed.error().description;
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(readFile(outside / "precious"), "precious");
    EXPECT_EQ(test::entryCount(root), 1) << "only the outside folder is left";

    // A link given as the item is removed itself; a missing item or the root is no success.
    fs::create_symlink(outside, root / "link");
    ASSERT_TRUE(files().removeItem(root / "link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "link")));
    EXPECT_EQ(readFile(outside / "precious"), "precious");
    EXPECT_TRUE(failsWith(files().removeItem(root / "missing"), FileError::noSuchFile));
    EXPECT_FALSE(files().removeItem("/"));
}

TEST_F(FileManagerTreeTest, RemovingGoesOnPastItemsItMayNotRemoveAndReportsTheFirst) {
    VORNELO_REQUIRE_ROOT();
    ::chmod(root.c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    const auto tree = root / "tree";
    writeFile(tree / "locked" / "root-file", "root");
    writeFile(tree / "mine", "mine");
    ::chown(tree.c_str(), account.uid, account.gid);
    ::chown((tree / "mine").c_str(), account.uid, account.gid);
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto removed = failsWith(files().removeItem(tree), FileError::writeNoPermission);
        if (!removed) return removed.message();
        return fs::exists(tree / "mine") ? "left the removable file behind" : "";
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(tree / "locked" / "root-file"), "root");
}

// MARK: walking

struct Seen {
    FileType type;
    std::size_t depth;
    std::int64_t allocatedSize;
    bool operator==(const Seen&) const = default;
};

// Walks and keeps every visited item by its path relative to the start.
std::map<std::string, Seen> walk(const fs::path& start, const std::function<TreeWalkAction(const TreeWalkItem&)>& decide = {},
                                 std::expected<TreeWalkEnd, FileError>* end = nullptr) {
    std::map<std::string, Seen> seen;
    TreeWalkVisitor visitor;
    visitor.visit = [&](const TreeWalkItem& item) {
        seen[(fs::path(item.parentPath) / item.name).lexically_relative(start).native()] = {item.type, item.depth, item.allocatedSize};
        return decide ? decide(item) : TreeWalkAction::proceed;
    };
    const auto result = files().walkTree(start, visitor);
    if (end) *end = result;
    return seen;
}

TEST_F(FileManagerTreeTest, AWalkVisitsEveryItemOnceWithItsKindAndDepthSkipsAndStopsWhenToldAndStartsOnlyAtAFolder) {
    const auto start = root / "root";
    writeFile(start / "a" / "b" / "file", std::string(5000, 'f'));
    writeFile(start / ".hidden", "h");
    fs::create_symlink(start / "a", start / "link");
    ::mkfifo((start / "pipe").c_str(), 0600);
    std::expected<TreeWalkEnd, FileError> end = TreeWalkEnd::stopped;
    const auto seen = walk(start, {}, &end);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::completed);
    std::map<std::string, std::pair<FileType, std::size_t>> kinds;
    for (const auto& [path, item] : seen) kinds[path] = {item.type, item.depth};
    using enum FileType;
    EXPECT_EQ(kinds, (decltype(kinds){{"a", {directory, 1}}, {"a/b", {directory, 2}}, {"a/b/file", {regular, 3}},
                                      {".hidden", {regular, 1}}, {"link", {symbolicLink, 1}}, {"pipe", {other, 1}}}));
    EXPECT_GE(seen.at("a/b/file").allocatedSize, 5000);

    writeFile(start / "keep" / "inside", "x");
    const auto skipped = walk(start, [](const TreeWalkItem& item) {
        return item.name == "a" ? TreeWalkAction::skipDescendants : TreeWalkAction::proceed;
    });
    EXPECT_TRUE(skipped.contains("a") && !skipped.contains("a/b") && skipped.contains("keep/inside"));
    end = TreeWalkEnd::completed;
    EXPECT_EQ(walk(start, [](const TreeWalkItem&) { return TreeWalkAction::stop; }, &end).size(), 1u);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::stopped);

    for (const char* notAFolder : {"link", ".hidden"}) {
        EXPECT_TRUE(walk(start / notAFolder, {}, &end).empty()) << notAFolder;
        EXPECT_FALSE(end) << notAFolder;
    }
    EXPECT_TRUE(walk(start / "missing", {}, &end).empty());
    ASSERT_FALSE(end);
    EXPECT_TRUE(end.error().isCocoa(FileError::readNoSuchFile));
}

TEST_F(FileManagerTreeTest, AParallelWalkSeesTheSameItemsAndAStopEndsEveryThread) {
    const auto start = root / "wide";
    for (int folder = 0; folder < 40; ++folder) {
        for (int file = 0; file < 15; ++file) {
            writeFile(start / ("f" + std::to_string(folder)) / ("sub" + std::to_string(file % 3)) / std::to_string(file), "x");
        }
    }
    // Writeback may still change the allocated sizes (delayed allocation) between the two walks.
    const FileDescriptor settled(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::syncfs(settled.get()), 0);
    const auto sequential = walk(start);
    std::mutex lock;
    std::map<std::string, Seen> parallel;
    std::set<std::thread::id> threads;
    // Each folder is tagged as it is visited; its items, whichever thread walks them, carry the tag.
    std::map<std::string, std::uintptr_t> tags{{".", 0}};
    std::vector<std::string> mistagged;
    TreeWalkVisitor visitor;
    visitor.parallel = true;
    visitor.visit = [&](const TreeWalkItem& item) {
        // Linger a little so that folders are handed to the other threads.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        std::lock_guard guard(lock);
        threads.insert(std::this_thread::get_id());
        const auto relative = (fs::path(item.parentPath) / item.name).lexically_relative(start);
        parallel[relative.native()] = {item.type, item.depth, item.allocatedSize};
        const auto parent = relative.parent_path().empty() ? "." : relative.parent_path().native();
        if (!tags.contains(parent) || tags[parent] != item.parentTag) mistagged.push_back(relative.native());
        if (item.type == FileType::directory) item.tag = tags[relative.native()] = tags.size() + 100;
        return TreeWalkAction::proceed;
    };
    ASSERT_TRUE(files().walkTree(start, visitor));
    EXPECT_TRUE(parallel == sequential);
    EXPECT_EQ(mistagged, std::vector<std::string>{});
    EXPECT_LE(threads.size(), concurrentPerformWorkerCount() + 1);

    // At most the visit each thread was starting follows a stop.
    std::atomic<int> visitsAfterStop{0};
    std::atomic<bool> refused{false};
    visitor.checkInterval = 100;
    visitor.shouldContinue = [&] { return !(refused = true); };
    visitor.visit = [&](const TreeWalkItem&) {
        if (refused) ++visitsAfterStop;
        return TreeWalkAction::proceed;
    };
    const auto end = files().walkTree(start, visitor);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::stopped);
    EXPECT_LE(visitsAfterStop.load(), static_cast<int>(concurrentPerformWorkerCount() + 1));
}

}  // namespace
}  // namespace vornelo::platform
