#include "Core/FileSizing.h"

#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/FailingFileManager.h"
#include "Support/Subprocess.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cstring>
#include <sstream>

namespace vornelo {
namespace {

using platform::FileError;
using platform::FileOperation;
using test::FailingFileManager;
using test::writeFile;
using Operation = FailingFileManager::Operation;

const auto always = [] { return true; };
const auto allocated = test::allocatedSizeOf;

std::int64_t sizeOf(const std::filesystem::path& path, ScanCoverageRecorder* coverage = nullptr,
                    const std::function<bool()>& shouldContinue = always,
                    const platform::FileManager& files = platform::FileManager::defaultManager()) {
    return FileSizing::allocatedSize(path, files, coverage, shouldContinue);
}

// What `find -type f` counts: the allocated blocks of every regular file, links not followed.
std::int64_t sizeByFind(const std::filesystem::path& folder) {
    const auto result = test::runProgram("/usr/bin/find", {folder.native(), "-type", "f", "-printf", "%b\n"});
    std::istringstream lines(result.out);
    std::int64_t blocks = 0;
    for (std::int64_t value = 0; lines >> value;) blocks += value;
    return blocks * 512;
}

TEST(FileSizing, FileSizePrefersTheAllocatedSizes) {
    FileSizing::ResourceValues values;
    EXPECT_EQ(FileSizing::fileSize(std::nullopt), std::nullopt);
    EXPECT_EQ(FileSizing::fileSize(values), std::nullopt);  // regular-file flag unknown
    values.isRegularFile = false;
    values.fileSize = 10;
    EXPECT_EQ(FileSizing::fileSize(values), std::nullopt);

    values.isRegularFile = true;
    EXPECT_EQ(FileSizing::fileSize(values), 10);  // no allocated sizes: the logical length
    values.fileAllocatedSize = 4096;
    EXPECT_EQ(FileSizing::fileSize(values), 4096);
    values.totalFileAllocatedSize = 8192;
    EXPECT_EQ(FileSizing::fileSize(values), 8192);
    FileSizing::ResourceValues noSizes;
    noSizes.isRegularFile = true;
    EXPECT_EQ(FileSizing::fileSize(noSizes), 0);
}

TEST(FileSizing, ItemsCountTheirAllocatedBlocksOnceAndLinksAreNeitherFollowedNorCounted) {
    test::TempDirectory directory;
    const auto file = directory / "ten-bytes.txt";
    writeFile(file, "0123456789");
    EXPECT_EQ(sizeOf(file), allocated(file));
    EXPECT_GT(sizeOf(file), 10);  // a whole block, not the length
    // Sparse: a large length with nothing written takes next to no space.
    const auto sparse = directory / "sparse.img";
    writeFile(sparse, "");
    std::filesystem::resize_file(sparse, 1 << 30);
    EXPECT_EQ(sizeOf(sparse), allocated(sparse));
    EXPECT_LT(sizeOf(sparse), 1 << 20);

    const auto big = directory / "big";
    writeFile(big / "data", std::string(1 << 20, 'd'));
    writeFile(big / "single", std::string(1 << 16, 's'));
    std::filesystem::create_directories(big / "empty");
    // Hard links in many folders, so that a parallel walk meets them on several threads at once: counted once, as du does.
    for (int i = 0; i < 40; ++i) {
        std::filesystem::create_directories(big / std::to_string(i));
        std::filesystem::create_hard_link(big / "data", big / std::to_string(i) / "link");
    }
    EXPECT_EQ(sizeOf(big), allocated(big / "data") + allocated(big / "single"));
    EXPECT_EQ(sizeOf(big / "7"), allocated(big / "data")) << "the one link below counts";
    EXPECT_EQ(sizeOf(big / "empty"), 0);
    std::filesystem::create_symlink(big, directory / "link-to-big");
    std::filesystem::create_directories(directory / "holder");
    std::filesystem::create_symlink(big, directory / "holder" / "link-to-big");
    std::filesystem::create_symlink(directory / "nowhere", directory / "dangling");
    EXPECT_EQ(sizeOf(directory / "link-to-big"), 0);
    EXPECT_EQ(sizeOf(directory / "holder"), 0);
    ScanCoverageRecorder coverage;
    EXPECT_EQ(sizeOf(directory / "dangling", &coverage), 0);
    EXPECT_TRUE(coverage.snapshot().issues.empty());
}

TEST(FileSizing, StopsAtTheFirstCheckPointThePredicateRefuses) {
    test::TempDirectory directory;
    const auto folder = directory / "thousand";
    for (int i = 0; i < 1000; ++i) writeFile(folder / ("f" + std::to_string(i)), "x");
    const auto each = allocated(folder / "f0");

    int calls = 0;
    EXPECT_EQ(sizeOf(folder, nullptr, [&] { return ++calls, false; }), 511 * each);
    EXPECT_EQ(calls, 1);

    calls = 0;
    EXPECT_EQ(sizeOf(folder, nullptr, [&] { return ++calls, true; }), 1000 * each);
    EXPECT_EQ(calls, 1);  // 1000 items: one check point, at the 512th

    // Folders and links are items too: 1024 entries make two check points.
    for (int i = 0; i < 24; ++i) std::filesystem::create_directories(folder / ("d" + std::to_string(i)));
    calls = 0;
    (void)sizeOf(folder, nullptr, [&] { return ++calls, true; });
    EXPECT_EQ(calls, 2);
}

TEST(FileSizing, AMissingStartAndFileManagerFailuresReachTheRecorderUnderTheNameAsItIs) {
    test::TempDirectory directory;
    const std::string odd = "caf\xE9-\xFF\xFE";
    writeFile(directory / "names" / odd / ("data-" + odd), std::string(10000, 'z'));
    EXPECT_EQ(sizeOf(directory / "names"), sizeByFind(directory / "names"));
    EXPECT_GT(sizeOf(directory / "names"), 0);
    EXPECT_EQ(sizeOf(directory / "not-there"), 0);  // silently without a recorder

    const FailingFileManager failingRead(Operation::attributesOfItem, 1, FileError::fromErrno(EIO, FileOperation::read, odd));
    const FailingFileManager failingWalk(Operation::walkTree, 1, FileError::fromErrno(EACCES, FileOperation::read, odd));
    const std::tuple<std::filesystem::path, const platform::FileManager*, ScanCoverage::Kind> cases[] = {
        {directory / "not-there", &platform::FileManager::defaultManager(), ScanCoverage::Kind::missing},
        {directory / "names" / odd, &failingRead, ScanCoverage::Kind::unavailable},
        {directory / "names" / odd, &failingWalk, ScanCoverage::Kind::denied}};
    for (const auto& [path, files, kind] : cases) {
        ScanCoverageRecorder coverage;
        EXPECT_EQ(sizeOf(path, &coverage, always, *files), 0) << path;
        const auto snapshot = coverage.snapshot();
        ASSERT_EQ(snapshot.issues.size(), 1u) << path;
        EXPECT_EQ(std::tie(snapshot.issues[0].path, snapshot.issues[0].kind), std::tie(path.native(), kind));
        EXPECT_EQ(snapshot.isPartial(), kind != ScanCoverage::Kind::missing) << path;
    }
}

TEST(FileSizing, UnreadableFoldersAreReportedAndLeftOut) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto root = directory / "tree";
    writeFile(root / "readable" / "file", std::string(20000, 'r'));
    writeFile(root / "locked" / "secret", std::string(20000, 's'));
    writeFile(root / "top", "t");
    ::chmod(root.c_str(), 0755);
    ::chmod((root / "readable").c_str(), 0755);
    ::chmod((root / "locked").c_str(), 0);
    const auto readablePart = allocated(root / "readable" / "file") + allocated(root / "top");

    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        ScanCoverageRecorder coverage;
        const auto size = sizeOf(root, &coverage);
        if (size != readablePart) return "size " + std::to_string(size) + ", expected " + std::to_string(readablePart);
        const auto snapshot = coverage.snapshot();
        if (snapshot.issues.size() != 1) return std::to_string(snapshot.issues.size()) + " issues, expected 1";
        if (snapshot.issues[0].path != (root / "locked").native()) return "issue for " + snapshot.issues[0].path;
        if (snapshot.issues[0].kind != ScanCoverage::Kind::denied) return "issue is not denied";
        if (sizeOf(root) != readablePart) return "size differs without a recorder";

        ScanCoverageRecorder startCoverage;
        if (sizeOf(root / "locked", &startCoverage) != 0) return "a locked start has a size";
        const auto start = startCoverage.snapshot();
        if (start.issues.size() != 1 || start.issues[0].kind != ScanCoverage::Kind::denied) return "locked start not denied";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(FileSizing, OtherFileSystemsBelowTheStartAreNotEntered) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto root = directory / "volume-holder";
    writeFile(root / "own", std::string(8192, 'o'));
    writeFile(root / "elsewhere" / "big", std::string(1 << 20, 'e'));
    std::filesystem::create_directories(root / "tmpfs");
    std::filesystem::create_directories(root / "bound");
    const auto ownSize = allocated(root / "own") + allocated(root / "elsewhere" / "big");

    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", (root / "tmpfs").c_str(), "tmpfs", 0, "size=16m") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        writeFile(root / "tmpfs" / "mounted", std::string(1 << 20, 'm'));
        // A bind mount of a folder on the same file system is another mount all the same.
        if (auto failed = test::bindMount((root / "elsewhere").native(), (root / "bound").native()); !failed.empty()) {
            return failed;
        }
        const auto size = sizeOf(root);
        if (size != ownSize) return "size " + std::to_string(size) + ", expected " + std::to_string(ownSize);
        if (sizeOf(root / "tmpfs") < (1 << 20)) return "a mounted volume measured from its root counts";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
