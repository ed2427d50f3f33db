#include "Scan/CleanupScan.h"

#include "Core/ConcurrentMap.h"
#include "Core/Log.h"
#include "Platform/Encoding/Checked.h"
#include "Scan/AppScanner.h"
#include "Scan/ArtifactScanner.h"
#include "Scan/CacheScanner.h"
#include "Scan/DuplicateScanner.h"
#include "Scan/FindingJudge.h"
#include "Scan/FindingSizer.h"
#include "Scan/InstallerScanner.h"
#include "Scan/LargeFileScanner.h"
#include "Scan/LeftoverScanner.h"
#include "Scan/LogScanner.h"
#include "Scan/TreeScan.h"
#include "Scan/TrashScanner.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace vornelo::scan {

namespace {

using platform::FileManager;

platform::TimePoint lastUsed(const Candidate& candidate, const Measure& measure) {
    const auto& item = candidate.item;
    switch (candidate.basis) {
        case AgeBasis::modified: return std::max(measure.newestModification, candidate.knownDate.value_or(platform::distantPast));
        case AgeBasis::used:
            return std::max({item.accessDate, item.modificationDate, candidate.knownDate.value_or(platform::distantPast)});
        case AgeBasis::deleted: return candidate.knownDate.value_or(item.modificationDate);
    }
    return item.modificationDate;
}

bool oldEnough(const Candidate& candidate, platform::TimePoint used, platform::TimePoint now) {
    if (candidate.minimumAgeDays <= 0) return true;
    return now - used >= std::chrono::days(candidate.minimumAgeDays);
}

// Candidates inside another candidate's folder leave with it; a path proposed twice counts once.
std::vector<Candidate> outermost(std::vector<Candidate> candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.item.path < b.item.path; });
    std::unordered_set<std::string> folders;
    std::vector<Candidate> kept;
    for (auto& candidate : candidates) {
        const auto& path = candidate.item.path;
        bool inside = !kept.empty() && kept.back().item.path == path;
        for (auto slash = path.rfind('/'); !inside && slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
            inside = folders.contains(path.substr(0, slash));
        }
        if (inside) continue;
        if (candidate.item.isFolder()) folders.insert(path);
        kept.push_back(std::move(candidate));
    }
    return kept;
}

std::vector<std::unique_ptr<PlaceScanner>> placeScanners(const ScanOptions& options) {
    std::vector<std::unique_ptr<PlaceScanner>> scanners;
    scanners.push_back(std::make_unique<CacheScanner>());
    scanners.push_back(std::make_unique<LogScanner>());
    scanners.push_back(std::make_unique<TrashScanner>());
    scanners.push_back(std::make_unique<LeftoverScanner>());
    scanners.push_back(std::make_unique<InstallerScanner>());
    scanners.push_back(std::make_unique<AppScanner>());
    std::erase_if(scanners, [&](const auto& scanner) { return !options.wants(scanner->category()); });
    return scanners;
}

// Each group's copies and the bytes they give back; groups left with no copy go, the others are
// ordered by what they give back and their copies told their new place.
void countGroups(std::vector<DuplicateGroup>& groups, std::vector<Finding>& findings) {
    for (auto& group : groups) group.copyCount = group.bytesBack = 0;
    for (const auto& finding : findings) {
        if (finding.group < 0) continue;
        auto& group = groups[static_cast<std::size_t>(finding.group)];
        ++group.copyCount;
        group.bytesBack = checkedAdd(group.bytesBack, finding.sizeBytes);
    }
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (groups[i].copyCount > 0) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return groups[a].bytesBack > groups[b].bytesBack; });
    std::vector<std::int32_t> placeOf(groups.size(), -1);
    std::vector<DuplicateGroup> sorted;
    for (const auto index : order) {
        placeOf[index] = static_cast<std::int32_t>(sorted.size());
        sorted.push_back(std::move(groups[index]));
    }
    groups = std::move(sorted);
    for (auto& finding : findings) {
        if (finding.group >= 0) finding.group = placeOf[static_cast<std::size_t>(finding.group)];
    }
}

void logScan(const ScanReport& report) {
    const auto unreadable = report.coverage.unavailableCount();
    Log::scan().notice("scan of %{public}d folders found %{public}d findings, %{public}lld bytes, among %{public}lld "
                       "items; %{public}lld could not be read%{public}s",
                       report.roots.size(), report.findings.size(), report.totalBytes(), report.itemsLookedAt, unreadable,
                       report.cancelled ? "; stopped early" : "");
    for (const auto& issue : report.coverage.issues) {
        Log::scan().info("not covered: %{private}s (%{public}s)", issue.path, ScanCoverage::rawValue(issue.kind));
    }
}

}  // namespace

std::vector<std::string> CleanupScan::rootsFor(const ScanOptions& options, const ScanPlaces& places) {
    std::vector<std::string> roots;
    for (const auto& root : options.roots) roots.push_back(FileManager::absoluteStandardizedPath(root.native()));
    if (roots.empty()) roots.push_back(places.home);
    std::vector<std::string> kept;
    for (const auto& root : roots) {
        const bool covered = std::any_of(roots.begin(), roots.end(), [&](const std::string& other) {
            return other != root && liesWithin(root, other);
        });
        if (!covered && std::find(kept.begin(), kept.end(), root) == kept.end()) kept.push_back(root);
    }
    return kept;
}

ScanReport CleanupScan::run(const ScanOptions& options, ScanProgress& progress, std::stop_token stop,
                            const platform::ContentHash* hash) const {
    ScanReport report;
    report.startedAt = places_.now;
    report.roots = rootsFor(options, places_);
    ScanCoverageRecorder coverage;
    const ScanContext context(places_, options, report.roots, fileManager_, coverage, progress, stop);
    const FindingJudge judge(protection_, fileManager_);

    // The places the scanners know by name, all at once.
    const auto scanners = placeScanners(options);
    const auto proposed = concurrentMap(scanners, [&](const std::unique_ptr<PlaceScanner>& scanner) { return scanner->scan(context); });
    std::vector<Candidate> candidates;
    std::unordered_set<std::string> claimed;
    for (const auto& list : proposed) {
        for (const auto& candidate : list) {
            if (!context.covers(candidate.item.path) && !context.coversTheSystem()) continue;
            claimed.insert(candidate.item.path);
            candidates.push_back(candidate);
        }
    }

    // One walk of the folders covered for the scanners that look at the user's own files.
    ArtifactScanner artifacts;
    LargeFileScanner largeFiles;
    std::optional<DuplicateScanner> duplicates;  // let go once compared, with the walk's folders
    std::vector<TreeObserver*> observers;
    if (options.wants(Category::artifact)) observers.push_back(&artifacts);
    if (options.wants(Category::largeFile)) observers.push_back(&largeFiles);
    if (options.wants(Category::duplicate)) observers.push_back(&duplicates.emplace(context));
    std::optional<TreeScan> tree;
    if (!observers.empty()) {
        auto found = tree.emplace(context, observers, std::move(claimed)).walk();
        std::move(found.begin(), found.end(), std::back_inserter(candidates));
    }

    const auto allowed = concurrentMap(candidates, [&](const Candidate& candidate) {
        return !judge.isProtected(candidate.item.path, candidate.item.isFolder(), candidate.reachedWithoutLinks);
    });
    std::vector<Candidate> judged;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (allowed[i]) judged.push_back(std::move(candidates[i]));
    }
    std::vector<Candidate>().swap(candidates);

    std::optional<DuplicateScanner::Result> compared;
    if (duplicates && !context.stopped()) {
        progress.setPhase("Comparing " + std::to_string(duplicates->fileCount()) + " files");
        std::unordered_set<std::string> largeFilePaths;
        for (const auto& candidate : judged) {
            if (candidate.category == Category::largeFile) largeFilePaths.insert(candidate.item.path);
        }
        const platform::ContentHash runHash;
        compared = duplicates->compare(*tree, judge, hash ? *hash : runHash, largeFilePaths);
        // A copy, or the copy kept, is never also offered as a large file: cleaning both could take every copy.
        const std::unordered_set<std::string> members(compared->members.begin(), compared->members.end());
        std::erase_if(judged, [&](const Candidate& c) { return c.category == Category::largeFile && members.contains(c.item.path); });
    }
    duplicates.reset();
    tree.reset();
    judged = outermost(std::move(judged));

    progress.setPhase("Measuring " + std::to_string(judged.size()) + " findings");
    const FindingSizer sizer(context);
    auto measures = concurrentMap(judged, [&](const Candidate& candidate) {
        if (context.stopped()) return Measure{0, 0, {}, {}, false};
        auto measure = sizer.measure(candidate);
        progress.addBytesFound(measure.measuredBytes);
        return measure;
    });
    std::vector<Finding> findings;
    std::vector<std::pair<std::size_t, std::vector<LinkedFile>>> linked;
    for (std::size_t i = 0; i < judged.size(); ++i) {
        auto& candidate = judged[i];
        auto& measure = measures[i];
        const auto used = lastUsed(candidate, measure);
        // Nothing to give back is no finding (an empty folder, a link).
        if (!measure.complete || measure.measuredBytes == 0 || !oldEnough(candidate, used, places_.now)) continue;
        if (options.minimumSize && measure.measuredBytes < *options.minimumSize) continue;
        Finding finding;
        finding.path = std::move(candidate.item.path);
        finding.category = candidate.category;
        finding.sizeBytes = measure.singleLinkBytes;
        finding.measuredBytes = measure.measuredBytes;
        finding.reason = SharedText(std::move(candidate.reason));
        finding.lastUsed = used;
        finding.confidence = candidate.confidence;
        finding.isFolder = candidate.item.isFolder();
        finding.fileNumber = candidate.item.fileNumber;
        finding.device = static_cast<std::uint64_t>(candidate.item.device);
        finding.originalPath = std::move(candidate.originalPath);
        if (finding.isFolder) coverage.checked(finding.path);
        if (!measure.linked.empty()) linked.emplace_back(findings.size(), std::move(measure.linked));
        findings.push_back(std::move(finding));
    }
    std::vector<Candidate>().swap(judged);
    std::vector<Measure>().swap(measures);

    if (compared) {
        const auto offset = findings.size();
        for (auto& [index, file] : compared->linked) linked.emplace_back(offset + index, std::vector<LinkedFile>{file});
        std::move(compared->copies.begin(), compared->copies.end(), std::back_inserter(findings));
        report.duplicateGroups = std::move(compared->groups);
        compared.reset();
    }
    FindingSizer::countLinksOnce(findings, std::move(linked));
    countGroups(report.duplicateGroups, findings);

    std::sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        if (a.category != b.category) return a.category < b.category;
        if (a.sizeBytes != b.sizeBytes) return a.sizeBytes > b.sizeBytes;
        return a.path < b.path;
    });
    report.findings = std::move(findings);
    report.coverage = coverage.snapshot();
    report.itemsLookedAt = static_cast<std::int64_t>(progress.items());
    report.cancelled = stop.stop_requested();
    logScan(report);
    return report;
}

}  // namespace vornelo::scan
