#pragma once
// Folders that belong to the operating system itself (here: Linux and its file-system hierarchy),
// with the reason each must never be removed. These are facts about the system, not choices of
// the application; docs/system-locations.md explains them for people.
//
// The tables are constant data and may be read from any thread.

#include <optional>
#include <span>
#include <string_view>

namespace vornelo::platform {

struct SystemLocation {
    std::string_view path;    // absolute, no trailing separator
    std::string_view reason;  // what the folder holds, as a phrase ("the package database ...")
};

struct SystemLocations {
    // Protected themselves only: what they hold belongs to users or to programs that may clean it.
    static std::span<const SystemLocation> containers();
    // Protected with everything inside them and every folder that contains them.
    static std::span<const SystemLocation> subtrees();
    // The reason given for a path of either table.
    static std::optional<std::string_view> reasonFor(std::string_view path);
};

}  // namespace vornelo::platform
