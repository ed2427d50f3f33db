#pragma once
// Login items on an XDG autostart entry: "<autostart folder>/<bundle identifier>.desktop", which
// desktop sessions start when the user logs in (format and example: docs/autostart-entry.md).
//
// Status, asked afresh from the file at every call:
// - notRegistered: there is no entry (a dangling link counts as none);
// - enabled: a usable entry that the user has not switched off;
// - requiresApproval: the user switched the entry off ("Hidden=true" or
//   "X-GNOME-Autostart-enabled=false"); it starts nothing until enabled again;
// - notFound: something is there but no session would start it: not a regular file, unreadable,
//   larger than maximumEntryBytes, no "[Desktop Entry]" group, no "Exec" key, or a "Type" other
//   than "Application".
// The entry is read through symbolic links (linking a packaged entry is common) but never
// blocks on a FIFO or device, and never reads more than maximumEntryBytes.
//
// registerItem() writes a fresh entry atomically (temporary file, fsync, rename), replacing any
// entry or link there, and creates the folder (mode 0700) when missing. unregisterItem() removes
// the entry; an absent entry is already unregistered, so that is success. Failures are returned,
// never thrown, and leave no partial entry behind.
//
// Thread safety: a service is an immutable value; its members may be called from any thread, but
// concurrent register and unregister calls race on the file as two programs would.

#include "Platform/Files/FileError.h"

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

// The status values of the platform's service-management interface.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// "notRegistered", "enabled", "requiresApproval", "notFound".
[[nodiscard]] std::string_view loginItemStatusName(LoginItemStatus status);

class LoginItemService {
public:
    static constexpr std::size_t maximumEntryBytes = 64 * 1024;

    struct Application {
        std::string bundleIdentifier;      // the entry's file name, without ".desktop"
        std::string name;                  // shown by the session's settings
        std::vector<std::string> command;  // the program (absolute, or looked up in PATH) and its arguments
    };

    // "$XDG_CONFIG_HOME/autostart" when that variable holds an absolute path, else
    // "<home>/.config/autostart". Looked up at every call.
    [[nodiscard]] static std::filesystem::path autostartDirectory();

    explicit LoginItemService(Application application, std::filesystem::path directory = autostartDirectory());

    [[nodiscard]] const Application& application() const { return application_; }
    [[nodiscard]] std::filesystem::path entryPath() const;
    // The text registerItem() writes.
    [[nodiscard]] std::string entryText() const;

    [[nodiscard]] LoginItemStatus status() const;
    std::expected<void, FileError> registerItem() const;
    std::expected<void, FileError> unregisterItem() const;

private:
    // A bundle identifier that is one plain file name; anything else would place the entry elsewhere.
    [[nodiscard]] std::expected<void, FileError> checkIdentifier() const;

    Application application_;
    std::filesystem::path directory_;
};

}  // namespace vornelo::platform
