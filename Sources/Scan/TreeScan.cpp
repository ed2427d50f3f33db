#include "Scan/TreeScan.h"

#include "Platform/Files/FileManager.h"
#include "Platform/Files/TreeWalk.h"

#include <array>
#include <mutex>

namespace vornelo::scan {

namespace {

using platform::FileManager;
using platform::FileType;
using platform::TreeWalkAction;
using platform::TreeWalkItem;

// Below the home, places where programs keep their own data in plain sight.
constexpr std::array programPlaces{std::string_view("snap"), std::string_view("go/pkg")};

// A folder's tag: its index in its worker's list (plus one, so the roots stay 0), the worker, and
// whether it holds a claimed entry.
constexpr unsigned workerShift = 1;
constexpr unsigned indexShift = 17;
constexpr std::uintptr_t holdsClaimedBit = 1;

std::uintptr_t tagFor(std::size_t worker, std::size_t index, bool holdsClaimed) {
    return (static_cast<std::uintptr_t>(index + 1) << indexShift) | (static_cast<std::uintptr_t>(worker) << workerShift) |
           (holdsClaimed ? holdsClaimedBit : 0);
}

std::string joined(std::string_view folder, std::string_view name) {
    return FileManager::joinedPath(std::string(folder), name);
}

}  // namespace

struct TreeScan::Worker {
    std::vector<std::string> folders;  // relative to their root
    std::uint64_t foldersSeen = 0;
    std::uint64_t unreported = 0;  // items met and not yet added to the progress
};

namespace {
constexpr std::uint64_t reportEvery = 256;
}  // namespace

TreeScan::TreeScan(const ScanContext& context, std::span<TreeObserver* const> observers,
                   std::unordered_set<std::string> claimed)
    : context_(context), observers_(observers.begin(), observers.end()), claimed_(std::move(claimed)) {
    for (const auto* observer : observers_) anyWantsFiles_ = anyWantsFiles_ || observer->wantsFiles();
    for (const auto& path : claimed_) claimedParents_.insert(FileManager::parentPath(path));
    for (const auto place : programPlaces) neverEntered_.insert(context_.places().inHome(place));
    for (const auto& root : context_.roots()) {
        linkFree_.push_back(context_.files().resolvingSymlinksInPath(root) == root);
        rootHoldsClaimed_.push_back(claimedParents_.contains(root));
    }
    const auto threads = platform::treeWalkThreadCount(true);
    for (std::size_t i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>());
}

TreeScan::~TreeScan() = default;

std::vector<Candidate> TreeScan::walk() {
    for (std::uint32_t root = 0; root < context_.roots().size() && !context_.stopped(); ++root) {
        platform::TreeWalkVisitor visitor;
        visitor.parallel = true;
        visitor.noAccessTime = true;
        visitor.checkInterval = 512;
        visitor.visit = [this, root](const TreeWalkItem& item) { return visit(item, root); };
        visitor.failed = [this](const std::filesystem::path& path, const platform::FileError& error) {
            context_.coverage().failed(path, error);
        };
        visitor.shouldContinue = [this] { return !context_.stopped(); };
        const auto& path = context_.roots()[root];
        if (const auto walked = context_.files().walkTree(path, visitor); !walked) {
            context_.coverage().failed(path, walked.error());
        }
        for (auto& worker : workers_) {
            context_.progress().addItems(worker->unreported);
            worker->unreported = 0;
        }
    }
    std::lock_guard guard(lock_);
    return std::move(candidates_);
}

TreeWalkAction TreeScan::visit(const TreeWalkItem& item, std::uint32_t root) {
    if (auto& worker = *workers_[item.worker]; ++worker.unreported == reportEvery) {
        context_.progress().addItems(reportEvery);
        worker.unreported = 0;
    }
    switch (item.type) {
        case FileType::directory: return visitFolder(item, root);
        case FileType::regular:
            if (anyWantsFiles_ && !item.name.starts_with('.') && !isClaimed(item, root)) visitFile(item, root);
            return TreeWalkAction::proceed;
        case FileType::symbolicLink: {
            if (item.name.starts_with('.')) return TreeWalkAction::proceed;
            const auto path = joined(item.parentPath, item.name);
            if (!context_.files().fileExistsFollowingLinks(path)) {
                context_.coverage().record(path, ScanCoverage::Kind::missing,
                                           "A symbolic link that leads nowhere, or back to itself; it is not followed.");
            }
            return TreeWalkAction::proceed;
        }
        case FileType::other:
            if (!item.name.starts_with('.')) {
                context_.coverage().record(joined(item.parentPath, item.name), ScanCoverage::Kind::unavailable,
                                           "A named pipe, socket or device, which a scan never opens.");
            }
            return TreeWalkAction::proceed;
    }
    return TreeWalkAction::proceed;
}

TreeWalkAction TreeScan::visitFolder(const TreeWalkItem& item, std::uint32_t root) {
    if (item.isVolumeRoot && !context_.options().crossMounts) return TreeWalkAction::skipDescendants;
    if (isClaimed(item, root)) return TreeWalkAction::skipDescendants;
    for (const auto* observer : observers_) {
        if (auto candidate = observer->folder(item, context_)) {
            candidate->reachedWithoutLinks = linkFree_[root];
            keep(std::move(*candidate));
            return TreeWalkAction::skipDescendants;
        }
    }
    if (item.name.starts_with('.')) return TreeWalkAction::skipDescendants;
    const auto path = joined(item.parentPath, item.name);
    if (neverEntered_.contains(path)) return TreeWalkAction::skipDescendants;

    auto& worker = *workers_.at(item.worker);
    const auto& rootPath = context_.roots()[root];
    const auto relative = std::string_view(path).substr(rootPath == "/" ? 1 : rootPath.size() + 1);
    worker.folders.emplace_back(relative);
    item.tag = tagFor(item.worker, worker.folders.size() - 1, claimedParents_.contains(path));
    if (++worker.foldersSeen % 64 == 1) context_.progress().setFolder(path);
    return TreeWalkAction::proceed;
}

void TreeScan::visitFile(const TreeWalkItem& item, std::uint32_t root) {
    for (auto* observer : observers_) {
        if (!observer->wantsFiles()) continue;
        if (auto candidate = observer->file(item, root, context_)) {
            candidate->reachedWithoutLinks = linkFree_[root];
            keep(std::move(*candidate));
        }
    }
}

void TreeScan::keep(Candidate candidate) {
    std::lock_guard guard(lock_);
    candidates_.push_back(std::move(candidate));
}

bool TreeScan::isClaimed(const TreeWalkItem& item, std::uint32_t root) const {
    // Only the few folders that hold a claimed entry are worth spelling a path out for.
    const bool mayHold = item.parentTag == 0 ? rootHoldsClaimed_[root] : (item.parentTag & holdsClaimedBit) != 0;
    return mayHold && claimed_.contains(joined(item.parentPath, item.name));
}

void TreeScan::folderPath(std::uintptr_t folderTag, std::string& out) const {
    out.clear();
    const auto index = folderTag >> indexShift;
    if (index == 0) return;
    const auto worker = (folderTag >> workerShift) & ((1u << (indexShift - workerShift)) - 1);
    out = workers_.at(worker)->folders.at(index - 1);
}

void TreeScan::relativePath(std::uintptr_t folderTag, std::string_view name, std::string& out) const {
    folderPath(folderTag, out);
    if (!out.empty()) out.push_back('/');
    out.append(name);
}

}  // namespace vornelo::scan
