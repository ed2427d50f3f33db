#pragma once
// Whether the application can see everything a cleanup needs: on Linux, that no sandbox or
// security label confines this process (platform::Confinement: a Flatpak sandbox, a snap, an
// enforced AppArmor profile or SELinux domain) and that it can list the home folder. The probe
// lists the home; it opens nothing inside it.
//
// Thread safety: callable from any thread.

#include "Platform/Files/FileManager.h"
#include "Platform/System/Confinement.h"

#include <filesystem>
#include <string>

namespace vornelo {

struct FullDiskAccessCheck {
    struct Report {
        bool granted = false;
        platform::Confinement confinement;
        std::string home;
        bool homeListable = false;
    };

    // The current process: its confinement and the current user's home.
    [[nodiscard]] static Report report();
    // The judgement on given findings: granted when unconfined and the home can be listed.
    [[nodiscard]] static Report evaluate(const platform::Confinement& confinement, const std::filesystem::path& home,
                                         const platform::FileManager& fileManager);
    // report().granted.
    [[nodiscard]] static bool probe();
};

}  // namespace vornelo
