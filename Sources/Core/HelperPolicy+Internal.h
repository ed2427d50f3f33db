#pragma once
// What HelperPolicy's two files share: the refusal helper and the Linux rules.

#include "Core/HelperPolicy.h"

#include <optional>
#include <string>
#include <string_view>

namespace vornelo::helper_policy {

inline std::unexpected<HelperPolicy::Rejection> refuse(std::string_view reason) {
    return std::unexpected(HelperPolicy::Rejection{std::string(reason)});
}

// The reason for an item of a Flatpak or Snap installation, or of the distribution's units,
// naming what removes it instead; nothing for any other path. `path` is normalised.
std::optional<std::string> linuxInstallation(std::string_view path, const HelperPolicy::LinuxRoots& roots);

// The rules for an item directly in one of the Linux roots (`parent`, normalised); sets its kind.
std::expected<void, HelperPolicy::Rejection> linuxRules(HelperPolicy::Judgement& item, const std::string& parent,
                                                        const HelperPolicy::LinuxRoots& roots);

}  // namespace vornelo::helper_policy
