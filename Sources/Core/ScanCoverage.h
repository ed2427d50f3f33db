#pragma once
// How complete a scan or sizing pass was: the items it could not read or found missing, the paths
// it measured, and the cloud-only items it left alone.
//
// ScanCoverage and its Issue are plain values. ScanCoverageRecorder is shared by every thread that
// reports into it: each operation takes its one lock for its whole body and calls nothing that
// could come back into the recorder; callers only ever receive copies.

#include "Platform/Files/FileError.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vornelo {

struct ScanCoverage {
    enum class Kind { denied, unavailable, missing };

    [[nodiscard]] static std::string_view rawValue(Kind kind);
    [[nodiscard]] static std::optional<Kind> kindFromRawValue(std::string_view raw);

    struct Issue {
        std::string path;
        Kind kind = Kind::unavailable;
        std::string detail;

        // The path immediately followed by the kind's raw value ("/a/bdenied").
        [[nodiscard]] std::string id() const;
        bool operator==(const Issue&) const = default;
    };

    std::vector<std::string> checkedPaths;
    std::vector<Issue> issues;              // at most ScanCoverageRecorder::maxIssues
    std::int64_t additionalIssueCount = 0;  // denied or unavailable issues past the cap
    std::int64_t skippedCloudOnly = 0;

    // Anything but missing items was left out.
    [[nodiscard]] bool isPartial() const;
    [[nodiscard]] std::int64_t unavailableCount() const;
    [[nodiscard]] std::int64_t missingCount() const;

    bool operator==(const ScanCoverage&) const = default;
};

class ScanCoverageRecorder {
public:
    static constexpr std::size_t maxIssues = 200;

    ScanCoverageRecorder() = default;
    ScanCoverageRecorder(const ScanCoverageRecorder&) = delete;
    ScanCoverageRecorder& operator=(const ScanCoverageRecorder&) = delete;

    // Keeps one issue per path and kind; past the cap, denied and unavailable reports are counted
    // (repeats included) and missing ones dropped.
    void record(const std::filesystem::path& url, ScanCoverage::Kind kind, std::string detail);
    // Classifies the file error and records it with the error's description as detail.
    void failed(const std::filesystem::path& url, const platform::FileError& error);
    void checked(const std::filesystem::path& url);
    void cloudSkipped();

    // A copy with checkedPaths sorted and issues stably sorted by path.
    [[nodiscard]] ScanCoverage snapshot() const;

    // Which kind of issue a file error stands for.
    [[nodiscard]] static ScanCoverage::Kind classify(const platform::FileError& error);

private:
    mutable std::mutex lock_;
    ScanCoverage value_;
    std::unordered_set<std::string> checkedSet_;  // value_.checkedPaths, for a constant-time repeat test
};

}  // namespace vornelo
