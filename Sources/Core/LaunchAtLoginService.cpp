#include "Core/LaunchAtLoginService.h"

#include "Core/ManagedPolicy.h"

#include <string>

namespace vornelo {

platform::LoginItemService LaunchAtLoginService::mainApp() {
    // The settings domain is the application's bundle identifier.
    return platform::LoginItemService(platform::LoginItemService::Application{
        std::string(AppDefaults::appDomain), std::string(applicationName), {std::string(applicationCommand)}});
}

bool LaunchAtLoginService::isEnabled() { return status() == platform::LoginItemStatus::enabled; }

platform::LoginItemStatus LaunchAtLoginService::status() { return mainApp().status(); }

std::expected<void, platform::FileError> LaunchAtLoginService::setEnabled(bool enabled) {
    const auto service = mainApp();
    return enabled ? service.registerItem() : service.unregisterItem();
}

}  // namespace vornelo
