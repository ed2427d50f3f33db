#pragma once
// The names under which software is installed on this system, gathered once per scan: desktop
// entries (their file names, programs and window classes), programs on every PATH folder and the
// usual program folders, Flatpak and Snap applications, Debian packages, and the folders of
// /etc, /usr/share, /usr/lib and /opt that installed software keeps. A settings folder of the home
// is a leftover only when no name here mentions it.
//
// Thread safety: built once, then read only; mentions() may be called from any thread.

#include "Scan/ScanContext.h"

#include <string>
#include <string_view>
#include <unordered_set>

namespace vornelo::scan {

class InstalledApplications {
public:
    [[nodiscard]] static InstalledApplications gather(const ScanContext& context);

    // Also vouches for the name's last part after a "." ("nautilus" for "org.gnome.Nautilus").
    void add(std::string_view name);
    // Some installed name equals `name` (letter case aside, a leading "." dropped), equals its last
    // part after a ".", or begins it followed by "-", "." or "_" ("gvfs" for "gvfs-metadata").
    [[nodiscard]] bool mentions(std::string_view name) const;

    // The program a desktop entry's "Exec=" line runs, without its folder; empty when there is none.
    [[nodiscard]] static std::string programOf(std::string_view execLine);

    [[nodiscard]] std::size_t size() const { return names_.size(); }

private:
    std::unordered_set<std::string> names_;
};

}  // namespace vornelo::scan
