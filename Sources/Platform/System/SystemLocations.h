#pragma once
// Folders that belong to the operating system itself (here: Linux and its file-system hierarchy),
// and the places in a Linux home that hold what a person must never lose to a cleanup, with the
// reason each must never be removed. These are facts about the system, not choices of the
// application; docs/system-locations.md explains them for people.
//
// The tables are constant data and may be read from any thread.

#include "Platform/System/UserFolders.h"

#include <optional>
#include <span>
#include <string_view>

namespace vornelo::platform {

struct SystemLocation {
    std::string_view path;    // absolute, no trailing separator
    std::string_view reason;  // what the folder holds, as a phrase ("the package database ...")
};

// A place in a user's home, relative to one of the user's base folders. A component "*" stands
// for any one name (the folder of each Flatpak application).
struct HomeLocation {
    UserFolders::Base base;
    std::string_view path;    // relative, no leading or trailing separator; empty for the base itself
    std::string_view reason;
};

struct SystemLocations {
    // Protected themselves only: what they hold belongs to users or to programs that may clean it.
    static std::span<const SystemLocation> containers();
    // Protected with everything inside them and every folder that contains them.
    static std::span<const SystemLocation> subtrees();
    // The reason given for a path of either table.
    static std::optional<std::string_view> reasonFor(std::string_view path);

    // The same two kinds of place in a home: the folders of programs' settings, data, state and
    // caches, and each Trash folder (containers); keyrings, password stores, credentials, and mail
    // and browser profiles (subtrees). The caches of those programs stay in the cache folder.
    static std::span<const HomeLocation> homeContainers();
    static std::span<const HomeLocation> homeSubtrees();

    // Whether `path` (absolute, standardised) names a Trash folder of the kind file systems other
    // than the home's hold, or its "files" or "info" folder, by its spelling: "<top>/.Trash-<uid>",
    // "<top>/.Trash", "<top>/.Trash/<uid>", and the ".Trashes" folders of earlier versions. The
    // reason when it does.
    static std::optional<std::string_view> trashFolderReason(std::string_view path);
};

}  // namespace vornelo::platform
