#pragma once
// The desktop entries and systemd units in the Linux roots that start something inside an
// application folder (/opt/<name>): the items that would be left pointing at nothing once the
// folder is gone, offered for removal in the same request.
//
// Every file read is treated as hostile: only regular files reached through no link, at most
// maxFileBytes each, at most maxEntries names per folder; a file that breaks a bound is skipped.
//
// Thread safety: stateless; may be called from any thread.

#include "Core/HelperPolicy.h"
#include "Platform/Files/FileManager.h"

#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

struct RelatedItems {
    static constexpr std::size_t maxFileBytes = 256 * 1024;
    static constexpr std::size_t maxEntries = 10000;

    // Entries first (in the order of the roots, names sorted), then units; `folder` is normalised.
    [[nodiscard]] static std::vector<std::string> of(
        const std::string& folder, const HelperPolicy::LinuxRoots& roots,
        const platform::FileManager& fileManager = platform::FileManager::defaultManager());

    // Whether a desktop entry's or unit's text has an Exec line (Exec=, TryExec=, ExecStart=, ...)
    // with a word that is `folder` or a path inside it.
    [[nodiscard]] static bool pointsInto(std::string_view text, std::string_view folder);
};

}  // namespace vornelo
