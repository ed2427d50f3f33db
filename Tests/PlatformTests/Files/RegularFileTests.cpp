#include "Platform/Files/RegularFile.h"

#include "Platform/Files/FileReplacement.h"
#include "Platform/Files/LineReader.h"
#include "Support/ChildProcess.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <csignal>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace vornelo::platform {
namespace {

using test::readFile;
using test::writeFile;
namespace fs = std::filesystem;

class RegularFileTests : public ::testing::Test {
protected:
    test::TempDirectory folder;
};

TEST_F(RegularFileTests, AppendingCreatesTheFileWithTheDefaultPermissionsAddsAtTheEndAndLeavesNoFragmentOnFailure) {
    const auto path = folder / "log";
    auto file = test::underUmask(027, [&] { return RegularFile::openForAppending(path); });
    ASSERT_TRUE(file && file->append("one\n"));
    ASSERT_TRUE(RegularFile::openForAppending(path)->append("kept\n"));
    EXPECT_EQ(test::modeOf(path), 0640u);
    // A file-size limit makes the kernel accept part of the write and refuse the rest.
    const auto outcome = test::runInChild([&]() -> std::string {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
        auto again = RegularFile::openForAppending(path);
        if (!again) return "open failed";
        if (again->append("a line far longer than the limit\n")) return "the append claimed success";
        return "";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(path), "one\nkept\n");
}

TEST_F(RegularFileTests, OpeningRefusesLinksFoldersAndFifosAndReadingStopsAtTheEndOrTheLimit) {
    writeFile(folder / "target", "0123456789");
    fs::create_symlink(folder / "target", folder / "link");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    fs::create_directory(folder / "dir");
    for (const auto* name : {"link", "fifo", "dir"}) {
        EXPECT_FALSE(RegularFile::openForReading(folder / name)) << name;
        EXPECT_FALSE(RegularFile::openForAppending(folder / name)) << name;
    }
    EXPECT_EQ(readFile(folder / "target"), "0123456789");
    EXPECT_TRUE(test::failsWith(RegularFile::openForReading(folder / "missing"), FileError::readNoSuchFile));

    auto file = RegularFile::openForReading(folder / "target");
    ASSERT_TRUE(file);
    EXPECT_EQ(*file->size(), 10);
    std::string buffer(6, '\0');
    EXPECT_EQ(*file->read(7, buffer), 3u);
    EXPECT_EQ(buffer.substr(0, 3), "789");
    EXPECT_EQ(*file->read(10, buffer), 0u);
    EXPECT_EQ(*RegularFile::contents(folder / "target", 10), "0123456789");
    EXPECT_FALSE(RegularFile::contents(folder / "target", 9));
}

// MARK: replacing a whole file

TEST_F(RegularFileTests, AReplacementChangesTheTargetOnlyAtCommitAllAtOnceLeavesNoTemporaryFileAndReplacesALink) {
    const auto target = folder / "export.csv";
    writeFile(target, "old");
    {
        auto abandoned = FileReplacement::begin(target);
        ASSERT_TRUE(abandoned);
        ASSERT_TRUE(abandoned->write("never seen"));
        auto moved = std::move(*abandoned);  // the moved-from object owns nothing any more
    }
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(test::entryCount(folder.path()), 1);

    auto replacement = FileReplacement::begin(target);
    auto rival = FileReplacement::begin(target);
    ASSERT_TRUE(replacement && rival);
    ASSERT_TRUE(replacement->write("first half, "));
    ASSERT_TRUE(rival->write("rival"));
    EXPECT_EQ(readFile(target), "old");
    ASSERT_TRUE(replacement->write("second half"));
    ASSERT_TRUE(replacement->commit());
    EXPECT_EQ(readFile(target), "first half, second half");
    EXPECT_FALSE(replacement->write("too late"));
    ASSERT_TRUE(rival->commit());
    EXPECT_EQ(readFile(target), "rival");
    EXPECT_EQ(test::entryCount(folder.path()), 1);

    // A link is replaced rather than followed, with the default permissions.
    writeFile(folder / "elsewhere", "untouched");
    fs::create_symlink(folder / "elsewhere", folder / "link");
    auto linked = test::underUmask(077, [&] { return FileReplacement::begin(folder / "link"); });
    ASSERT_TRUE(linked && linked->write("new") && linked->commit());
    EXPECT_FALSE(fs::is_symlink(folder / "link"));
    EXPECT_EQ(readFile(folder / "link"), "new");
    EXPECT_EQ(readFile(folder / "elsewhere"), "untouched");
    EXPECT_EQ(test::modeOf(folder / "link"), 0600u);
    EXPECT_FALSE(FileReplacement::begin(folder / "missing" / "file"));
}

// MARK: reading lines

struct Read {
    std::vector<std::string> lines;  // "<oversized>" for an oversized line
    bool paddingHeld = true;
};

Read readAll(LineReader&& reader) {
    Read read;
    while (const auto line = reader.next()) {
        read.lines.emplace_back(line->oversized ? "<oversized>" : line->bytes);
        if (!line->oversized && line->readableBytes < line->bytes.size() + LineReader::padding) read.paddingHeld = false;
    }
    return read;
}

// A path a person named keeps whatever is not a regular file: a device or FIFO is written into, a
// link is never replaced by a file, a folder, a block device and a stranger's link are refused.
TEST_F(RegularFileTests, ANamedDestinationIsReplacedOnlyWhenItIsARegularFileOrNothing) {
    VORNELO_REQUIRE_ROOT();  // device nodes, and a link of another user's
    ::chmod(folder.path().c_str(), 0755);
    writeFile(folder / "kept", "old");
    ::chmod((folder / "kept").c_str(), 0640);
    ::chown((folder / "kept").c_str(), 65534, 65534);
    ASSERT_EQ(::mknod((folder / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(::mknod((folder / "disk").c_str(), S_IFBLK | 0600, makedev(7, 250)), 0);
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    fs::create_directory(folder / "dir");
    fs::create_symlink(folder / "kept", folder / "to-file");
    fs::create_symlink(folder / "fifo", folder / "to-fifo");
    fs::create_symlink(folder / "fifo", folder / "strangers-to-fifo");
    ::lchown((folder / "strangers-to-fifo").c_str(), 65534, 65534);
    fs::create_symlink(folder / "nowhere", folder / "dangling");
    const auto replace = [](const fs::path& path) -> std::expected<void, FileError> {
        auto output = FileReplacement::beginNamed(path);
        if (!output) return std::unexpected(output.error());
        if (auto written = output->write("new"); !written) return written;
        return output->commit();
    };
    std::string fromFifo;
    std::thread reader([&] { fromFifo = readFile(folder / "fifo"); });
    const std::tuple<const char*, bool, mode_t, const char*> cases[] = {
        {"kept", true, S_IFREG, nullptr},        {"fresh", true, S_IFREG, nullptr},
        {"null", true, S_IFCHR, nullptr},        {"to-fifo", true, S_IFLNK, nullptr},
        {"disk", false, S_IFBLK, "a block device"}, {"dir", false, S_IFDIR, "a folder"},
        {"to-file", false, S_IFLNK, "never replaced"}, {"dangling", false, S_IFLNK, "never replaced"},
        {"strangers-to-fifo", false, S_IFLNK, "someone else"},
    };
    for (const auto& [name, written, type, reason] : cases) {
        const auto result = replace(folder / name);
        EXPECT_EQ(result.has_value(), written) << name;
        if (!result && reason) { EXPECT_NE(result.error().description.find(reason), std::string::npos) << result.error().description; }
        EXPECT_EQ(test::statOf(folder / name).st_mode & S_IFMT, type) << name;
    }
    if (const int release = ::open((folder / "fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); release >= 0) ::close(release);
    reader.join();  // released above, should nothing have written to it
    EXPECT_EQ(fromFifo, "new");
    EXPECT_EQ(readFile(folder / "kept"), "new");
    EXPECT_EQ(std::tuple(test::modeOf(folder / "kept"), test::ownerOf(folder / "kept")), std::tuple(0640u, 65534u));
    EXPECT_EQ(readFile(folder / "fresh"), "new");
    for (const auto& entry : fs::directory_iterator(folder.path())) EXPECT_FALSE(entry.path().filename().native().ends_with(".tmp")) << entry.path();
}

TEST_F(RegularFileTests, LinesAreSplitAtLineFeedsWholeAcrossChunksAndOversizedOnesReportedWithoutTheirBytes) {
    std::string chunked;
    std::vector<std::string> chunkedLines;
    // Lengths chosen so that line feeds fall on, before and after the 1 MiB chunk edges.
    for (int i = 0; chunked.size() < 3 * 1024 * 1024 + 100; ++i) {
        chunkedLines.push_back(std::string(static_cast<std::size_t>(1000 + (i * 7919) % 70000), static_cast<char>('a' + i % 26)));
        chunked += chunkedLines.back() + "\n";
    }
    const std::string huge(3 * 1024 * 1024, 'x');
    const std::tuple<const char*, std::string, std::size_t, std::vector<std::string>> cases[] = {
        {"empty pieces skipped, an unterminated end kept", "\nfirst\n\n\nsecond\nlast without feed",
         LineReader::defaultMaxLineBytes, {"first", "second", "last without feed"}},
        {"empty", "", LineReader::defaultMaxLineBytes, {}},
        {"across chunk edges", chunked, LineReader::defaultMaxLineBytes, chunkedLines},
        {"oversized", "short\n" + std::string(40, 'y') + "\n" + huge + "\nafter\n" + huge, 32,
         {"short", "<oversized>", "<oversized>", "after", "<oversized>"}},
        {"exactly the limit", std::string(32, 'z') + "\n" + std::string(32, 'w'), 32, {std::string(32, 'z'), std::string(32, 'w')}},
    };
    for (const auto& [name, contents, maxLineBytes, lines] : cases) {
        writeFile(folder / "f", contents);
        const auto read = readAll(LineReader(folder / "f", maxLineBytes));
        EXPECT_EQ(read.lines, lines) << name;
        EXPECT_TRUE(read.paddingHeld) << name;
    }
    EXPECT_TRUE(readAll(LineReader(folder / "missing")).lines.empty());
    EXPECT_FALSE(LineReader(folder / "missing").opened());
}

TEST_F(RegularFileTests, AnOpenFileIsReadAsLinesOnlyUpToTheLengthTakenBeforehand) {
    writeFile(folder / "f", "one\ntwo\n");
    auto file = RegularFile::openForReading(folder / "f");
    ASSERT_TRUE(file);
    const auto length = file->sizeWhenOpened();
    ASSERT_TRUE(RegularFile::openForAppending(folder / "f")->append("three\n"));
    fs::remove(folder / "f");  // an open file outlives its name
    EXPECT_EQ(readAll(LineReader(std::move(*file), length)).lines, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace vornelo::platform
