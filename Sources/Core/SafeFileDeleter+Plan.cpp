// Building a plan: candidates de-duplicated, checked against protection, tested for existence and
// sized, one walk each.

#include "Core/FileSizing.h"
#include "Core/SafeFileDeleter.h"

#include <string_view>
#include <unordered_set>

namespace vornelo {

namespace {

using platform::FileType;

}  // namespace

// One lstat per candidate answers three questions: whether it may hold security software (only a
// folder, or a link that may lead to one, can), whether it exists, and the size of anything but
// a folder. The outcome is the same as asking protection, existence and the walk in turn.
SafeFileDeleter::Plan SafeFileDeleter::preview(std::span<const std::filesystem::path> urls, Category category,
                                               ScanCoverageRecorder* coverage, std::stop_token stop) const {
    std::vector<Item> items;
    std::vector<Item> protectedItems;
    std::vector<Item> missingItems;
    std::unordered_set<std::string> seen;
    seen.reserve(urls.size());
    FolderPlaces places;
    for (const auto& url : urls) {
        if (!seen.insert(url.native()).second) continue;
        if (stop.stop_requested()) break;
        const auto attributes = fileManager_.attributesOfItem(url);
        // Only a link at the item itself needs resolving anew; else its folder's place will do.
        const bool resolveWhole = !attributes || attributes->type == FileType::symbolicLink;
        if (resolveWhole ? protection_.shouldProtect(url) : isProtectedInPlace(url, places)) {
            protectedItems.emplace_back(url, 0, category, true);
            continue;
        }
        const bool mayBeFolder =
            attributes && (attributes->type == FileType::directory || attributes->type == FileType::symbolicLink);
        if (mayBeFolder && protection_.containsEndpointSecurityItem(url, fileManager_)) {
            protectedItems.emplace_back(url, 0, category, true);
            continue;
        }
        if (!attributes) {
            if (coverage) coverage->failed(url, attributes.error());
            missingItems.emplace_back(url, 0, category, false);
            continue;
        }
        // A link that leads nowhere is missing, but it is there to describe, so it is no issue.
        if (attributes->type == FileType::symbolicLink && !fileManager_.fileExistsFollowingLinks(url)) {
            missingItems.emplace_back(url, 0, category, false);
            continue;
        }
        const auto size = attributes->type == FileType::directory
                              ? directorySize(url, coverage, stop)
                              : FileSizing::fileSize(FileSizing::ResourceValues::from(*attributes)).value_or(0);
        if (coverage) coverage->checked(url);
        items.emplace_back(url, size, category, false);
    }
    return Plan(std::move(items), std::move(protectedItems), std::move(missingItems));
}

bool SafeFileDeleter::isProtectedInPlace(const std::filesystem::path& url, FolderPlaces& places) const {
    const auto spelled = platform::FileManager::absoluteStandardizedPath(url.native());
    const auto slash = spelled.rfind('/');
    if (slash == 0 || slash == std::string::npos) return protection_.shouldProtect(url);
    const std::string_view folder = std::string_view(spelled).substr(0, slash);
    // Items come folder by folder, so the folder is resolved once for all of its items.
    if (places.spelled != folder) {
        places.spelled = folder;
        places.resolved = fileManager_.resolvingSymlinksInPath(folder);
    }
    if (protection_.shouldProtectLinkFreePath(spelled)) return true;
    const auto place = platform::FileManager::joinedPath(places.resolved, spelled.substr(slash + 1));
    return place != spelled && protection_.shouldProtectLinkFreePath(place);
}

// Judged on the spelling alone, so that a plan never reads the disk. When the outer item is a
// link rather than a folder, what is dropped is left in place: the safe side of the mistake.
std::vector<SafeFileDeleter::Item> SafeFileDeleter::Plan::outermost(std::vector<Item> items) {
    if (items.size() < 2) return items;
    std::vector<std::string> spellings;
    spellings.reserve(items.size());
    for (const auto& item : items) {
        auto spelling = item.url().lexically_normal().native();
        while (spelling.size() > 1 && spelling.back() == '/') spelling.pop_back();
        spellings.push_back(std::move(spelling));
    }
    const std::unordered_set<std::string_view> all(spellings.begin(), spellings.end());
    const auto insideAnother = [&all](std::string_view path) {
        for (auto slash = path.rfind('/'); slash != std::string_view::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
            if (all.contains(path.substr(0, slash))) return true;
        }
        return path.size() > 1 && path.front() == '/' && all.contains("/");
    };
    std::vector<Item> kept;
    kept.reserve(items.size());
    for (std::size_t index = 0; index < items.size(); ++index) {
        if (!insideAnother(spellings[index])) kept.push_back(std::move(items[index]));
    }
    return kept;
}

std::int64_t SafeFileDeleter::directorySize(const std::filesystem::path& url, ScanCoverageRecorder* coverage,
                                            std::stop_token stop) const {
    return directorySize(url, coverage, [stop] { return !stop.stop_requested(); });
}

std::int64_t SafeFileDeleter::directorySize(const std::filesystem::path& url, ScanCoverageRecorder* coverage,
                                            const std::function<bool()>& shouldContinue) const {
    return FileSizing::allocatedSize(url, fileManager_, coverage, shouldContinue);
}

}  // namespace vornelo
