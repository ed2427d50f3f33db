#include "Scan/LeftoverScanner.h"

#include <array>

namespace vornelo::scan {

namespace {

enum class In { config, data, both };

// Folders of the desktop, shared by many programs or belonging to none in particular.
struct SharedFolder {
    In in;
    std::string_view name;
    std::string_view reason;
};

constexpr std::array sharedFolders{
    SharedFolder{In::config, "autostart", "Programs this user starts at login."},
    SharedFolder{In::config, "menus", "This user's application menus."},
    SharedFolder{In::both, "systemd", "This user's services and timers."},
    SharedFolder{In::config, "environment.d", "This user's session environment."},
    SharedFolder{In::config, "fontconfig", "This user's font settings."},
    SharedFolder{In::config, "gtk-2.0", "Settings every GTK program reads."},
    SharedFolder{In::config, "gtk-3.0", "Settings every GTK program reads."},
    SharedFolder{In::config, "gtk-4.0", "Settings every GTK program reads."},
    SharedFolder{In::config, "dconf", "The settings database of the desktop and its programs."},
    SharedFolder{In::config, "xdg-desktop-portal", "Settings of the desktop's portals."},
    SharedFolder{In::config, "mimeapps.list", "Which program opens which kind of file."},
    SharedFolder{In::data, "applications", "Launchers of this user's programs."},
    SharedFolder{In::data, "icons", "Icons installed for this user."},
    SharedFolder{In::both, "fonts", "Fonts installed for this user."},
    SharedFolder{In::data, "themes", "Themes installed for this user."},
    SharedFolder{In::data, "mime", "This user's file types."},
    SharedFolder{In::data, "sounds", "Sounds installed for this user."},
    SharedFolder{In::data, "backgrounds", "This user's desktop backgrounds."},
    SharedFolder{In::data, "desktop-directories", "Folders of this user's application menus."},
    SharedFolder{In::data, "Trash", "The Trash, which the Trash scanner looks at item by item."},
    SharedFolder{In::data, "keyrings", "The keyrings holding this user's passwords."},
    SharedFolder{In::data, "flatpak", "Flatpak applications installed for this user."},
    SharedFolder{In::data, "recently-used.xbel", "The list of recently used files the desktop keeps."},
    SharedFolder{In::data, "gvfs-metadata", "What the file manager remembers about files."},
    SharedFolder{In::data, "color", "This user's colour profiles."},
    SharedFolder{In::data, "dbus-1", "This user's session services."},
    SharedFolder{In::data, "vornelo", "Vornelo's own files."},
    SharedFolder{In::config, "vornelo", "Vornelo's own files."},
};

}  // namespace

std::optional<std::string_view> LeftoverScanner::sharedFolderReason(std::string_view name, bool inConfig) {
    for (const auto& shared : sharedFolders) {
        const bool here = shared.in == In::both || (shared.in == In::config) == inConfig;
        if (here && shared.name == name) return shared.reason;
    }
    return std::nullopt;
}

std::vector<Candidate> LeftoverScanner::scan(const ScanContext& context) const {
    const auto& places = context.places();
    std::vector<std::pair<ScanItem, bool>> folders;
    for (const bool inConfig : {true, false}) {
        for (auto& entry : context.list(inConfig ? places.configHome : places.dataHome)) {
            if (entry.isFolder() && !sharedFolderReason(entry.name(), inConfig)) folders.emplace_back(std::move(entry), inConfig);
        }
    }
    if (folders.empty() || context.stopped()) return {};
    const auto installed = InstalledApplications::gather(context);
    std::vector<Candidate> found;
    for (auto& [folder, inConfig] : folders) {
        if (installed.mentions(folder.name())) continue;
        auto reason = std::string(inConfig ? "Settings" : "Data") + " of \u201C" + std::string(folder.name()) +
                      "\u201D, which no longer seems to be installed: no desktop entry, program, Flatpak or package has "
                      "that name.";
        found.push_back(propose(context, std::move(folder), std::move(reason), Confidence::review));
    }
    return found;
}

}  // namespace vornelo::scan
