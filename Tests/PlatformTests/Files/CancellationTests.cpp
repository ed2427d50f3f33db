#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileTree.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <stop_token>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;

std::ptrdiff_t entriesIn(const fs::path& folder) {
    return std::distance(fs::recursive_directory_iterator(folder), fs::recursive_directory_iterator());
}

// A stopped removal or copy gives ECANCELED at once and leaves the source whole; a stopped copy
// takes away everything it made. Without a stop both finish.
TEST(Cancellation, RemovalAndCopyStopAtTheirNextEntryAndLeaveTheSourceWhole) {
    test::TempDirectory folder;
    for (int index = 0; index < 300; ++index) test::writeFile(folder / "tree" / ("d" + std::to_string(index % 7)) / std::to_string(index));
    test::writeFile(folder / "tree" / "large", std::string(20 << 20, 'x'));  // several copy chunks
    fs::create_directory(folder / "target");
    const FileDescriptor parent(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor target(::open((folder / "target").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(parent && target);
    const auto whole = entriesIn(folder / "tree");
    std::stop_source stopped;
    stopped.request_stop();

    std::int64_t removed = -1;
    const auto removal = removeEntryAt(parent.get(), "tree", (folder / "tree").native(), &removed, stopped.get_token());
    ASSERT_FALSE(removal);
    EXPECT_EQ(std::tuple(removal.error().underlyingPosixCode, removed, entriesIn(folder / "tree")), std::tuple(ECANCELED, 0, whole));

    {
        const auto copy = StagedCopy::make(parent.get(), "tree", (folder / "tree").native(), target.get(),
                                           (folder / "target").native(), stopped.get_token());
        ASSERT_FALSE(copy);
        EXPECT_EQ(copy.error().underlyingPosixCode, ECANCELED);
    }
    EXPECT_EQ(entriesIn(folder / "target"), 0) << "the staged copy's remains are gone";
    EXPECT_EQ(entriesIn(folder / "tree"), whole);

    {
        auto copy = StagedCopy::make(parent.get(), "tree", (folder / "tree").native(), target.get(), (folder / "target").native());
        ASSERT_TRUE(copy) << copy.error().description;
        ASSERT_EQ(copy->publish(target.get(), "tree"), 0);
    }
    EXPECT_EQ(entriesIn(folder / "target" / "tree"), whole);
    EXPECT_EQ(fs::file_size(folder / "target" / "tree" / "large"), std::uintmax_t(20) << 20);
    ASSERT_TRUE(removeEntryAt(parent.get(), "tree", (folder / "tree").native(), &removed));
    EXPECT_EQ(removed, whole + 1);
}

}  // namespace
}  // namespace vornelo::platform
