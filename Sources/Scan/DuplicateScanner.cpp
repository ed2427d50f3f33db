#include "Scan/DuplicateScanner.h"

#include "Core/ConcurrentMap.h"
#include "Platform/Files/FileManager.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <span>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::TreeWalkItem;

constexpr std::size_t recordsPerChunk = 8192;
constexpr std::size_t membersPerBatch = 4096;

constexpr std::string_view copyReason = "The same contents as a copy that stays.";

// One copy in a group: a file, with every link to it that the walk met.
struct Member {
    std::vector<std::uint32_t> links;  // the first stands for the file
    std::vector<std::string> paths;    // of the links, in the same order
    platform::TimePoint modified{};
    std::uint32_t root = 0;
    bool mustStay = false;  // protected, or in a folder to keep
    bool protectedPlace = false;
};

// The order the keep rules fall back on: the roots in the order named, then the paths' bytes.
bool namedBefore(const Member& a, const Member& b) {
    return std::tie(a.root, a.paths.front()) < std::tie(b.root, b.paths.front());
}

const Member& chosenBy(KeepRule rule, std::span<const Member> members) {
    const auto better = [rule](const Member& a, const Member& b) {
        switch (rule) {
            case KeepRule::oldest:
                if (a.modified != b.modified) return a.modified < b.modified;
                break;
            case KeepRule::newest:
                if (a.modified != b.modified) return a.modified > b.modified;
                break;
            case KeepRule::shortestPath:
                if (a.paths.front().size() != b.paths.front().size()) return a.paths.front().size() < b.paths.front().size();
                break;
            case KeepRule::firstNamed: break;
        }
        return namedBefore(a, b);
    };
    return *std::min_element(members.begin(), members.end(), better);
}

std::string keptBecause(KeepRule rule) {
    switch (rule) {
        case KeepRule::oldest: return "the oldest copy";
        case KeepRule::newest: return "the newest copy";
        case KeepRule::shortestPath: return "the copy with the shortest path";
        case KeepRule::firstNamed: return "the copy named first";
    }
    return "the oldest copy";
}

}  // namespace

struct DuplicateScanner::Record {
    std::int64_t size = 0;
    std::int64_t allocatedSize = 0;
    std::uint64_t fileNumber = 0;
    std::uint64_t device = 0;
    platform::TimePoint modified{};
    platform::TimePoint changed{};
    std::uintptr_t folderTag = 0;
    std::uint32_t nameOffset = 0;
    std::uint8_t nameLength = 0;  // a name has at most 255 bytes
    bool multiLink = false;
    std::uint16_t root = 0;
};

// What one walking thread hands over, in chunks, so that growing never copies or doubles it.
struct DuplicateScanner::Worker {
    std::vector<std::unique_ptr<Record[]>> chunks;
    std::size_t count = 0;
    std::string names;

    void add(const Record& record) {
        if (count % recordsPerChunk == 0) chunks.push_back(std::make_unique<Record[]>(recordsPerChunk));
        chunks.back()[count % recordsPerChunk] = record;
        ++count;
    }
    const Record& at(std::size_t index) const { return chunks[index / recordsPerChunk][index % recordsPerChunk]; }
};

// The records of every worker as one list, for the finder.
class DuplicateScanner::Files final : public DuplicateFinder::Source {
public:
    Files(const std::vector<std::unique_ptr<Worker>>& workers, const TreeScan& tree,
          const std::vector<std::optional<platform::ContentRoot>>& roots)
        : workers_(workers), tree_(tree), roots_(roots) {
        for (const auto& worker : workers_) {
            offsets_.push_back(count_);
            count_ += worker->count;
        }
    }

    std::size_t count() const override { return count_; }

    const Record& record(std::size_t index) const {
        const auto [worker, position] = locate(index);
        return workers_[worker]->at(position);
    }

    platform::FileStamp stamp(std::size_t index) const override {
        const auto& r = record(index);
        return platform::FileStamp{static_cast<dev_t>(r.device), r.fileNumber, r.size, r.modified, r.changed};
    }

    const platform::ContentRoot& root(std::size_t index) const override { return *roots_[record(index).root]; }

    std::uint64_t folder(std::size_t index) const override { return record(index).folderTag; }
    void folderPath(std::size_t index, std::string& out) const override { tree_.folderPath(record(index).folderTag, out); }
    std::string_view name(std::size_t index) const override {
        const auto [worker, position] = locate(index);
        const auto& r = workers_[worker]->at(position);
        return std::string_view(workers_[worker]->names).substr(r.nameOffset, r.nameLength);
    }

    std::string fullPath(std::size_t index) const {
        std::string relative;
        tree_.relativePath(record(index).folderTag, name(index), relative);
        return FileManager::joinedPath(tree_.roots()[record(index).root], relative);
    }

private:
    std::pair<std::size_t, std::size_t> locate(std::size_t index) const {
        std::size_t worker = offsets_.size() - 1;
        while (offsets_[worker] > index) --worker;
        return {worker, index - offsets_[worker]};
    }

    const std::vector<std::unique_ptr<Worker>>& workers_;
    const TreeScan& tree_;
    const std::vector<std::optional<platform::ContentRoot>>& roots_;
    std::vector<std::size_t> offsets_;
    std::size_t count_ = 0;
};

DuplicateScanner::DuplicateScanner(const ScanContext& context)
    : context_(context), minimumSize_(CategoryRules::duplicateMinimumSize(context.options())) {
    const auto threads = platform::treeWalkThreadCount(true);
    for (std::size_t i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>());
}

DuplicateScanner::~DuplicateScanner() = default;

std::optional<Candidate> DuplicateScanner::file(const TreeWalkItem& item, std::uint32_t root, const ScanContext&) {
    if (item.size < minimumSize_ || item.name.size() > 255) return std::nullopt;
    auto& worker = *workers_.at(item.worker);
    Record record;
    record.size = item.size;
    record.allocatedSize = item.allocatedSize;
    record.fileNumber = item.fileNumber;
    record.device = item.device;
    record.modified = item.modificationDate;
    record.changed = item.statusChangeDate;
    record.folderTag = item.parentTag;
    record.nameOffset = static_cast<std::uint32_t>(worker.names.size());
    record.nameLength = static_cast<std::uint8_t>(item.name.size());
    record.multiLink = item.linkCount > 1;
    record.root = static_cast<std::uint16_t>(root);
    worker.names.append(item.name);
    worker.add(record);
    return std::nullopt;
}

std::size_t DuplicateScanner::fileCount() const {
    std::size_t count = 0;
    for (const auto& worker : workers_) count += worker->count;
    return count;
}

DuplicateScanner::Result DuplicateScanner::compare(const TreeScan& tree, const FindingJudge& judge,
                                                   const platform::ContentHash& hash,
                                                   const std::unordered_set<std::string>& watched) {
    std::vector<std::optional<platform::ContentRoot>> roots;
    for (const auto& path : tree.roots()) {
        auto root = platform::ContentRoot::open(path);
        if (!root) context_.coverage().failed(path, root.error());
        roots.push_back(root ? std::optional(std::move(*root)) : std::nullopt);
    }
    const Files files(workers_, tree, roots);

    // Hard links to one file are one copy: the link named first stands for it.
    std::vector<std::uint32_t> candidates;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::pair<std::string, std::uint32_t>>> linked;
    for (std::uint32_t index = 0; index < files.count(); ++index) {
        const auto& record = files.record(index);
        if (!roots[record.root]) continue;
        if (!record.multiLink) {
            candidates.push_back(index);
        } else {
            linked[{record.device, record.fileNumber}].emplace_back(files.fullPath(index), index);
        }
    }
    std::map<std::uint32_t, std::vector<std::pair<std::string, std::uint32_t>>> linksOf;
    for (auto& [file, links] : linked) {
        std::sort(links.begin(), links.end());
        candidates.push_back(links.front().second);
        linksOf[links.front().second] = std::move(links);
    }

    const DuplicateFinder finder(hash, context_.stopToken());
    auto outcome = finder.find(files, std::move(candidates));
    for (const auto& [index, error] : outcome.unreadable) context_.coverage().failed(files.fullPath(index), error);

    // One group member: the file, with every link the walk met.
    const auto memberFor = [&](std::uint32_t index) {
        Member member;
        const auto& record = files.record(index);
        member.modified = record.modified;
        member.root = record.root;
        if (const auto found = linksOf.find(index); found != linksOf.end()) {
            for (auto& [path, link] : found->second) {
                member.paths.push_back(std::move(path));
                member.links.push_back(link);
            }
        } else {
            member.paths.push_back(files.fullPath(index));
            member.links.push_back(index);
        }
        return member;
    };
    // Which copies must stay: those in a protected place, asked on the pool, or in a folder to keep.
    const auto judgeMembers = [&](std::vector<Member>& members) {
        const auto isProtected = concurrentMap(members, [&](const Member& member) {
            const bool linkFree = tree.rootIsLinkFree(member.root);
            return std::any_of(member.paths.begin(), member.paths.end(),
                               [&](const std::string& path) { return judge.isProtected(path, false, linkFree); });
        });
        for (std::size_t i = 0; i < members.size(); ++i) {
            auto& member = members[i];
            member.protectedPlace = isProtected[i];
            member.mustStay = member.protectedPlace;
            for (const auto& folder : context_.options().keepIn) {
                for (const auto& path : member.paths) member.mustStay = member.mustStay || liesWithin(path, folder.native());
            }
        }
    };

    std::size_t upperBound = 0;  // copies that could be offered: all but one of each group
    for (const auto& group : outcome.groups) upperBound += group.size() - 1;
    Result result;
    result.copies.reserve(upperBound);
    const SharedText reason{std::string(copyReason)};
    const auto minimumAge = std::chrono::days(context_.ageDays(Category::duplicate));
    const auto now = context_.places().now;
    // The copies that stay and those offered.
    const auto decide = [&](std::span<const Member> group) {
        DuplicateGroup found;
        found.fileSize = files.record(group.front().links.front()).size;
        std::vector<const Member*> staying;
        for (const auto& member : group) {
            if (member.mustStay) staying.push_back(&member);
        }
        std::sort(staying.begin(), staying.end(), [](const Member* a, const Member* b) { return namedBefore(*a, *b); });
        if (staying.empty()) {
            staying.push_back(&chosenBy(context_.options().keep, group));
            found.keptBecause = keptBecause(context_.options().keep);
        } else {
            found.keptBecause = staying.front()->protectedPlace ? "in a protected place" : "in a folder to keep";
        }
        for (const auto* member : staying) found.kept.insert(found.kept.end(), member->paths.begin(), member->paths.end());
        const auto& kept = *staying.front();
        const SharedText keptPath(kept.paths.front());
        const auto keptFileNumber = files.record(kept.links.front()).fileNumber;
        const auto groupIndex = static_cast<std::int32_t>(result.groups.size());
        bool offered = false;
        for (const auto& member : group) {
            for (const auto& path : member.paths) {
                if (watched.contains(path)) result.members.push_back(path);
            }
            if (std::find(staying.begin(), staying.end(), &member) != staying.end()) continue;
            if (minimumAge.count() > 0 && now - member.modified < minimumAge) continue;  // too recent to offer
            for (std::size_t l = 0; l < member.links.size(); ++l) {
                const auto& record = files.record(member.links[l]);
                Finding copy;
                copy.path = member.paths[l];
                copy.category = Category::duplicate;
                copy.sizeBytes = record.multiLink ? 0 : record.allocatedSize;
                copy.measuredBytes = record.allocatedSize;
                copy.reason = reason;
                copy.lastUsed = record.modified;
                copy.confidence = Confidence::review;
                copy.fileNumber = record.fileNumber;
                copy.device = record.device;
                copy.keptCopy = keptPath;
                copy.keptFileNumber = keptFileNumber;
                copy.group = groupIndex;
                if (record.multiLink) {
                    result.linked.emplace_back(result.copies.size(), LinkedFile{record.device, record.fileNumber, record.allocatedSize});
                }
                result.copies.push_back(std::move(copy));
                offered = true;
            }
        }
        if (offered) result.groups.push_back(std::move(found));
    };

    // Groups are decided a batch at a time, each batch's copies judged at once on the pool, so
    // that the copies' paths are never all spelled out together.
    for (std::size_t next = 0; next < outcome.groups.size();) {
        std::vector<Member> members;
        std::vector<std::size_t> starts;
        for (; next < outcome.groups.size() && members.size() < membersPerBatch; ++next) {
            starts.push_back(members.size());
            for (const auto index : outcome.groups[next]) members.push_back(memberFor(index));
        }
        starts.push_back(members.size());
        judgeMembers(members);
        for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
            decide(std::span<const Member>(members).subspan(starts[g], starts[g + 1] - starts[g]));
        }
    }
    // The walk's files are not needed any more; a large tree's list is worth handing back now.
    for (auto& worker : workers_) worker = std::make_unique<Worker>();
    return result;
}

}  // namespace vornelo::scan
