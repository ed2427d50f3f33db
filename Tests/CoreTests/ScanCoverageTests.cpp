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

TEST(ScanCoverageRecorder, KeepsOneIssuePerPathAndKind) {
    ScanCoverageRecorder recorder;
    recorder.record("/a/b", Kind::denied, "first");
    recorder.record("/a/b", Kind::denied, "second");
    EXPECT_EQ(recorder.snapshot().issues.size(), 1u);
    EXPECT_EQ(recorder.snapshot().issues.front().detail, "first");

    recorder.record("/a/b", Kind::missing, "gone");
    const auto coverage = recorder.snapshot();
    ASSERT_EQ(coverage.issues.size(), 2u);
    EXPECT_TRUE(coverage.isPartial());
    EXPECT_EQ(coverage.unavailableCount(), 1);
    EXPECT_EQ(coverage.missingCount(), 1);
}

TEST(ScanCoverageRecorder, MissingItemsAloneAreNotPartial) {
    ScanCoverageRecorder recorder;
    recorder.record("/x", Kind::missing, "");
    recorder.record("/y", Kind::missing, "");
    recorder.record("/x", Kind::missing, "");
    recorder.cloudSkipped();
    recorder.cloudSkipped();
    const auto coverage = recorder.snapshot();
    EXPECT_FALSE(coverage.isPartial());
    EXPECT_EQ(coverage.missingCount(), 2);
    EXPECT_EQ(coverage.unavailableCount(), 0);
    EXPECT_EQ(coverage.skippedCloudOnly, 2);
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

TEST(ScanCoverageRecorder, ClassifiesErrorsByDomainAndCode) {
    const auto cocoa = [](int code) { return FileError::make(FileError::cocoaDomain, code, "d"); };
    const auto posix = [](int code) { return FileError::make(FileError::posixDomain, code, "d"); };
    EXPECT_EQ(ScanCoverageRecorder::classify(cocoa(4)), Kind::missing);
    EXPECT_EQ(ScanCoverageRecorder::classify(cocoa(260)), Kind::missing);
    EXPECT_EQ(ScanCoverageRecorder::classify(cocoa(257)), Kind::denied);
    EXPECT_EQ(ScanCoverageRecorder::classify(cocoa(513)), Kind::unavailable);
    EXPECT_EQ(ScanCoverageRecorder::classify(cocoa(256)), Kind::unavailable);
    EXPECT_EQ(ScanCoverageRecorder::classify(posix(2)), Kind::missing);
    EXPECT_EQ(ScanCoverageRecorder::classify(posix(13)), Kind::denied);
    EXPECT_EQ(ScanCoverageRecorder::classify(posix(1)), Kind::denied);
    EXPECT_EQ(ScanCoverageRecorder::classify(posix(5)), Kind::unavailable);
    EXPECT_EQ(ScanCoverageRecorder::classify(FileError::make("Elsewhere", 2, "d")), Kind::unavailable);

    // What the file manager really produces for reads.
    EXPECT_EQ(ScanCoverageRecorder::classify(FileError::fromErrno(ENOENT, FileOperation::read, "/x")), Kind::missing);
    EXPECT_EQ(ScanCoverageRecorder::classify(FileError::fromErrno(EACCES, FileOperation::read, "/x")), Kind::denied);
    EXPECT_EQ(ScanCoverageRecorder::classify(FileError::fromErrno(EIO, FileOperation::read, "/x")), Kind::unavailable);
}

TEST(ScanCoverageRecorder, FailedRecordsTheDescription) {
    ScanCoverageRecorder recorder;
    const auto error = FileError::fromErrno(EACCES, FileOperation::read, "/secret");
    recorder.failed("/secret", error);
    const auto coverage = recorder.snapshot();
    ASSERT_EQ(coverage.issues.size(), 1u);
    EXPECT_EQ(coverage.issues[0], (ScanCoverage::Issue{"/secret", Kind::denied, error.description}));
    EXPECT_EQ(coverage.issues[0].id(), "/secretdenied");
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
    ASSERT_EQ(coverage.issues.size(), 3u);
    EXPECT_EQ(coverage.issues[0].id(), "/adenied");
    EXPECT_EQ(coverage.issues[1].id(), "/amissing");
    EXPECT_EQ(coverage.issues[2].id(), "/bdenied");

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
    EXPECT_FALSE(ScanCoverage{}.isPartial());
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
