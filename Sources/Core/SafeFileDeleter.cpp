// The engine object, its vocabulary types and the plan values.

#include "Core/SafeFileDeleter.h"

#include "Platform/Encoding/Checked.h"
#include "Platform/Files/HeldItem.h"
#include "Platform/Trash/Trash.h"

#include <algorithm>
#include <array>

namespace vornelo {

namespace {

constexpr std::array<std::string_view, 2> modeNames = {"trash", "permanent"};
constexpr std::array<std::string_view, 9> categoryNames = {"cache",   "log",       "trash",     "leftover", "artifact",
                                                           "app",     "installer", "duplicate", "largeFile"};

std::int64_t sumOfSizes(const std::vector<SafeFileDeleter::Item>& items) {
    std::int64_t total = 0;
    for (const auto& item : items) total = checkedAdd(total, item.sizeBytes());
    return total;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void combine(std::size_t& seed, std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

}  // namespace

// MARK: Raw values

std::string_view rawValue(SafeFileDeleter::Mode mode) { return modeNames[static_cast<std::size_t>(mode)]; }

std::string_view rawValue(SafeFileDeleter::Category category) {
    return categoryNames[static_cast<std::size_t>(category)];
}

template <>
std::optional<SafeFileDeleter::Mode> fromRawValue<SafeFileDeleter::Mode>(std::string_view text) {
    for (const auto mode : SafeFileDeleter::allModes) {
        if (rawValue(mode) == text) return mode;
    }
    return std::nullopt;
}

template <>
std::optional<SafeFileDeleter::Category> fromRawValue<SafeFileDeleter::Category>(std::string_view text) {
    for (const auto category : SafeFileDeleter::allCategories) {
        if (rawValue(category) == text) return category;
    }
    return std::nullopt;
}

// MARK: Engine

SafeFileDeleter& SafeFileDeleter::shared() {
    static SafeFileDeleter deleter(platform::FileManager::defaultManager(), PathProtection::shared(),
                                   OperationLog::shared());
    return deleter;
}

SafeFileDeleter::SafeFileDeleter(const platform::FileManager& fileManager, const PathProtection& protection,
                                 OperationLog& opLog)
    : fileManager_(fileManager), protection_(protection), opLog_(opLog) {}

bool SafeFileDeleter::isInsideTrash(const std::filesystem::path& url) {
    const auto parent = parentOf(platform::FileManager::absoluteStandardizedPath(url.native()));
    // Judged again once resolved: a link into a Trash does not make its target's neighbours trashed.
    if (parent.empty() || !platform::Trash::holdsTrashedItems(parent)) return false;
    return platform::Trash::holdsTrashedItems(platform::FileManager::defaultManager().resolvingSymlinksInPath(parent));
}

bool SafeFileDeleter::isProtectedNow(const std::filesystem::path& url) const {
    return protection_.shouldProtect(url) || protection_.containsEndpointSecurityItem(url, fileManager_);
}

bool SafeFileDeleter::isProtectedNow(const std::filesystem::path& url, const platform::HeldItem& held) const {
    if (held.isLink()) return isProtectedNow(url) || isProtectedNow(held.place());
    // The spelling as given, then the place it leads to: what protection would resolve the
    // spelling to, since no link lies on the held way.
    if (protection_.shouldProtectLinkFreePath(url)) return true;
    const auto spelled = platform::FileManager::absoluteStandardizedPath(url.native());
    if (held.place() != spelled && protection_.shouldProtectLinkFreePath(held.place())) return true;
    return held.isFolder() && protection_.containsEndpointSecurityItem(held.place(), fileManager_);
}

std::optional<std::uint64_t> SafeFileDeleter::fileNumberOf(const std::filesystem::path& url) const {
    const auto attributes = fileManager_.attributesOfItem(url);
    if (!attributes) return std::nullopt;
    return attributes->fileNumber;
}

// MARK: Item

SafeFileDeleter::Item::Item(std::filesystem::path url, std::int64_t sizeBytes, Category category, bool isProtected)
    : url_(std::move(url)), sizeBytes_(sizeBytes), category_(category), protected_(isProtected) {}

SafeFileDeleter::Item::Item(std::filesystem::path url, std::int64_t sizeBytes, Category category)
    : Item(url, sizeBytes, category, PathProtection::shared().shouldProtect(url)) {}

bool SafeFileDeleter::Item::isPermanentRemoval() const {
    return category_ == Category::trash && isInsideTrash(url_);
}

// MARK: Plan

SafeFileDeleter::Plan::Plan(std::vector<Item> items, std::vector<Item> protectedItems, std::vector<Item> missingItems)
    : items_(outermost(std::move(items))),
      protectedItems_(std::move(protectedItems)),
      missingItems_(std::move(missingItems)),
      totalReclaimable_(sumOfSizes(items_)) {}

const SafeFileDeleter::Plan& SafeFileDeleter::Plan::empty() {
    static const Plan plan({}, {}, {});
    return plan;
}

bool SafeFileDeleter::Plan::isEmpty() const {
    return items_.empty() && protectedItems_.empty() && missingItems_.empty();
}

SafeFileDeleter::Plan SafeFileDeleter::Plan::keeping(const std::unordered_set<std::string>& ids) const {
    std::vector<Item> kept;
    std::ranges::copy_if(items_, std::back_inserter(kept), [&](const Item& item) { return ids.contains(item.id()); });
    return Plan(std::move(kept), protectedItems_, missingItems_);
}

SafeFileDeleter::Plan SafeFileDeleter::Plan::removing(const std::unordered_set<std::string>& ids) const {
    std::vector<Item> kept;
    std::ranges::copy_if(items_, std::back_inserter(kept), [&](const Item& item) { return !ids.contains(item.id()); });
    return Plan(std::move(kept), protectedItems_, missingItems_);
}

SafeFileDeleter::Plan SafeFileDeleter::Plan::merged(std::span<const Plan> plans) {
    std::vector<Item> items;
    std::vector<Item> protectedItems;
    std::vector<Item> missingItems;
    std::unordered_set<std::string> taken;
    for (const auto& plan : plans) {
        for (const auto& item : plan.items_) {
            if (taken.insert(item.id()).second) items.push_back(item);
        }
        protectedItems.insert(protectedItems.end(), plan.protectedItems_.begin(), plan.protectedItems_.end());
        missingItems.insert(missingItems.end(), plan.missingItems_.begin(), plan.missingItems_.end());
    }
    return Plan(std::move(items), std::move(protectedItems), std::move(missingItems));
}

// MARK: Failure and put-back texts

std::string SafeFileDeleter::Failure::recoverySuggestion() const {
    if (reason == holdsItsTrashReason) return std::string(holdsItsTrashSuggestion);
    if (reason.starts_with(cancelledRemovalReason)) return std::string(cancelledRemovalSuggestion);
    if (isInsideTrash(path)) return platform::PlatformTexts::removeFromTrashSuggestion(path);
    return platform::PlatformTexts::moveToTrashSuggestion(path);
}

// MARK: The Trash inside an item

std::optional<std::string> SafeFileDeleter::trashWithin(const std::filesystem::path& url) const {
    using platform::FileManager;
    const auto standardized = FileManager::absoluteStandardizedPath(url.native());
    const auto item = fileManager_.attributesOfItem(standardized);
    // Only a folder can hold a Trash; a link is moved, never followed.
    if (!item || item->type != platform::FileType::directory) return std::nullopt;
    const auto parent = parentOf(standardized);
    if (parent.empty()) return std::nullopt;
    const auto resolvedParent = fileManager_.resolvingSymlinksInPath(parent);
    const auto place = FileManager::joinedPath(resolvedParent, std::filesystem::path(standardized).filename().native());
    const auto within = [&](const std::string& path) {
        return path == place || (path.starts_with(place) && (place == "/" || path[place.size()] == '/'));
    };
    const auto home = fileManager_.homeDirectoryForCurrentUser();
    const auto homeTrash = fileManager_.resolvingSymlinksInPath(platform::Trash::homeTrash(home).native());
    if (within(homeTrash)) return homeTrash;
    // An item on another file system goes to the Trash at that file system's top; when the item
    // is that top, the Trash is inside it.
    const auto above = fileManager_.attributesOfItem(resolvedParent);
    if (above && above->device != item->device) {
        return FileManager::joinedPath(place, ".Trash-" + std::to_string(fileManager_.realUserID()));
    }
    return std::nullopt;
}

std::string_view SafeFileDeleter::PutBackError::errorDescription() const {
    switch (kind_) {
        case Kind::noLongerInTrash: return "This item is no longer in the Trash.";
        case Kind::originalLocationOccupied: return "Something else now exists at the original location.";
        case Kind::protectedLocation: return "The original location is protected or excluded.";
    }
    return "This item is no longer in the Trash.";
}

const char* SafeFileDeleter::PutBackError::what() const noexcept { return errorDescription().data(); }

}  // namespace vornelo

std::size_t std::hash<vornelo::SafeFileDeleter::Item>::operator()(const vornelo::SafeFileDeleter::Item& item) const noexcept {
    std::size_t seed = std::hash<std::string>{}(item.id());
    vornelo::combine(seed, std::hash<std::string>{}(item.url().native()));
    vornelo::combine(seed, std::hash<std::int64_t>{}(item.sizeBytes()));
    vornelo::combine(seed, std::hash<vornelo::SafeFileDeleter::Category>{}(item.category()));
    vornelo::combine(seed, std::hash<bool>{}(item.isProtected()));
    return seed;
}

std::size_t std::hash<vornelo::SafeFileDeleter::Failure>::operator()(
    const vornelo::SafeFileDeleter::Failure& failure) const noexcept {
    std::size_t seed = std::hash<std::string>{}(failure.path);
    vornelo::combine(seed, std::hash<std::string>{}(failure.reason));
    vornelo::combine(seed, std::hash<bool>{}(failure.needsAdministrator));
    return seed;
}
