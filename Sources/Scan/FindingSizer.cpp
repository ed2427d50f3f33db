#include "Scan/FindingSizer.h"

#include "Platform/Encoding/Checked.h"
#include "Platform/Files/TreeWalk.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

namespace vornelo::scan {

namespace {

using platform::FileType;
using platform::TreeWalkAction;

void add(std::atomic<std::int64_t>& total, std::int64_t amount) {
    auto current = total.load(std::memory_order_relaxed);
    while (!total.compare_exchange_weak(current, checkedAdd(current, amount), std::memory_order_relaxed)) {
    }
}

void raise(std::atomic<std::int64_t>& newest, std::int64_t value) {
    auto current = newest.load(std::memory_order_relaxed);
    while (value > current && !newest.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}

std::int64_t ticks(platform::TimePoint time) { return time.time_since_epoch().count(); }

}  // namespace

Measure FindingSizer::measure(const Candidate& candidate) const {
    const auto& item = candidate.item;
    Measure measure;
    measure.newestModification = item.modificationDate;
    if (item.type == FileType::regular) {
        measure.measuredBytes = item.allocatedSize;
        if (item.linkCount > 1) {
            measure.linked.push_back({static_cast<std::uint64_t>(item.device), item.fileNumber, item.allocatedSize});
        } else {
            measure.singleLinkBytes = item.allocatedSize;
        }
        return measure;
    }
    if (item.type != FileType::directory) return measure;

    std::atomic<std::int64_t> single{0};
    std::atomic<std::int64_t> newest{ticks(item.modificationDate)};
    std::mutex lock;  // guards seen and linked
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    platform::TreeWalkVisitor visitor;
    visitor.parallel = true;
    visitor.noAccessTime = true;
    visitor.shouldContinue = [this] { return !context_.stopped(); };
    visitor.visit = [&](const platform::TreeWalkItem& entry) {
        if (entry.type == FileType::directory) {
            if (entry.isVolumeRoot && !context_.options().crossMounts) return TreeWalkAction::skipDescendants;
            raise(newest, ticks(entry.modificationDate));
            return TreeWalkAction::proceed;
        }
        if (entry.type != FileType::regular) return TreeWalkAction::proceed;
        raise(newest, ticks(entry.modificationDate));
        if (entry.linkCount <= 1) {
            add(single, entry.allocatedSize);
            return TreeWalkAction::proceed;
        }
        std::lock_guard guard(lock);
        if (seen.emplace(static_cast<std::uint64_t>(entry.device), entry.fileNumber).second) {
            measure.linked.push_back({static_cast<std::uint64_t>(entry.device), entry.fileNumber, entry.allocatedSize});
        }
        return TreeWalkAction::proceed;
    };
    visitor.failed = [this](const std::filesystem::path& path, const platform::FileError& error) {
        context_.coverage().failed(path, error);
    };
    const auto walked = context_.files().walkTree(item.path, visitor);
    if (!walked) context_.coverage().failed(item.path, walked.error());
    measure.complete = walked && *walked == platform::TreeWalkEnd::completed;
    measure.singleLinkBytes = single.load();
    measure.measuredBytes = measure.singleLinkBytes;
    for (const auto& file : measure.linked) measure.measuredBytes = checkedAdd(measure.measuredBytes, file.allocatedSize);
    measure.newestModification = platform::TimePoint(platform::TimePoint::duration(newest.load()));
    return measure;
}

void FindingSizer::countLinksOnce(std::vector<Finding>& findings,
                                  std::vector<std::pair<std::size_t, std::vector<LinkedFile>>> linked) {
    std::sort(linked.begin(), linked.end(), [&](const auto& a, const auto& b) { return findings[a.first].path < findings[b.first].path; });
    std::set<std::pair<std::uint64_t, std::uint64_t>> counted;
    for (const auto& [index, files] : linked) {
        for (const auto& file : files) {
            if (counted.emplace(file.device, file.fileNumber).second) {
                findings[index].sizeBytes = checkedAdd(findings[index].sizeBytes, file.allocatedSize);
            }
        }
    }
}

}  // namespace vornelo::scan
