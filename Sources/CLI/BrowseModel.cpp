#include "CLI/BrowseModel.h"

#include "CLI/SpaceText.h"
#include "Core/PathProtection.h"
#include "Platform/Encoding/Checked.h"

#include <algorithm>

namespace vornelo::cli {

namespace {

std::string joined(const std::string& folder, std::string_view name) {
    return folder.ends_with('/') ? folder + std::string(name) : folder + "/" + std::string(name);
}

}  // namespace

BrowseModel::BrowseModel(SpaceTree& tree) : tree_(tree), current_(&tree.root()), currentPath_(tree.path(tree.root())) {
    refresh();
}

void BrowseModel::refresh() {
    if (!tree_.contains(*current_)) {
        // The same place in the tree as it is now, or the nearest folder above that is left.
        std::string path = currentPath_;
        const SpaceTree::Folder* found = nullptr;
        while (!(found = tree_.find(path)) && path.size() > tree_.rootPath().native().size()) {
            path = std::filesystem::path(path).parent_path().native();
        }
        current_ = found ? found : &tree_.root();
        currentPath_ = tree_.path(*current_);
    }
    rows_.clear();
    for (auto& entry : tree_.entries(*current_, order_, apparent_)) {
        BrowseRow row;
        row.path = joined(currentPath_, entry.name);
        row.name = std::move(entry.name);
        row.kind = entry.kind;
        row.totals = entry.totals;
        row.folder = entry.folder;
        row.unreadable = entry.unreadable;
        row.otherFileSystem = entry.otherFileSystem;
        rows_.push_back(std::move(row));
    }
    if (const auto rest = tree_.otherFiles(*current_); rest.files > 0) {
        BrowseRow row;
        row.name = grouped(rest.files) + (rest.files == 1 ? " smaller file" : " smaller files");
        row.totals = rest;
        // Ranked among the rest by size; by name it comes last.
        auto at = rows_.end();
        if (order_ != SpaceTree::Order::name) {
            at = std::ranges::find_if(rows_, [&](const BrowseRow& other) {
                return order_ == SpaceTree::Order::size ? other.totals.bytes(apparent_) < rest.bytes(apparent_)
                                                        : other.totals.files < rest.files;
            });
        }
        rows_.insert(at, std::move(row));
    }
    const auto same = std::ranges::find_if(rows_, [&](const BrowseRow& row) { return row.name == selectedName_; });
    if (same != rows_.end()) {
        selected_ = static_cast<std::size_t>(same - rows_.begin());
    } else if (selected_ >= rows_.size()) {
        selected_ = rows_.empty() ? 0 : rows_.size() - 1;
    }
    selectedName_ = rows_.empty() ? std::string() : rows_[selected_].name;
}

void BrowseModel::move(std::ptrdiff_t rows) {
    if (rows_.empty()) return;
    const auto last = static_cast<std::ptrdiff_t>(rows_.size()) - 1;
    selected_ = static_cast<std::size_t>(std::clamp(static_cast<std::ptrdiff_t>(selected_) + rows, std::ptrdiff_t{0}, last));
    selectedName_ = rows_[selected_].name;
}

void BrowseModel::moveToEnd(bool last) { move(last ? static_cast<std::ptrdiff_t>(rows_.size()) : -static_cast<std::ptrdiff_t>(rows_.size())); }

bool BrowseModel::open() {
    const auto* row = selectedRow();
    if (!row || !row->folder) return false;
    current_ = row->folder;
    currentPath_ = row->path;
    selected_ = 0;
    selectedName_.clear();
    firstVisible_ = 0;
    refresh();
    return true;
}

bool BrowseModel::back() {
    if (!current_->parent()) return false;
    selectedName_ = std::string(current_->name());
    current_ = current_->parent();
    currentPath_ = tree_.path(*current_);
    firstVisible_ = 0;
    refresh();
    return true;
}

void BrowseModel::setOrder(SpaceTree::Order order) {
    order_ = order;
    refresh();
}

void BrowseModel::toggleApparent() {
    apparent_ = !apparent_;
    refresh();
}

std::size_t BrowseModel::firstVisible(std::size_t visible) {
    if (visible == 0) return 0;
    if (selected_ < firstVisible_) firstVisible_ = selected_;
    if (selected_ >= firstVisible_ + visible) firstVisible_ = selected_ + 1 - visible;
    if (rows_.size() <= visible) firstVisible_ = 0;
    return firstVisible_;
}

const std::optional<std::string>& BrowseModel::protection(const BrowseRow& row) {
    if (const auto known = protection_.find(row.path); known != protection_.end()) return known->second;
    std::optional<std::string> reason;
    if (const auto rule = PathProtection::shared().protectionReason(row.path)) reason = rule->description();
    return protection_.emplace(row.path, std::move(reason)).first->second;
}

std::optional<std::string> BrowseModel::markRefusal(const BrowseRow& row) {
    if (row.isRest()) return "These files are too small to be listed one by one, so they cannot be marked.";
    if (const auto& reason = protection(row)) return "Protected: " + *reason;
    if (row.folder) {
        // Listing a folder two levels deep is too slow for every row drawn; it is done once, here.
        if (const auto reason = protectionOf(row.path, true)) {
            protection_[row.path] = reason;
            return "Protected: " + *reason;
        }
    }
    return std::nullopt;
}

BrowseModel::Marking BrowseModel::toggleMark(std::string& reason) {
    const auto* row = selectedRow();
    if (!row) return Marking::refused;
    if (marks_.erase(row->path) > 0) return Marking::unmarked;
    if (auto refusal = markRefusal(*row)) {
        reason = std::move(*refusal);
        return Marking::refused;
    }
    marks_.emplace(row->path, row->totals);
    return Marking::marked;
}

void BrowseModel::unmarkGone(const std::string& path) {
    marks_.erase(path);
    const auto inside = path.ends_with('/') ? path : path + "/";
    for (auto mark = marks_.lower_bound(inside); mark != marks_.end() && mark->first.starts_with(inside);) mark = marks_.erase(mark);
}

std::int64_t BrowseModel::markedBytes() const {
    std::int64_t total = 0;
    for (const auto& [path, totals] : marks_) total = checkedAdd(total, totals.bytes(apparent_));
    return total;
}

std::vector<std::filesystem::path> BrowseModel::cleaningCandidates(std::string& reason) {
    std::vector<std::filesystem::path> candidates;
    if (marks_.empty()) {
        const auto* row = selectedRow();
        if (!row) {
            reason = "There is nothing here to clean.";
        } else if (auto refusal = markRefusal(*row)) {
            reason = std::move(*refusal);
        } else {
            candidates.emplace_back(row->path);
        }
        return candidates;
    }
    // An item inside a marked folder goes with the folder.
    for (const auto& [path, totals] : marks_) {
        bool inside = false;
        for (auto above = std::filesystem::path(path).parent_path(); !inside && above.has_relative_path(); above = above.parent_path()) {
            inside = marks_.contains(above.native());
        }
        if (!inside) candidates.emplace_back(path);
    }
    return candidates;
}

}  // namespace vornelo::cli
