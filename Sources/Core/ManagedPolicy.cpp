#include "Core/ManagedPolicy.h"

#include "Platform/Encoding/Text.h"

#include <mutex>

namespace vornelo {

namespace {

struct StoreSlot {
    std::mutex mutex;
    std::shared_ptr<platform::UserDefaults> defaults;
};

StoreSlot& storeSlot() {
    static StoreSlot slot;
    return slot;
}

}  // namespace

std::shared_ptr<platform::UserDefaults> AppDefaults::store() {
    auto& slot = storeSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.defaults) {
        slot.defaults = std::make_shared<platform::UserDefaults>(
            platform::UserDefaults::locationsForDomain(std::string(appDomain)));
    }
    return slot.defaults;
}

void AppDefaults::setStore(std::shared_ptr<platform::UserDefaults> defaults) {
    auto& slot = storeSlot();
    std::lock_guard lock(slot.mutex);
    slot.defaults = std::move(defaults);
}

ManagedPolicy::ManagedPolicy(std::shared_ptr<platform::UserDefaults> defaults, bool requireForced)
    : defaults_(std::move(defaults)), requireForced_(requireForced) {}

ManagedPolicy ManagedPolicy::shared() { return ManagedPolicy(AppDefaults::store(), true); }

std::optional<platform::PlistValue> ManagedPolicy::honoured(std::string_view key) const {
    const std::string name(key);
    if (requireForced_ && !defaults_->objectIsForced(name)) return std::nullopt;
    return defaults_->object(name);
}

std::vector<std::string> ManagedPolicy::stringList(std::string_view key) const {
    const auto value = honoured(key);
    if (!value) return {};
    return value->asStringArray().value_or(std::vector<std::string>{});
}

bool ManagedPolicy::flag(std::string_view key) const {
    const auto value = honoured(key);
    return value && value->asBool().value_or(false);
}

bool ManagedPolicy::isManaged() const {
    for (const auto key : Key::all) {
        if (honoured(key)) return true;
    }
    return false;
}

std::set<std::string> ManagedPolicy::disabledFeatures() const {
    std::set<std::string> features;
    for (const auto& name : stringList(Key::disabledFeatures)) features.insert(platform::Text::lowercased(name));
    return features;
}

bool ManagedPolicy::isFeatureDisabled(std::string_view name) const {
    return disabledFeatures().contains(platform::Text::lowercased(name));
}

std::vector<std::string> ManagedPolicy::protectedPaths() const { return stringList(Key::protectedPaths); }

std::vector<std::string> ManagedPolicy::protectedBundlePrefixes() const {
    return stringList(Key::protectedBundlePrefixes);
}

bool ManagedPolicy::forceOperationLog() const { return flag(Key::forceOperationLog); }

bool ManagedPolicy::disableAutomaticUpdates() const { return flag(Key::disableAutomaticUpdates); }

bool ManagedPolicy::disablePrivilegedTools() const { return flag(Key::disablePrivilegedTools); }

std::optional<std::int64_t> ManagedPolicy::scheduledScanIntervalHours() const {
    const auto value = honoured(Key::scheduledScanIntervalHours);
    if (!value) return std::nullopt;
    const auto hours = value->asInteger();
    if (!hours || *hours <= 0) return std::nullopt;
    return hours;
}

}  // namespace vornelo
