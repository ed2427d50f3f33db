#include "Platform/FileManager.h"
#include "Platform/TreeWalk.h"

#include "Platform/ConcurrentPerform.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace vornelo::platform {
namespace {

using test::writeFile;

namespace fs = std::filesystem;

struct Seen {
    FileType type;
    std::size_t depth;
    std::int64_t allocatedSize;
};

// Walks and keeps every visited item by its path relative to the start.
std::map<std::string, Seen> walk(const fs::path& start, const std::function<TreeWalkAction(const TreeWalkItem&)>& decide = {},
                                 std::expected<TreeWalkEnd, FileError>* end = nullptr) {
    std::map<std::string, Seen> seen;
    TreeWalkVisitor visitor;
    visitor.visit = [&](const TreeWalkItem& item) {
        std::string path(item.parentPath);
        path.append("/").append(item.name);
        seen[fs::path(path).lexically_relative(start).native()] = {item.type, item.depth, item.allocatedSize};
        return decide ? decide(item) : TreeWalkAction::proceed;
    };
    const auto result = FileManager::defaultManager().walkTree(start, visitor);
    if (end) *end = result;
    return seen;
}

TEST(FileManagerTreeWalk, VisitsEveryItemOnceWithItsKindAndDepth) {
    test::TempDirectory directory;
    const auto root = directory / "root";
    writeFile(root / "a" / "b" / "file", std::string(5000, 'f'));
    writeFile(root / ".hidden", "h");
    fs::create_symlink(root / "a", root / "link");
    ::mkfifo((root / "pipe").c_str(), 0600);

    std::expected<TreeWalkEnd, FileError> end = TreeWalkEnd::stopped;
    const auto seen = walk(root, {}, &end);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::completed);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen.at("a").type, FileType::directory);
    EXPECT_EQ(seen.at("a/b").depth, 2u);
    EXPECT_EQ(seen.at("a/b/file").type, FileType::regular);
    EXPECT_EQ(seen.at("a/b/file").depth, 3u);
    EXPECT_GE(seen.at("a/b/file").allocatedSize, 5000);
    EXPECT_EQ(seen.at(".hidden").type, FileType::regular);
    EXPECT_EQ(seen.at("link").type, FileType::symbolicLink);
    EXPECT_EQ(seen.at("pipe").type, FileType::other);
}

TEST(FileManagerTreeWalk, SkipsAndStopsWhenTold) {
    test::TempDirectory directory;
    const auto root = directory / "root";
    writeFile(root / "skip" / "inside", "x");
    writeFile(root / "keep" / "inside", "x");
    const auto skipped = walk(root, [](const TreeWalkItem& item) {
        return item.name == "skip" ? TreeWalkAction::skipDescendants : TreeWalkAction::proceed;
    });
    EXPECT_TRUE(skipped.contains("skip"));
    EXPECT_FALSE(skipped.contains("skip/inside"));
    EXPECT_TRUE(skipped.contains("keep/inside"));

    std::expected<TreeWalkEnd, FileError> end = TreeWalkEnd::completed;
    const auto stopped = walk(root, [](const TreeWalkItem&) { return TreeWalkAction::stop; }, &end);
    EXPECT_EQ(stopped.size(), 1u);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::stopped);
}

TEST(FileManagerTreeWalk, TheStartMustBeAFolderAndIsNotFollowed) {
    test::TempDirectory directory;
    writeFile(directory / "folder" / "inside", "x");
    writeFile(directory / "file", "x");
    fs::create_symlink(directory / "folder", directory / "link");
    std::expected<TreeWalkEnd, FileError> end;
    EXPECT_TRUE(walk(directory / "link", {}, &end).empty());
    EXPECT_FALSE(end);
    EXPECT_TRUE(walk(directory / "file", {}, &end).empty());
    EXPECT_FALSE(end);
    EXPECT_TRUE(walk(directory / "missing", {}, &end).empty());
    ASSERT_FALSE(end);
    EXPECT_TRUE(end.error().isCocoa(FileError::readNoSuchFile));
}

TEST(FileManagerTreeWalk, AParallelWalkSeesTheSameItems) {
    test::TempDirectory directory;
    const auto root = directory / "wide";
    for (int folder = 0; folder < 40; ++folder) {
        for (int file = 0; file < 15; ++file) {
            writeFile(root / ("f" + std::to_string(folder)) / ("sub" + std::to_string(file % 3)) / std::to_string(file), "x");
        }
    }
    const auto sequential = walk(root);

    std::mutex lock;
    std::map<std::string, Seen> parallel;
    std::set<std::thread::id> threads;
    TreeWalkVisitor visitor;
    visitor.parallel = true;
    visitor.visit = [&](const TreeWalkItem& item) {
        std::string path(item.parentPath);
        path.append("/").append(item.name);
        // Linger a little so that folders are handed to the other threads.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        std::lock_guard guard(lock);
        threads.insert(std::this_thread::get_id());
        parallel[fs::path(path).lexically_relative(root).native()] = {item.type, item.depth, item.allocatedSize};
        return TreeWalkAction::proceed;
    };
    ASSERT_TRUE(FileManager::defaultManager().walkTree(root, visitor));
    ASSERT_EQ(parallel.size(), sequential.size());
    for (const auto& [path, seen] : sequential) {
        ASSERT_TRUE(parallel.contains(path)) << path;
        EXPECT_EQ(parallel.at(path).depth, seen.depth) << path;
        EXPECT_EQ(parallel.at(path).type, seen.type) << path;
    }
    EXPECT_LE(threads.size(), concurrentPerformWorkerCount() + 1);

    // A stop ends every thread's walk: at most the visit each thread was starting follows it.
    std::atomic<int> visitsAfterStop{0};
    std::atomic<bool> refused{false};
    visitor.checkInterval = 100;
    visitor.shouldContinue = [&] {
        refused = true;
        return false;
    };
    visitor.visit = [&](const TreeWalkItem&) {
        if (refused) ++visitsAfterStop;
        return TreeWalkAction::proceed;
    };
    const auto end = FileManager::defaultManager().walkTree(root, visitor);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, TreeWalkEnd::stopped);
    EXPECT_LE(visitsAfterStop.load(), static_cast<int>(concurrentPerformWorkerCount() + 1));
}

TEST(FileManagerTreeWalk, ReachesBelowPathMaxAndReportsFullPaths) {
    test::TempDirectory directory;
    const auto root = directory / "deep";
    fs::create_directories(root);
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(60, 'n');
    constexpr int depth = 80;  // about 4,900 bytes of path
    for (int level = 0; level < depth; ++level) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    ASSERT_EQ(::mkdirat(fd, "locked", 0), 0);
    ::close(fd);

    std::size_t deepest = 0;
    std::vector<std::string> problems;
    TreeWalkVisitor visitor;
    visitor.visit = [&](const TreeWalkItem& item) {
        deepest = std::max(deepest, item.depth);
        return TreeWalkAction::proceed;
    };
    visitor.failed = [&](const fs::path& path, const FileError&) { problems.push_back(path.native()); };
    ASSERT_TRUE(FileManager::defaultManager().walkTree(root, visitor));
    EXPECT_EQ(deepest, static_cast<std::size_t>(depth + 1));
    if (::geteuid() != 0) {  // root may open the locked folder
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_GT(problems[0].size(), 4096u);
        EXPECT_TRUE(problems[0].ends_with("/locked"));
    }
    ASSERT_TRUE(FileManager::defaultManager().removeItem(root));
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
}  // namespace vornelo::platform
