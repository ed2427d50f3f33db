#include "Core/ScanCoverage.h"

#include "Platform/Encoding/Checked.h"

#include <algorithm>
#include <cerrno>

namespace vornelo {

using platform::FileError;

std::string_view ScanCoverage::rawValue(Kind kind) {
    switch (kind) {
        case Kind::denied: return "denied";
        case Kind::unavailable: return "unavailable";
        case Kind::missing: return "missing";
    }
    return "unavailable";
}

std::optional<ScanCoverage::Kind> ScanCoverage::kindFromRawValue(std::string_view raw) {
    for (const auto kind : {Kind::denied, Kind::unavailable, Kind::missing}) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::string ScanCoverage::Issue::id() const {
    std::string identity = path;
    identity.append(rawValue(kind));
    return identity;
}

bool ScanCoverage::isPartial() const {
    if (additionalIssueCount > 0) return true;
    return std::ranges::any_of(issues, [](const Issue& issue) { return issue.kind != Kind::missing; });
}

std::int64_t ScanCoverage::unavailableCount() const {
    const auto kept = std::ranges::count_if(issues, [](const Issue& issue) { return issue.kind != Kind::missing; });
    return checkedAdd(static_cast<std::int64_t>(kept), additionalIssueCount);
}

std::int64_t ScanCoverage::missingCount() const {
    return static_cast<std::int64_t>(
        std::ranges::count_if(issues, [](const Issue& issue) { return issue.kind == Kind::missing; }));
}

ScanCoverage::Kind ScanCoverageRecorder::classify(const FileError& error) {
    using Kind = ScanCoverage::Kind;
    if (error.domain == FileError::cocoaDomain) {
        if (error.code == FileError::noSuchFile || error.code == FileError::readNoSuchFile) return Kind::missing;
        if (error.code == FileError::readNoPermission) return Kind::denied;
        return Kind::unavailable;
    }
    if (error.domain == FileError::posixDomain) {
        if (error.code == ENOENT) return Kind::missing;
        if (error.code == EACCES || error.code == EPERM) return Kind::denied;
        return Kind::unavailable;
    }
    return Kind::unavailable;
}

void ScanCoverageRecorder::record(const std::filesystem::path& url, ScanCoverage::Kind kind, std::string detail) {
    const std::string& path = url.native();
    std::lock_guard guard(lock_);
    const bool known = std::ranges::any_of(
        value_.issues, [&](const ScanCoverage::Issue& issue) { return issue.kind == kind && issue.path == path; });
    if (known) return;
    if (value_.issues.size() < maxIssues) {
        value_.issues.push_back({path, kind, std::move(detail)});
        return;
    }
    if (kind != ScanCoverage::Kind::missing) value_.additionalIssueCount = checkedAdd(value_.additionalIssueCount, 1);
}

void ScanCoverageRecorder::failed(const std::filesystem::path& url, const FileError& error) {
    // Classified before record() takes the lock, so the lock is taken once.
    record(url, classify(error), error.description);
}

void ScanCoverageRecorder::checked(const std::filesystem::path& url) {
    const std::string& path = url.native();
    std::lock_guard guard(lock_);
    if (!checkedSet_.insert(path).second) return;
    value_.checkedPaths.push_back(path);
}

void ScanCoverageRecorder::cloudSkipped() {
    std::lock_guard guard(lock_);
    value_.skippedCloudOnly = checkedAdd(value_.skippedCloudOnly, 1);
}

ScanCoverage ScanCoverageRecorder::snapshot() const {
    ScanCoverage copy;
    {
        std::lock_guard guard(lock_);
        copy = value_;
    }
    // Sorting a private copy needs no lock.
    std::ranges::sort(copy.checkedPaths);
    std::ranges::stable_sort(copy.issues, {}, &ScanCoverage::Issue::path);
    return copy;
}

}  // namespace vornelo
