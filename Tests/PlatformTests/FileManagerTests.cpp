#include "Platform/FileManager.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

namespace vornelo::platform {
namespace {

using test::TempDirectory;

TEST(FileManagerPathsTest, StandardisingRemovesDotsRepeatedAndTrailingSeparators) {
    EXPECT_EQ(FileManager::standardizedPath("/a/./b//c/"), "/a/b/c");
    EXPECT_EQ(FileManager::standardizedPath("/a/b/../c"), "/a/c");
    EXPECT_EQ(FileManager::standardizedPath("/../.."), "/");
    EXPECT_EQ(FileManager::standardizedPath("//"), "/");
    EXPECT_EQ(FileManager::standardizedPath("a/../../b"), "../b");
    EXPECT_EQ(FileManager::standardizedPath(""), "");
    EXPECT_EQ(FileManager::absoluteStandardizedPath("/x/y/.."), "/x");
    const auto relative = FileManager::absoluteStandardizedPath("some/where");
    EXPECT_EQ(relative, std::filesystem::current_path() / "some/where");
}

TEST(FileManagerPathsTest, TildeExpandsToTheHomeOnlyAtTheStart) {
    const auto& files = FileManager::defaultManager();
    const auto home = files.homeDirectoryForCurrentUser();
    EXPECT_EQ(files.expandingTildeInPath("~"), home);
    EXPECT_EQ(files.expandingTildeInPath("~/Projects/"), home + "/Projects/");
    EXPECT_EQ(files.expandingTildeInPath("/a/~/b"), "/a/~/b");
    EXPECT_EQ(files.expandingTildeInPath("~no-such-user-here/x"), "~no-such-user-here/x");
    EXPECT_EQ(files.expandingTildeInPath("~root/x"), *files.homeDirectory(0) + "/x");
}

class FileManagerTreeTest : public ::testing::Test {
protected:
    const FileManager& files = FileManager::defaultManager();
    TempDirectory directory;
};

TEST_F(FileManagerTreeTest, ResolvingFollowsEveryLinkAlongThePathAndKeepsAMissingTail) {
    const auto root = directory.path();
    std::filesystem::create_directories(root / "real/inner");
    std::filesystem::create_directory_symlink(root / "real", root / "absolute");
    std::filesystem::create_directory_symlink("real/inner", root / "relative");
    std::filesystem::create_directory_symlink("../../real", root / "real/inner/up");
    std::filesystem::create_symlink(root / "absolute", root / "chain");

    EXPECT_EQ(files.resolvingSymlinksInPath((root / "absolute/inner").native()), (root / "real/inner").native());
    EXPECT_EQ(files.resolvingSymlinksInPath((root / "relative").native()), (root / "real/inner").native());
    EXPECT_EQ(files.resolvingSymlinksInPath((root / "relative/up/inner").native()), (root / "real/inner").native());
    EXPECT_EQ(files.resolvingSymlinksInPath((root / "chain/missing/deeper").native()),
              (root / "real/missing/deeper").native());
    EXPECT_EQ(files.resolvingSymlinksInPath((root / "nothing/here").native()), (root / "nothing/here").native());
}

TEST_F(FileManagerTreeTest, ResolvingALinkLoopEnds) {
    const auto root = directory.path();
    std::filesystem::create_symlink(root / "b", root / "a");
    std::filesystem::create_symlink(root / "a", root / "b");
    const auto resolved = files.resolvingSymlinksInPath((root / "a/x").native());
    EXPECT_FALSE(resolved.empty());
}

TEST_F(FileManagerTreeTest, ListingsReportFoldersButNotLinksToFolders) {
    const auto root = directory.path();
    std::filesystem::create_directories(root / "folder");
    test::writeFile(root / "file");
    std::filesystem::create_directory_symlink(root / "folder", root / "link");
    auto entries = files.contentsOfDirectory(root);
    ASSERT_TRUE(entries);
    std::ranges::sort(*entries, {}, [](const DirectoryEntry& entry) { return entry.url; });
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[0].url, root / "file");
    EXPECT_EQ((*entries)[0].isDirectory, false);
    EXPECT_EQ((*entries)[1].isDirectory, true);
    EXPECT_EQ((*entries)[2].url, root / "link");
    EXPECT_EQ((*entries)[2].isDirectory, false);

    auto names = files.contentsOfDirectoryAtPath(root);
    ASSERT_TRUE(names);
    std::ranges::sort(*names);
    EXPECT_EQ(*names, (std::vector<std::string>{"file", "folder", "link"}));

    const auto missing = files.contentsOfDirectory(root / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, FileError::readNoSuchFile);
    EXPECT_EQ(missing.error().underlyingPosixCode, ENOENT);
}

TEST_F(FileManagerTreeTest, AttributesDescribeALinkRatherThanItsTarget) {
    const auto root = directory.path();
    test::writeFile(root / "file", "12345");
    std::filesystem::create_symlink(root / "file", root / "link");
    std::filesystem::create_symlink(root / "gone", root / "dangling");
    const auto file = files.attributesOfItem(root / "file");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, FileType::regular);
    EXPECT_EQ(file->size, 5);
    const auto link = files.attributesOfItem(root / "link");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->type, FileType::symbolicLink);
    EXPECT_NE(link->fileNumber, file->fileNumber);
    EXPECT_TRUE(files.fileExists(root / "dangling"));
    EXPECT_FALSE(files.fileExists(root / "gone"));
}

TEST_F(FileManagerTreeTest, AtomicWritesReplaceWholeFilesAndCleanUpOnFailure) {
    const auto target = directory / "data.json";
    const std::string first = "first version";
    const std::string second = "second";
    ASSERT_TRUE(files.writeAtomically(target, std::span(reinterpret_cast<const std::uint8_t*>(first.data()), first.size())));
    ASSERT_TRUE(files.writeAtomically(target, std::span(reinterpret_cast<const std::uint8_t*>(second.data()), second.size()),
                                      AtomicWriteOptions{0640, false}));
    EXPECT_EQ(test::readFile(target), second);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    const auto failed = files.writeAtomically(directory / "no/such/folder/file", {});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, FileError::noSuchFile);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()), {}), 1);
}

TEST_F(FileManagerTreeTest, ReadingRefusesFilesOverTheLimitAndFolders) {
    test::writeFile(directory / "small", "abc");
    const auto read = files.contentsOfFile(directory / "small", 3);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), 3u);
    EXPECT_FALSE(files.contentsOfFile(directory / "small", 2));
    EXPECT_FALSE(files.contentsOfFile(directory.path(), 1000));
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files.contentsOfFile(directory / "fifo", 1000)) << "must refuse, not wait for a writer";
}

TEST_F(FileManagerTreeTest, CreatingFoldersWithIntermediatesIsIdempotent) {
    const auto deep = directory / "a/b/c";
    ASSERT_TRUE(files.createDirectory(deep, true));
    ASSERT_TRUE(files.createDirectory(deep, true));
    const auto again = files.createDirectory(deep, false);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, FileError::writeFileExists);
    test::writeFile(directory / "plain");
    EXPECT_FALSE(files.createDirectory(directory / "plain", true)) << "a file is not a folder";
}

}  // namespace
}  // namespace vornelo::platform
