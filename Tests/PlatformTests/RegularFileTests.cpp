#include "Platform/RegularFile.h"

#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

namespace vornelo::platform {
namespace {

using test::readFile;
using test::TempDirectory;
using test::writeFile;

TEST(RegularFileTests, AppendingCreatesTheFileWithTheDefaultPermissionsAndAddsAtTheEnd) {
    TempDirectory folder;
    const auto path = folder / "log";
    const mode_t previous = ::umask(027);
    auto file = RegularFile::openForAppending(path);
    ::umask(previous);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->append("one\n"));
    ASSERT_TRUE(RegularFile::openForAppending(path)->append("two\n"));
    EXPECT_EQ(readFile(path), "one\ntwo\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(RegularFileTests, AnAppendThatFailsPartWayLeavesNoFragment) {
    TempDirectory folder;
    const auto path = folder / "log";
    writeFile(path, "kept\n");
    // A file-size limit makes the kernel accept part of the write and refuse the rest.
    const auto outcome = test::runInChild([&]() -> std::string {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8, 8};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
        auto file = RegularFile::openForAppending(path);
        if (!file) return "open failed";
        if (file->append("a line far longer than the limit\n")) return "the append claimed success";
        return "";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(path), "kept\n");
}

TEST(RegularFileTests, OpeningRefusesLinksFoldersAndFifos) {
    TempDirectory folder;
    writeFile(folder / "target", "secret");
    std::filesystem::create_symlink(folder / "target", folder / "link");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(folder / "dir");
    for (const auto* name : {"link", "fifo", "dir"}) {
        EXPECT_FALSE(RegularFile::openForReading(folder / name)) << name;
        EXPECT_FALSE(RegularFile::openForAppending(folder / name)) << name;
    }
    EXPECT_EQ(readFile(folder / "target"), "secret");
    const auto missing = RegularFile::openForReading(folder / "missing");
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().isCocoa(FileError::readNoSuchFile));
}

TEST(RegularFileTests, ReadStopsAtTheEndOfTheFile) {
    TempDirectory folder;
    writeFile(folder / "f", "0123456789");
    auto file = RegularFile::openForReading(folder / "f");
    ASSERT_TRUE(file);
    EXPECT_EQ(*file->size(), 10);
    std::string buffer(6, '\0');
    EXPECT_EQ(*file->read(7, buffer), 3u);
    EXPECT_EQ(buffer.substr(0, 3), "789");
    EXPECT_EQ(*file->read(10, buffer), 0u);
}

TEST(RegularFileTests, ContentsRefusesFilesOverTheLimit) {
    TempDirectory folder;
    writeFile(folder / "f", "twelve bytes");
    EXPECT_EQ(*RegularFile::contents(folder / "f", 12), "twelve bytes");
    EXPECT_FALSE(RegularFile::contents(folder / "f", 11));
}

}  // namespace
}  // namespace vornelo::platform
