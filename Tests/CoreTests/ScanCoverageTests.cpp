#include "Core/ScanCoverage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace vornelo {
namespace {

using Kind = ScanCoverage::Kind;
using platform::FileError;
using platform::FileOperation;

TEST(ScanCoverageRecorder, KeepsOneIssuePerPathAndKindAndMissingItemsAloneAreNotPartial) {
    ScanCoverageRecorder recorder;
    EXPECT_FALSE(recorder.snapshot().isPartial());
    recorder.record("/x", Kind::missing, "");
    recorder.record("/y", Kind::missing, "");
    recorder.record("/x", Kind::missing, "again");
    recorder.cloudSkipped();
    recorder.cloudSkipped();
    auto coverage = recorder.snapshot();
    EXPECT_FALSE(coverage.isPartial());
    EXPECT_EQ(std::tuple(coverage.missingCount(), coverage.unavailableCount(), coverage.skippedCloudOnly), std::tuple(2, 0, 2));

    recorder.record("/a/b", Kind::denied, "first");
    recorder.record("/a/b", Kind::denied, "second");
    recorder.record("/a/b", Kind::missing, "gone");
    coverage = recorder.snapshot();
    EXPECT_EQ(coverage.issues, (std::vector<ScanCoverage::Issue>{{"/a/b", Kind::denied, "first"}, {"/a/b", Kind::missing, "gone"},
                                                                 {"/x", Kind::missing, ""}, {"/y", Kind::missing, ""}}));
    EXPECT_TRUE(coverage.isPartial());
    EXPECT_EQ(std::tuple(coverage.missingCount(), coverage.unavailableCount()), std::tuple(3, 1));
}

TEST(ScanCoverageRecorder, CountsButDoesNotKeepIssuesPastTheCap) {
    ScanCoverageRecorder recorder;
    for (int i = 0; i < 200; ++i) recorder.record("/m/" + std::to_string(i), Kind::missing, "");
    EXPECT_FALSE(recorder.snapshot().isPartial());

    recorder.record("/denied", Kind::denied, "no");
    auto coverage = recorder.snapshot();
    EXPECT_EQ(coverage.issues.size(), 200u);
    EXPECT_EQ(coverage.additionalIssueCount, 1);
    EXPECT_EQ(coverage.unavailableCount(), 1);
    EXPECT_TRUE(coverage.isPartial());

    recorder.record("/another-missing", Kind::missing, "");
    EXPECT_EQ(recorder.snapshot(), coverage);

    // Past the cap repeats are not recognised, so each report counts.
    for (int i = 0; i < 3; ++i) recorder.record("/flaky", Kind::unavailable, "");
    coverage = recorder.snapshot();
    EXPECT_EQ(coverage.additionalIssueCount, 4);
    EXPECT_EQ(coverage.unavailableCount(), 4);
}

TEST(ScanCoverageRecorder, ClassifiesErrorsByDomainAndCodeAndRecordsTheirDescription) {
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
}

TEST(ScanCoverageRecorder, SnapshotsAreSortedCopies) {
    ScanCoverageRecorder recorder;
    recorder.record("/b", Kind::denied, "");
    recorder.record("/a", Kind::denied, "");
    recorder.record("/a", Kind::missing, "");
    recorder.checked("/z");
    recorder.checked("/c");
    recorder.checked("/z");

    const auto coverage = recorder.snapshot();
    EXPECT_EQ(coverage.checkedPaths, (std::vector<std::string>{"/c", "/z"}));
    std::vector<std::string> ids;
    for (const auto& issue : coverage.issues) ids.push_back(issue.id());
    EXPECT_EQ(ids, (std::vector<std::string>{"/adenied", "/amissing", "/bdenied"}));

    recorder.record("/0", Kind::denied, "");
    EXPECT_EQ(coverage.issues.size(), 3u);
    EXPECT_EQ(recorder.snapshot().issues.front().path, "/0");
}

TEST(ScanCoverage, KindsHaveTheirWireNames) {
    for (const auto kind : {Kind::denied, Kind::unavailable, Kind::missing}) {
        EXPECT_EQ(ScanCoverage::kindFromRawValue(ScanCoverage::rawValue(kind)), kind);
    }
    EXPECT_EQ(ScanCoverage::rawValue(Kind::unavailable), "unavailable");
    EXPECT_FALSE(ScanCoverage::kindFromRawValue("Denied"));
    EXPECT_FALSE(ScanCoverage::kindFromRawValue(""));
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
    EXPECT_EQ(coverage.issues.size(), 200u);
    EXPECT_EQ(coverage.additionalIssueCount, 200);
    EXPECT_EQ(coverage.checkedPaths.size(), 100u);
    EXPECT_EQ(coverage.skippedCloudOnly, 400);
}

}  // namespace
}  // namespace vornelo
