#pragma once
// Whether a sandbox or a mandatory access control label confines this process, so that it cannot
// see the whole home or the system: a Flatpak sandbox ("/.flatpak-info" exists), a snap's AppArmor
// profile, any other enforced AppArmor profile, or an enforced SELinux domain that is not one of
// the unconfined ones. Complain mode and permissive SELinux confine nothing.
//
// Thread safety: stateless; callable from any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct Confinement {
    enum class Kind { none, flatpak, snap, appArmor, seLinux };

    // What a process can learn about itself, gathered by evidence() and judged by classify().
    struct Evidence {
        std::optional<std::string> flatpakInfo;    // the contents of /.flatpak-info, when present
        std::optional<std::string> appArmorLabel;  // "unconfined", "snap.firefox.firefox", ...
        std::optional<std::string> appArmorMode;   // "enforce", "complain", ...; absent when not given
        std::optional<std::string> seLinuxContext; // "user:role:type:level"
        bool seLinuxEnforcing = false;
    };

    static constexpr std::string_view flatpakInfoPath = "/.flatpak-info";
    // The file Flatpak puts in every sandbox is a few hundred bytes.
    static constexpr std::size_t maxFlatpakInfoBytes = 64 * 1024;

    Kind kind = Kind::none;
    std::string detail;  // the Flatpak application, the snap, the AppArmor profile or the SELinux context

    [[nodiscard]] bool confined() const { return kind != Kind::none; }
    // "none", "flatpak", "snap", "appArmor", "seLinux".
    [[nodiscard]] static std::string_view rawValue(Kind kind);
    // One sentence for the user saying what was found.
    [[nodiscard]] std::string description() const;

    [[nodiscard]] static Evidence evidence();
    [[nodiscard]] static Confinement classify(const Evidence& evidence);
    [[nodiscard]] static Confinement current() { return classify(evidence()); }
};

}  // namespace vornelo::platform
