#include "Platform/System/Confinement.h"

#include "Platform/Files/RegularFile.h"

#include <selinux/selinux.h>
#include <sys/apparmor.h>

#include <cstdlib>

namespace vornelo::platform {

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The "name" key of the "[Application]" group ("[Runtime]" when run as a runtime), or "".
std::string flatpakApplication(std::string_view info) {
    bool inGroup = false;
    std::string name;
    while (!info.empty()) {
        const auto end = info.find('\n');
        const auto line = trimmed(info.substr(0, end));
        info = end == std::string_view::npos ? std::string_view{} : info.substr(end + 1);
        if (line.starts_with('[')) {
            inGroup = line == "[Application]" || line == "[Runtime]";
            continue;
        }
        if (inGroup && line.starts_with("name=") && name.empty()) name = trimmed(line.substr(5));
    }
    return name;
}

// The type field of "user:role:type:level".
std::string_view seLinuxType(std::string_view context) {
    const auto first = context.find(':');
    if (first == std::string_view::npos) return {};
    const auto second = context.find(':', first + 1);
    if (second == std::string_view::npos) return {};
    const auto third = context.find(':', second + 1);
    return context.substr(second + 1, third == std::string_view::npos ? std::string_view::npos : third - second - 1);
}

}  // namespace

std::string_view Confinement::rawValue(Kind kind) {
    switch (kind) {
        case Kind::none: return "none";
        case Kind::flatpak: return "flatpak";
        case Kind::snap: return "snap";
        case Kind::appArmor: return "appArmor";
        case Kind::seLinux: return "seLinux";
    }
    return "none";
}

std::string Confinement::description() const {
    const std::string named = detail.empty() ? "" : " (" + detail + ")";
    switch (kind) {
        case Kind::none: return "No sandbox or security label confines this process.";
        case Kind::flatpak: return "This process runs in a Flatpak sandbox" + named + ", which hides the system and much of the home.";
        case Kind::snap: return "This process runs confined as a snap" + named + ", which hides much of the home and the system.";
        case Kind::appArmor: return "An AppArmor profile" + named + " confines this process.";
        case Kind::seLinux: return "The SELinux domain" + named + " confines this process.";
    }
    return "No sandbox or security label confines this process.";
}

Confinement::Evidence Confinement::evidence() {
    Evidence found;
    if (auto info = RegularFile::contents(std::string(flatpakInfoPath), maxFlatpakInfoBytes)) {
        found.flatpakInfo = std::move(*info);
    } else if (!info.error().isCocoa(FileError::readNoSuchFile) && !info.error().isCocoa(FileError::noSuchFile)) {
        found.flatpakInfo = "";  // there, but not a file that can be read: still a sandbox's mark
    }
    if (aa_is_enabled() == 1) {
        char* label = nullptr;
        char* mode = nullptr;
        if (aa_getcon(&label, &mode) >= 0 && label) {
            found.appArmorLabel = label;
            if (mode) found.appArmorMode = mode;
        }
        std::free(label);  // mode points into the same allocation
    }
    if (is_selinux_enabled() == 1) {
        char* context = nullptr;
        if (getcon(&context) == 0 && context) found.seLinuxContext = context;
        freecon(context);
        found.seLinuxEnforcing = security_getenforce() == 1;
    }
    return found;
}

Confinement Confinement::classify(const Evidence& evidence) {
    if (evidence.flatpakInfo) return {Kind::flatpak, flatpakApplication(*evidence.flatpakInfo)};
    if (evidence.appArmorLabel && *evidence.appArmorLabel != "unconfined") {
        const auto& label = *evidence.appArmorLabel;
        const auto mode = evidence.appArmorMode.value_or("enforce");
        if (mode == "enforce" || mode == "kill") {
            if (label.starts_with("snap.")) {
                const auto end = label.find('.', 5);
                return {Kind::snap, label.substr(5, end == std::string::npos ? std::string::npos : end - 5)};
            }
            return {Kind::appArmor, label};
        }
    }
    if (evidence.seLinuxContext && evidence.seLinuxEnforcing &&
        seLinuxType(*evidence.seLinuxContext).find("unconfined") == std::string_view::npos) {
        return {Kind::seLinux, *evidence.seLinuxContext};
    }
    return {};
}

}  // namespace vornelo::platform
