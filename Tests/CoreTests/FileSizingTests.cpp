#include "Core/FileSizing.h"
#include "Core/ScanCoverage.h"
#include "Support/ChildProcess.h"
#include "Support/CoreScenario.h"
#include "Support/FileChecks.h"
#include "Support/DeleterHarness.h"
#include "Support/FailingFileManager.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using platform::FileError;
using platform::FileOperation;
using test::FailingFileManager;
using test::writeFile;
using Operation = FailingFileManager::Operation;
using Kind = ScanCoverage::Kind;
using test::TempDirectory;

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
    using Size = std::optional<std::int64_t>;
    const auto values = [](std::optional<bool> regular, Size total, Size blocks, Size length) {
        FileSizing::ResourceValues result;
        std::tie(result.isRegularFile, result.totalFileAllocatedSize, result.fileAllocatedSize, result.fileSize) =
            std::tuple(regular, total, blocks, length);
        return result;
    };
    EXPECT_EQ(FileSizing::fileSize(std::nullopt), std::nullopt);
    // Only a known regular file has a size: the total allocated, else the allocated, else the length, else 0.
    const std::pair<FileSizing::ResourceValues, Size> cases[] = {
        {values(std::nullopt, {}, {}, 10), std::nullopt}, {values(false, {}, {}, 10), std::nullopt},
        {values(true, {}, {}, 10), 10}, {values(true, {}, 4096, 10), 4096}, {values(true, 8192, 4096, 10), 8192},
        {values(true, {}, {}, {}), 0}};
    for (const auto& [resource, size] : cases) EXPECT_EQ(FileSizing::fileSize(resource), size);
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

    EXPECT_TRUE(test::passesAsNobody([&]() -> std::string {
        ScanCoverageRecorder coverage;
        const auto size = sizeOf(root, &coverage);
        if (size != readablePart) return "size " + std::to_string(size) + ", expected " + std::to_string(readablePart);
        const auto denied = std::vector<ScanCoverage::Issue>{{(root / "locked").native(), Kind::denied, ""}};
        const auto issues = [](ScanCoverageRecorder& recorder) {
            auto found = recorder.snapshot().issues;
            for (auto& issue : found) issue.detail.clear();
            return found;
        };
        if (issues(coverage) != denied) return "the locked folder was not the one issue, denied";
        if (sizeOf(root) != readablePart) return "size differs without a recorder";
        ScanCoverageRecorder startCoverage;
        if (sizeOf(root / "locked", &startCoverage) != 0) return "a locked start has a size";
        return issues(startCoverage) == denied ? "" : "locked start not denied";
    }));
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

    EXPECT_TRUE(test::passed(test::withTmpfs(root / "tmpfs", "size=16m", [&]() -> std::string {
        writeFile(root / "tmpfs" / "mounted", std::string(1 << 20, 'm'));
        // A bind mount of a folder on the same file system is another mount all the same.
        if (auto failed = test::bindMount((root / "elsewhere").native(), (root / "bound").native()); !failed.empty()) {
            return failed;
        }
        const auto size = sizeOf(root);
        if (size != ownSize) return "size " + std::to_string(size) + ", expected " + std::to_string(ownSize);
        if (sizeOf(root / "tmpfs") < (1 << 20)) return "a mounted volume measured from its root counts";
        return {};
    })));
}

TEST(ScanCoverageRecorder, KeepsOneIssuePerPathAndKindAndMissingItemsAloneAreNotPartial) {
    ScanCoverageRecorder recorder;
    EXPECT_FALSE(recorder.snapshot().isPartial());
    recorder.record("/x", Kind::missing, "");
    recorder.record("/y", Kind::missing, "");
    recorder.record("/x", Kind::missing, "again");
    recorder.cloudSkipped();
    recorder.cloudSkipped();
    for (const auto* path : {"/z", "/c", "/z"}) recorder.checked(path);
    const auto first = recorder.snapshot();
    EXPECT_EQ(std::tuple(first.isPartial(), first.missingCount(), first.unavailableCount(), first.skippedCloudOnly),
              std::tuple(false, 2, 0, 2));

    recorder.record("/a/b", Kind::denied, "first");
    recorder.record("/a/b", Kind::denied, "second");
    recorder.record("/a/b", Kind::missing, "gone");
    const auto coverage = recorder.snapshot();
    // Snapshots are sorted copies: the first one does not see later reports.
    EXPECT_EQ(std::tuple(first.issues.size(), coverage.checkedPaths, coverage.issues[1].id()),
              std::tuple(2u, std::vector<std::string>{"/c", "/z"}, "/a/bmissing"));
    EXPECT_EQ(coverage.issues, (std::vector<ScanCoverage::Issue>{{"/a/b", Kind::denied, "first"}, {"/a/b", Kind::missing, "gone"},
                                                                 {"/x", Kind::missing, ""}, {"/y", Kind::missing, ""}}));
    EXPECT_EQ(std::tuple(coverage.isPartial(), coverage.missingCount(), coverage.unavailableCount()), std::tuple(true, 3, 1));
}

TEST(ScanCoverageRecorder, CountsButDoesNotKeepIssuesPastTheCapWhereRepeatsEachCount) {
    ScanCoverageRecorder recorder;
    for (int i = 0; i < 200; ++i) recorder.record("/m/" + std::to_string(i), Kind::missing, "");
    EXPECT_FALSE(recorder.snapshot().isPartial());
    recorder.record("/denied", Kind::denied, "no");
    const auto coverage = recorder.snapshot();
    EXPECT_EQ(std::tuple(coverage.issues.size(), coverage.additionalIssueCount, coverage.unavailableCount(), coverage.isPartial()),
              std::tuple(200u, 1, 1, true));
    recorder.record("/another-missing", Kind::missing, "");
    EXPECT_EQ(recorder.snapshot(), coverage);
    for (int i = 0; i < 3; ++i) recorder.record("/flaky", Kind::unavailable, "");
    EXPECT_EQ(std::tuple(recorder.snapshot().additionalIssueCount, recorder.snapshot().unavailableCount()), std::tuple(4, 4));
}

TEST(ScanCoverageRecorder, ClassifiesErrorsByDomainAndCodeAndRecordsTheirDescriptionAndKindsHaveWireNames) {
    const auto cocoa = [](int code) { return FileError::make(FileError::cocoaDomain, code, "d"); };
    const auto posix = [](int code) { return FileError::make(FileError::posixDomain, code, "d"); };
    const auto read = [](int code) { return FileError::fromErrno(code, FileOperation::read, "/x"); };  // as the file manager makes them
    const std::pair<FileError, Kind> cases[] = {
        {cocoa(4), Kind::missing},         {cocoa(260), Kind::missing},     {cocoa(257), Kind::denied},
        {cocoa(513), Kind::unavailable},   {cocoa(256), Kind::unavailable}, {posix(2), Kind::missing},
        {posix(13), Kind::denied},         {posix(1), Kind::denied},        {posix(5), Kind::unavailable},
        {FileError::make("Elsewhere", 2, "d"), Kind::unavailable},          {read(ENOENT), Kind::missing},
        {read(EACCES), Kind::denied},      {read(EIO), Kind::unavailable}};
    for (const auto& [error, kind] : cases) EXPECT_EQ(ScanCoverageRecorder::classify(error), kind) << error.description;

    ScanCoverageRecorder recorder;
    const auto error = FileError::fromErrno(EACCES, FileOperation::read, "/secret");
    recorder.failed("/secret", error);
    EXPECT_EQ(recorder.snapshot().issues, (std::vector<ScanCoverage::Issue>{{"/secret", Kind::denied, error.description}}));
    for (const auto kind : {Kind::denied, Kind::unavailable, Kind::missing}) {
        EXPECT_EQ(ScanCoverage::kindFromRawValue(ScanCoverage::rawValue(kind)), kind);
    }
    EXPECT_EQ(ScanCoverage::rawValue(Kind::unavailable), "unavailable");
    EXPECT_FALSE(ScanCoverage::kindFromRawValue("Denied") || ScanCoverage::kindFromRawValue(""));
}

TEST(ScanCoverageRecorder, ReportsFromManyThreadsAllArrive) {
    ScanCoverageRecorder recorder;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&recorder, t] {
            for (int i = 0; i < 100; ++i) {
                recorder.record("/t" + std::to_string(t) + "/" + std::to_string(i), Kind::denied, "");
                recorder.checked("/shared/" + std::to_string(i));
                recorder.cloudSkipped();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto coverage = recorder.snapshot();
    EXPECT_EQ(std::tuple(coverage.issues.size(), coverage.additionalIssueCount, coverage.checkedPaths.size(), coverage.skippedCloudOnly),
              std::tuple(200u, 200, 100u, 400));
}

}  // namespace
}  // namespace vornelo
