#pragma once
// The user's exclusions and the administrator's forced "ProtectedPaths", offered together in the
// canonical spelling that PathProtection compares against, behind a 30-second cache.
//
// Thread safety: every member may be called from any thread. The lock guards only the cache and
// is never held while the defaults are read or written.

#include "Platform/Files/FileManager.h"
#include "Platform/System/UserDefaults.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornelo {

class ExclusionStore {
public:
    using StringList = std::vector<std::string>;
    // Monotonic, so a wall clock set back cannot keep a stale list alive.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::duration<double> cacheLifetime{30.0};

    // Created once, on first use, reading AppDefaults::store() afresh at every read and write.
    static ExclusionStore& shared();

    // An absent defaults object means AppDefaults::store(), looked up at every read and write.
    explicit ExclusionStore(std::shared_ptr<platform::UserDefaults> defaults = nullptr, Clock clock = {},
                            const platform::FileManager& fileManager = platform::FileManager::defaultManager());
    ExclusionStore(const ExclusionStore&) = delete;
    ExclusionStore& operator=(const ExclusionStore&) = delete;

    // As stored: an empty list when absent or not a list of strings.
    StringList userPaths() const;
    // The forced "ProtectedPaths" list; empty when not forced or not a list of strings.
    StringList managedPaths() const;
    // Drops empty and repeated entries (first one wins, order kept), stores, drops the cache. On
    // failure (a settings file that exists but cannot be read is never replaced) one sentence
    // naming the file, and nothing is stored.
    std::expected<void, std::string> setUserPaths(const StringList& paths);
    // Why the lists cannot be trusted, as a clause naming the file ("the settings file /a/b.plist
    // is not a regular file"): a settings file that exists but cannot be read, or a stored user
    // list that is not a list of paths. Either reads as empty, so cleaning on would touch what was
    // excluded. Nothing when both read cleanly.
    [[nodiscard]] std::optional<std::string> readProblem() const;
    void invalidate();

    // User entries then managed ones, tilde-expanded, standardised and normalised; shared so
    // that the thousands of checks of one scan never copy it.
    std::shared_ptr<const StringList> normalisedPaths();

private:
    std::shared_ptr<platform::UserDefaults> defaults() const;
    std::string canonical(const std::string& entry) const;

    std::shared_ptr<platform::UserDefaults> injectedDefaults_;
    Clock clock_;
    const platform::FileManager& fileManager_;
    std::mutex lock_;
    std::shared_ptr<const StringList> cached_;
    std::chrono::steady_clock::time_point cachedAt_{};
    std::uint64_t generation_ = 0;  // bumped by every invalidation
};

}  // namespace vornelo
