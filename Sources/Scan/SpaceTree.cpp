#include "Scan/SpaceTree.h"

#include "Core/LinkedFiles.h"
#include "Scan/SpaceTree+Internal.h"

#include "Platform/Encoding/Checked.h"
#include "Platform/Files/TreeWalk.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <unordered_set>
#include <utility>

namespace vornelo {

using platform::FileType;
using platform::TreeWalkAction;
using platform::TreeWalkItem;

namespace {

constexpr std::size_t nameChunkBytes = 64 * 1024;

// checkedAdd on a counter that several walking threads add to.
void addTo(std::atomic<std::int64_t>& counter, std::int64_t amount) {
    std::int64_t current = counter.load(std::memory_order_relaxed);
    while (!counter.compare_exchange_weak(current, checkedAdd(current, amount), std::memory_order_relaxed)) {
    }
}

SpaceTree::Totals plus(const SpaceTree::Totals& a, const SpaceTree::Totals& b, bool subtract = false) {
    const std::int64_t sign = subtract ? -1 : 1;
    return {checkedAdd(a.sizeBytes, sign * b.sizeBytes), checkedAdd(a.apparentBytes, sign * b.apparentBytes),
            checkedAdd(a.files, sign * b.files), checkedAdd(a.folders, sign * b.folders)};
}

SpaceTree::Kind kindOf(FileType type) {
    switch (type) {
        case FileType::regular: return SpaceTree::Kind::file;
        case FileType::symbolicLink: return SpaceTree::Kind::symbolicLink;
        case FileType::directory: return SpaceTree::Kind::folder;
        default: return SpaceTree::Kind::other;
    }
}

// Case-blind for ASCII letters first, so that "b" sorts between "A" and "C"; bytes decide ties.
bool nameBefore(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const auto folded = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (folded) return true;
    const auto reverse = std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                                      [&](char x, char y) { return lower(x) < lower(y); });
    return !reverse && a < b;
}

}  // namespace


void SpaceTree::Counters::add(const Totals& amount) {
    if (amount.sizeBytes != 0) addTo(sizeBytes, amount.sizeBytes);
    if (amount.apparentBytes != 0) addTo(apparentBytes, amount.apparentBytes);
    if (amount.files != 0) addTo(files, amount.files);
    if (amount.folders != 0) addTo(folders, amount.folders);
}

SpaceTree::Totals SpaceTree::Counters::load() const {
    return {sizeBytes.load(std::memory_order_relaxed), apparentBytes.load(std::memory_order_relaxed),
            files.load(std::memory_order_relaxed), folders.load(std::memory_order_relaxed)};
}

SpaceTree::Folder::Folder(Folder* parent, std::string_view name) : parent_(parent), name_(name) {}

SpaceTree::Folder::~Folder() = default;

SpaceTree::SpaceTree(std::filesystem::path root) : SpaceTree(std::move(root), Options{}) {}

SpaceTree::SpaceTree(std::filesystem::path root, Options options)
    : rootPath_(std::move(root)), options_(options) {
    root_ = &newFolder(nullptr, rootPath_.native());
}

SpaceTree::~SpaceTree() = default;

std::string_view SpaceTree::storeName(std::string_view name) {
    if (name.size() > nameSpaceLeft_) {
        nameSpaceLeft_ = std::max(nameChunkBytes, name.size());
        nameCursor_ = names_.emplace_back(std::make_unique<char[]>(nameSpaceLeft_)).get();
    }
    char* place = std::copy(name.begin(), name.end(), nameCursor_) - name.size();
    nameCursor_ += name.size();
    nameSpaceLeft_ -= name.size();
    return {place, name.size()};
}

SpaceTree::Folder& SpaceTree::newFolder(Folder* parent, std::string_view name) {
    Folder* folder = nullptr;
    {
        std::lock_guard guard(storageMutex_);
        folder = &folders_.emplace_back(parent, storeName(name));
    }
    if (parent) {
        Folder* head = parent->firstChild_.load(std::memory_order_relaxed);
        do {
            folder->nextSibling_ = head;
        } while (!parent->firstChild_.compare_exchange_weak(head, folder, std::memory_order_release,
                                                            std::memory_order_relaxed));
    }
    return *folder;
}

std::mutex& SpaceTree::lockFor(const Folder& folder) const {
    return fileLocks_[(reinterpret_cast<std::uintptr_t>(&folder) / sizeof(Folder)) % fileLocks_.size()];
}

void SpaceTree::keepFile(Folder& folder, std::string_view name, Kind kind, std::int64_t sizeBytes,
                         std::int64_t apparentBytes) {
    const auto limit = options_.filesPerFolder;
    if (limit == 0) return;
    const bool byApparent = options_.keepByApparentSize;
    const auto rank = [byApparent](const KeptFiles::File& file) { return byApparent ? file.apparentBytes : file.sizeBytes; };
    const auto larger = [&rank](const KeptFiles::File& a, const KeptFiles::File& b) { return rank(a) > rank(b); };
    const KeptFiles::File candidate{0, static_cast<std::uint16_t>(name.size()), kind, sizeBytes, apparentBytes};

    std::lock_guard guard(lockFor(folder));
    if (!folder.kept_) folder.kept_ = std::make_unique<KeptFiles>();
    auto& kept = *folder.kept_;
    if (kept.heap.size() >= limit) {
        if (rank(candidate) <= rank(kept.heap.front())) return;
        std::pop_heap(kept.heap.begin(), kept.heap.end(), larger);
        kept.deadBytes += kept.heap.back().nameLength;
        kept.heap.pop_back();
        if (kept.deadBytes > 4096 && kept.deadBytes * 2 > kept.names.size()) kept.compact();
    }
    auto& file = kept.heap.emplace_back(candidate);
    file.nameOffset = static_cast<std::uint32_t>(kept.names.size());
    kept.names.append(name);
    std::push_heap(kept.heap.begin(), kept.heap.end(), larger);
}

SpaceTree::Outcome SpaceTree::measure(const platform::FileManager& fileManager, ScanCoverageRecorder* coverage,
                                      const std::function<bool()>& shouldContinue) {
    LinkedFiles linked;
    platform::TreeWalkVisitor visitor;
    visitor.parallel = true;
    visitor.checkInterval = 512;
    visitor.shouldContinue = [this, &shouldContinue] {
        itemsSeen_.fetch_add(512, std::memory_order_relaxed);
        return !shouldContinue || shouldContinue();
    };
    visitor.visit = [this, &linked](const TreeWalkItem& item) {
        Folder& parent = item.parentTag != 0 ? *reinterpret_cast<Folder*>(item.parentTag) : *root_;
        if (item.type == FileType::directory) {
            parent.content_.add({0, 0, 0, 1});
            if (item.depth <= options_.folderDepth) {
                Folder& child = newFolder(&parent, item.name);
                if (item.isVolumeRoot) child.setFlag(Folder::otherFileSystemFlag);
                item.tag = reinterpret_cast<std::uintptr_t>(&child);
            } else {
                item.tag = item.parentTag;  // what it holds counts in the nearest folder with a node
            }
            // Another volume mounted below is not part of what removing the folder frees.
            return item.isVolumeRoot ? TreeWalkAction::skipDescendants : TreeWalkAction::proceed;
        }
        std::int64_t sizeBytes = 0;
        std::int64_t apparentBytes = 0;
        if (item.type == FileType::regular && (item.linkCount <= 1 || linked.firstSight(item.device, item.fileNumber))) {
            sizeBytes = item.allocatedSize;
            apparentBytes = item.size;
        }
        parent.content_.add({sizeBytes, apparentBytes, 1, 0});
        if (item.depth - 1 <= options_.folderDepth) keepFile(parent, item.name, kindOf(item.type), sizeBytes, apparentBytes);
        return TreeWalkAction::proceed;
    };
    visitor.failed = [this, coverage](const std::filesystem::path& path, const platform::FileError& error) {
        if (coverage) coverage->failed(path, error);
        // An item that went away while the walk ran (cleaned, say) leaves nothing unmeasured.
        if (error.underlyingPosixCode != ENOENT) markUnreadable(path);
    };
    const auto walked = fileManager.walkTree(rootPath_, visitor);
    if (!walked) {
        if (coverage) coverage->failed(rootPath_, walked.error());
        root_->setFlag(Folder::unreadableFlag);
    }
    finish();
    if (!walked) return Outcome::failed;
    return *walked == platform::TreeWalkEnd::completed ? Outcome::completed : Outcome::stopped;
}

void SpaceTree::markUnreadable(const std::filesystem::path& path) {
    // An unreadable folder is short itself; an unreadable file, or a folder without a node of its
    // own, leaves the folder above it short.
    if (const auto* folder = deepest(path.native()).first) const_cast<Folder*>(folder)->setFlag(Folder::unreadableFlag);
}

void SpaceTree::finish() {
    std::lock_guard change(changeMutex_);
    std::lock_guard storage(storageMutex_);
    for (auto& folder : folders_) folder.total_ = folder.content_.load();
    // Every folder was made after its parent, so going backwards adds each total to its parent
    // only once it is whole.
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
        if (folder->removed() || !folder->parent_) continue;
        folder->parent_->total_ = plus(folder->parent_->total_, folder->total_);
    }
    for (auto& folder : folders_) {
        std::lock_guard files(lockFor(folder));
        if (!folder.kept_) continue;
        if (folder.kept_->deadBytes > 0) folder.kept_->compact();
        folder.kept_->heap.shrink_to_fit();
        folder.kept_->names.shrink_to_fit();
    }
    complete_.store(true, std::memory_order_release);
}

std::pair<const SpaceTree::Folder*, bool> SpaceTree::deepest(std::string_view path) const {
    std::string_view base = rootPath_.native();
    while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (!path.starts_with(base)) return {nullptr, false};
    std::string_view rest = path.substr(base.size());
    if (!rest.empty() && rest.front() != '/' && base != "/") return {nullptr, false};
    const Folder* folder = root_;
    while (!rest.empty()) {
        while (rest.starts_with('/')) rest.remove_prefix(1);
        if (rest.empty()) break;
        const auto slash = rest.find('/');
        const auto name = rest.substr(0, slash);
        const Folder* next = nullptr;
        for (const Folder* child = folder->firstChild(); child; child = child->nextSibling_) {
            if (!child->removed() && child->name_ == name) {
                next = child;
                break;
            }
        }
        if (!next) return {folder, false};
        folder = next;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    return {folder, true};
}

const SpaceTree::Folder* SpaceTree::find(std::string_view path) const {
    const auto [folder, exact] = deepest(path);
    return exact ? folder : nullptr;
}

bool SpaceTree::contains(const Folder& folder) const {
    for (const Folder* at = &folder; at; at = at->parent_) {
        if (at->removed()) return false;
        if (at == root_) return true;
    }
    return false;
}

std::string SpaceTree::path(const Folder& folder) const {
    std::vector<std::string_view> names;
    for (const Folder* at = &folder; at && at != root_; at = at->parent_) names.push_back(at->name_);
    std::string joined = rootPath_.native();
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (joined.empty() || joined.back() != '/') joined += '/';
        joined.append(*name);
    }
    return joined;
}

SpaceTree::Totals SpaceTree::sumBelow(const Folder& folder) const {
    Totals sum;
    std::vector<const Folder*> pending{&folder};
    while (!pending.empty()) {
        const Folder* at = pending.back();
        pending.pop_back();
        sum = plus(sum, at->content_.load());
        for (const Folder* child = at->firstChild(); child; child = child->nextSibling_) {
            if (!child->removed()) pending.push_back(child);
        }
    }
    return sum;
}

SpaceTree::Totals SpaceTree::totals(const Folder& folder) const {
    return isComplete() ? folder.total_ : sumBelow(folder);
}

SpaceTree::Totals SpaceTree::otherFiles(const Folder& folder) const {
    Totals other = folder.content_.load();
    other.folders = 0;
    std::lock_guard guard(lockFor(folder));
    if (!folder.kept_) return other;
    for (const auto& file : folder.kept_->heap) other = plus(other, {file.sizeBytes, file.apparentBytes, 1, 0}, true);
    return other;
}

std::vector<SpaceTree::Entry> SpaceTree::entries(const Folder& folder, Order order, bool apparent) const {
    std::vector<Entry> list;
    for (const Folder* child = folder.firstChild(); child; child = child->nextSibling_) {
        if (child->removed()) continue;
        list.push_back({std::string(child->name_), Kind::folder, totals(*child), child, child->unreadable(),
                        child->otherFileSystem()});
    }
    {
        std::lock_guard guard(lockFor(folder));
        if (folder.kept_) {
            for (const auto& file : folder.kept_->heap) {
                list.push_back({std::string(folder.kept_->name(file)), file.kind,
                                {file.sizeBytes, file.apparentBytes, 1, 0}, nullptr, false, false});
            }
        }
    }
    const auto byName = [](const Entry& a, const Entry& b) { return nameBefore(a.name, b.name); };
    switch (order) {
        case Order::name: std::ranges::sort(list, byName); break;
        case Order::size:
            std::ranges::sort(list, [&](const Entry& a, const Entry& b) {
                const auto x = a.totals.bytes(apparent), y = b.totals.bytes(apparent);
                return x != y ? x > y : byName(a, b);
            });
            break;
        case Order::count:
            std::ranges::sort(list, [&](const Entry& a, const Entry& b) {
                return a.totals.files != b.totals.files ? a.totals.files > b.totals.files : byName(a, b);
            });
            break;
    }
    return list;
}

void SpaceTree::addToAncestors(const Folder& folder, const Totals& amount, bool subtract) {
    for (Folder* at = const_cast<Folder*>(&folder); at; at = at->parent_) at->total_ = plus(at->total_, amount, subtract);
}

bool SpaceTree::remove(const Folder& parent, std::string_view name) {
    std::lock_guard change(changeMutex_);
    auto& holder = const_cast<Folder&>(parent);
    const bool complete = isComplete();
    for (Folder* child = holder.firstChild_.load(std::memory_order_acquire); child; child = child->nextSibling_) {
        if (child->removed() || child->name_ != name) continue;
        // Measured to the end or not, the folder's size leaves the sums at once.
        const Totals gone = plus(complete ? child->total_ : sumBelow(*child), {0, 0, 0, 1});
        child->setFlag(Folder::removedFlag);
        holder.content_.add({0, 0, 0, -1});
        if (complete) addToAncestors(holder, gone, true);
        return true;
    }
    Totals gone;
    {
        std::lock_guard guard(lockFor(parent));
        if (!holder.kept_) return false;
        auto& heap = holder.kept_->heap;
        const auto file = std::ranges::find_if(heap, [&](const auto& kept) { return holder.kept_->name(kept) == name; });
        if (file == heap.end()) return false;
        gone = {file->sizeBytes, file->apparentBytes, 1, 0};
        holder.kept_->deadBytes += file->nameLength;
        *file = heap.back();
        heap.pop_back();
        const bool byApparent = options_.keepByApparentSize;
        std::ranges::make_heap(heap, [byApparent](const auto& a, const auto& b) {
            return byApparent ? a.apparentBytes > b.apparentBytes : a.sizeBytes > b.sizeBytes;
        });
    }
    holder.content_.add(plus({}, gone, true));
    if (complete) addToAncestors(holder, gone, true);
    return true;
}

void SpaceTree::replace(const Folder& folder, std::unique_ptr<SpaceTree> fresh) {
    std::lock_guard change(changeMutex_);
    auto& target = const_cast<Folder&>(folder);
    Folder& source = *fresh->root_;
    const Totals before = target.total_;
    for (Folder* old = target.firstChild_.load(); old; old = old->nextSibling_) old->setFlag(Folder::removedFlag);
    for (Folder* child = source.firstChild_.load(); child; child = child->nextSibling_) child->parent_ = &target;
    target.firstChild_.store(source.firstChild_.exchange(nullptr), std::memory_order_release);
    const Totals content = source.content_.load();
    target.content_.sizeBytes = content.sizeBytes;
    target.content_.apparentBytes = content.apparentBytes;
    target.content_.files = content.files;
    target.content_.folders = content.folders;
    target.total_ = source.total_;
    {
        std::lock_guard guard(lockFor(target));
        target.kept_ = std::move(source.kept_);
    }
    target.flags_.store((target.flags_.load() & Folder::otherFileSystemFlag) | (source.flags_.load() & Folder::unreadableFlag));
    if (target.parent_) {
        addToAncestors(*target.parent_, before, true);
        addToAncestors(*target.parent_, target.total_, false);
    }
    grafts_.push_back(std::move(fresh));
}

}  // namespace vornelo
