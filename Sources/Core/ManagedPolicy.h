#pragma once
// Where settings live (AppDefaults) and typed access to the administrator's keys (ManagedPolicy).
// A managed key counts only when the defaults report it as forced, so a user cannot lift a
// restriction by writing the same key into their own settings.

#include "Platform/System/UserDefaults.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

struct AppDefaults {
    static constexpr std::string_view appDomain = "com.tessaldon.Vornelo";

    // The process's settings for appDomain, created on first use. Thread-safe.
    static std::shared_ptr<platform::UserDefaults> store();
    // Every reader uses the new object from the next read on. Thread-safe.
    static void setStore(std::shared_ptr<platform::UserDefaults> defaults);
};

class ManagedPolicy {
public:
    struct Key {
        static constexpr std::string_view disabledFeatures = "DisabledFeatures";
        static constexpr std::string_view protectedPaths = "ProtectedPaths";
        static constexpr std::string_view protectedBundlePrefixes = "ProtectedBundlePrefixes";
        static constexpr std::string_view forceOperationLog = "ForceOperationLog";
        static constexpr std::string_view disableAutomaticUpdates = "DisableAutomaticUpdates";
        static constexpr std::string_view disablePrivilegedTools = "DisablePrivilegedTools";
        static constexpr std::string_view scheduledScanIntervalHours = "ScheduledScanIntervalHours";

        // In the order isManaged tests them.
        static constexpr std::array<std::string_view, 7> all = {
            disabledFeatures,        protectedPaths,         protectedBundlePrefixes,   forceOperationLog,
            disableAutomaticUpdates, disablePrivilegedTools, scheduledScanIntervalHours,
        };
    };

    ManagedPolicy(std::shared_ptr<platform::UserDefaults> defaults, bool requireForced);

    // A new value on every call: the current AppDefaults::store(), forced keys only.
    static ManagedPolicy shared();

    const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }
    bool requireForced() const { return requireForced_; }

    // Every read goes to the defaults object; nothing is cached.
    bool isManaged() const;
    std::set<std::string> disabledFeatures() const;  // lowercased
    bool isFeatureDisabled(std::string_view name) const;
    std::vector<std::string> protectedPaths() const;
    std::vector<std::string> protectedBundlePrefixes() const;
    bool forceOperationLog() const;
    bool disableAutomaticUpdates() const;
    bool disablePrivilegedTools() const;
    std::optional<std::int64_t> scheduledScanIntervalHours() const;

private:
    std::optional<platform::PlistValue> honoured(std::string_view key) const;
    std::vector<std::string> stringList(std::string_view key) const;
    bool flag(std::string_view key) const;

    std::shared_ptr<platform::UserDefaults> defaults_;
    bool requireForced_;
};

}  // namespace vornelo
