#pragma once
// Registers the application itself as a login item, so that it starts when the user logs in, and
// reports whether that registration is in force. A thin layer over the platform's login items
// (platform::LoginItemService, an XDG autostart entry on Linux); it holds no state and asks the
// platform afresh at every call.
//
// Thread safety: callable from any thread; two concurrent setEnabled calls race as two programs
// editing the same entry would.

#include "Platform/Files/FileError.h"
#include "Platform/System/LoginItems.h"

#include <expected>
#include <string_view>

namespace vornelo {

struct LaunchAtLoginService {
    static constexpr std::string_view applicationName = "Vornelo";
    // The desktop application's command, looked up in PATH by the session at login.
    static constexpr std::string_view applicationCommand = "vornelo";

    // The main application's login item, in the autostart folder of the current environment.
    [[nodiscard]] static platform::LoginItemService mainApp();

    // True exactly when the status is enabled; not registered, switched off by the user
    // (requires approval) and not found all read as false.
    [[nodiscard]] static bool isEnabled();
    [[nodiscard]] static platform::LoginItemStatus status();

    // True registers, false unregisters. The platform's error comes back as the failure; nothing
    // is thrown and nothing is retried.
    static std::expected<void, platform::FileError> setEnabled(bool enabled);
};

}  // namespace vornelo
