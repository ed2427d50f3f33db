#include "Platform/FileReplacement.h"

#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace vornelo::platform {
namespace {

using test::readFile;
using test::TempDirectory;
using test::writeFile;

std::size_t itemsIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

TEST(FileReplacementTests, TheTargetChangesOnlyAtCommitAndAllAtOnce) {
    TempDirectory folder;
    const auto target = folder / "export.csv";
    writeFile(target, "old");
    auto replacement = FileReplacement::begin(target);
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->write("first half, "));
    EXPECT_EQ(readFile(target), "old");
    ASSERT_TRUE(replacement->write("second half"));
    ASSERT_TRUE(replacement->commit());
    EXPECT_EQ(readFile(target), "first half, second half");
    EXPECT_EQ(itemsIn(folder.path()), 1u);
    EXPECT_FALSE(replacement->write("too late"));
}

TEST(FileReplacementTests, AnAbandonedReplacementLeavesTheTargetAndNoTemporaryFile) {
    TempDirectory folder;
    const auto target = folder / "export.csv";
    writeFile(target, "old");
    {
        auto replacement = FileReplacement::begin(target);
        ASSERT_TRUE(replacement);
        ASSERT_TRUE(replacement->write("never seen"));
        auto moved = std::move(*replacement);  // the moved-from object owns nothing any more
    }
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(itemsIn(folder.path()), 1u);
}

TEST(FileReplacementTests, ALinkAtTheTargetIsReplacedNotFollowed) {
    TempDirectory folder;
    writeFile(folder / "elsewhere", "untouched");
    std::filesystem::create_symlink(folder / "elsewhere", folder / "link");
    auto replacement = FileReplacement::begin(folder / "link");
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->write("new"));
    ASSERT_TRUE(replacement->commit());
    EXPECT_FALSE(std::filesystem::is_symlink(folder / "link"));
    EXPECT_EQ(readFile(folder / "elsewhere"), "untouched");
}

TEST(FileReplacementTests, ReplacementsOfOneFileFromSeveralWritersDoNotClash) {
    TempDirectory folder;
    const auto target = folder / "totals.json";
    auto first = FileReplacement::begin(target);
    auto second = FileReplacement::begin(target);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    ASSERT_TRUE(first->write("first"));
    ASSERT_TRUE(second->write("second"));
    ASSERT_TRUE(first->commit());
    ASSERT_TRUE(second->commit());
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(itemsIn(folder.path()), 1u);
}

TEST(FileReplacementTests, TheNewFileGetsTheDefaultPermissions) {
    TempDirectory folder;
    const mode_t previous = ::umask(077);
    auto replacement = FileReplacement::begin(folder / "private");
    ::umask(previous);
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->commit());
    struct stat info {};
    ASSERT_EQ(::stat((folder / "private").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(FileReplacementTests, AMissingFolderFailsAtTheStart) {
    TempDirectory folder;
    EXPECT_FALSE(FileReplacement::begin(folder / "missing" / "file"));
}

}  // namespace
}  // namespace vornelo::platform
