#include "Platform/Encoding/ContentHash.h"
#include "Platform/Files/ContentReader.h"
#include "Platform/Files/TreeWalk.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

std::span<const std::byte> bytes(std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); }

TEST(ContentReader, ReadsOnlyTheRegularFileBelowItsFolderAsTheWalkSawIt) {
    test::TempDirectory folder;
    writeFile(folder / "dir/file.txt", "hello, world");
    ::mkfifo((folder / "dir/pipe").c_str(), 0600);
    fs::create_symlink("file.txt", folder / "dir/link");
    fs::create_symlink(folder / "dir", folder / "linked-dir");
    writeFile(folder.path().parent_path() / (folder.path().filename().native() + "-outside"), "secret");
    // The walk's stamp of a file is the one a reader sees, access times left as they were.
    struct timespec old[2] = {{1000000000, 0}, {UTIME_OMIT, 0}};
    ::utimensat(AT_FDCWD, (folder / "dir/file.txt").c_str(), old, 0);
    std::map<std::string, FileStamp> walked;
    TreeWalkVisitor visitor;
    visitor.noAccessTime = true;
    visitor.visit = [&](const TreeWalkItem& item) {
        walked[std::string(item.name)] = FileStamp::of(item);
        return TreeWalkAction::proceed;
    };
    ASSERT_TRUE(walkTree(folder.path(), visitor));

    const auto root = ContentRoot::open(folder.path());
    ASSERT_TRUE(root);
    auto reader = root->openFile("dir/file.txt", ContentReader::Access::whole);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->stamp(), walked["file.txt"]);
    std::vector<std::byte> buffer(64);
    EXPECT_EQ(reader->read(7, buffer), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 5), "world");
    struct stat after {};
    ::stat((folder / "dir/file.txt").c_str(), &after);
    EXPECT_EQ(after.st_atim.tv_sec, 1000000000) << "reading left the access time alone";

    const std::pair<std::string, int> refused[] = {
        {"dir/pipe", EINVAL}, {"dir", EINVAL}, {"dir/link", ELOOP}, {"linked-dir/file.txt", ELOOP},
        {"../" + folder.path().filename().native() + "-outside", EXDEV}, {"dir/none", ENOENT},
    };
    for (const auto& [path, error] : refused) {
        const auto opened = root->openFile(path, ContentReader::Access::blocks);
        ASSERT_FALSE(opened) << path;
        EXPECT_EQ(opened.error().underlyingPosixCode, error) << path;
    }
    fs::remove(folder.path().parent_path() / (folder.path().filename().native() + "-outside"));

    // A change while it is open shows in the stamp.
    std::ofstream(folder / "dir/file.txt", std::ios::app) << "!";
    EXPECT_NE(*reader->currentStamp(), reader->stamp());
}

TEST(ContentHash, PiecesHashAsTheWholeAndEverySecretDiffers) {
    const ContentHash fixed(42);
    const std::string text(10000, 'z');
    ContentHash::Stream stream(fixed);
    stream.update(bytes(std::string_view(text).substr(0, 3333)));
    stream.update(bytes(std::string_view(text).substr(3333)));
    EXPECT_EQ(stream.digest(), fixed.hash(bytes(text)));
    EXPECT_EQ(ContentHash(42).hash(bytes(text)), fixed.hash(bytes(text)));
    EXPECT_NE(ContentHash(43).hash(bytes(text)), fixed.hash(bytes(text)));
    EXPECT_NE(ContentHash().hash(bytes(text)), ContentHash().hash(bytes(text))) << "random secrets";
    auto changed = text;
    changed[5000] = 'y';
    EXPECT_NE(fixed.hash(bytes(changed)), fixed.hash(bytes(text)));
    EXPECT_NE(fixed.hash({}), fixed.hash(bytes(std::string_view("\0", 1))));
}

}  // namespace
}  // namespace vornelo::platform
