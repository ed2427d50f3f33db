#include "Core/ExclusionStore.h"

#include "Core/AppStorageKeys.h"
#include "Core/ManagedPolicy.h"
#include "Core/PathProtection.h"

#include <unordered_set>

namespace vornelo {

ExclusionStore& ExclusionStore::shared() {
    static ExclusionStore store;
    return store;
}

ExclusionStore::ExclusionStore(std::shared_ptr<platform::UserDefaults> defaults, Clock clock,
                               const platform::FileManager& fileManager)
    : injectedDefaults_(std::move(defaults)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      fileManager_(fileManager) {}

std::shared_ptr<platform::UserDefaults> ExclusionStore::defaults() const {
    return injectedDefaults_ ? injectedDefaults_ : AppDefaults::store();
}

ExclusionStore::StringList ExclusionStore::userPaths() const {
    return defaults()->stringArray(std::string(AppStorageKey::userExclusions)).value_or(StringList{});
}

ExclusionStore::StringList ExclusionStore::managedPaths() const {
    return ManagedPolicy(defaults(), true).protectedPaths();
}

std::expected<void, std::string> ExclusionStore::setUserPaths(const StringList& paths) {
    StringList kept;
    std::unordered_set<std::string> seen;
    for (const auto& path : paths) {
        if (path.empty() || !seen.insert(path).second) continue;
        kept.push_back(path);
    }
    auto written = defaults()->write(std::string(AppStorageKey::userExclusions), platform::PlistValue::strings(kept));
    invalidate();
    return written;
}

std::optional<std::string> ExclusionStore::readProblem() const {
    const auto store = defaults();
    if (auto problem = store->readProblem()) return problem;
    const std::string key(AppStorageKey::userExclusions);
    if (const auto stored = store->object(key); stored && !stored->asStringArray()) {
        return "your exclusions (\u201C" + key + "\u201D in " + store->locations().userFile.native() +
               ") are not a list of paths";
    }
    return std::nullopt;
}

void ExclusionStore::invalidate() {
    std::lock_guard guard(lock_);
    cached_.reset();
    ++generation_;
}

std::string ExclusionStore::canonical(const std::string& entry) const {
    // An empty entry would otherwise become the current directory; it must stay a no-match.
    if (entry.empty()) return entry;
    const auto expanded = fileManager_.expandingTildeInPath(entry);
    return PathProtection::normalise(platform::FileManager::absoluteStandardizedPath(expanded));
}

std::shared_ptr<const ExclusionStore::StringList> ExclusionStore::normalisedPaths() {
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(lock_);
        if (cached_ && clock_() - cachedAt_ < cacheLifetime) return cached_;
        generation = generation_;
    }
    // Computed without the lock (it reads files); concurrent callers may compute twice, which is
    // harmless, and a list read before an invalidation is never stored after it.
    auto paths = std::make_shared<StringList>();
    for (const auto& entry : userPaths()) paths->push_back(canonical(entry));
    for (const auto& entry : managedPaths()) paths->push_back(canonical(entry));
    std::lock_guard guard(lock_);
    if (generation == generation_) {
        cached_ = paths;
        cachedAt_ = clock_();
    }
    return paths;
}

}  // namespace vornelo
