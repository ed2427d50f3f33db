#pragma once
// Where a user's programs keep their settings, data, state and caches (the XDG base folders), and
// the user's own folders (Desktop, Documents, ...) as user-dirs.dirs names them.
//
// A base folder comes from its XDG variable when that holds an absolute path (a relative one is
// ignored, as the XDG base directory rules have it) and is otherwise the default below the
// home: ".config", ".local/share", ".local/state", ".cache".
//
// Thread safety: values; the functions are callable from any thread (they read the environment,
// which the process must not change meanwhile).

#include "Platform/System/UserDirsFile.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct UserFolders {
    enum class Base { home, config, data, state, cache };

    std::string home;  // absolute, standardised
    std::string configHome;
    std::string dataHome;
    std::string stateHome;
    std::string cacheHome;
    std::vector<UserDirectory> userDirectories;  // the eight of UserDirsFile::keys(), in that order
    std::optional<std::string> userDirsProblem;  // why user-dirs.dirs was not used, when it exists

    // The places for `home` as a user without XDG variables has them; the user folders as
    // "<home>/.config/user-dirs.dirs" names them.
    [[nodiscard]] static UserFolders standard(std::string_view home);
    // The current user's (FileManager's home), with the XDG variables of this process; the user
    // folders as "<config home>/user-dirs.dirs" names them.
    [[nodiscard]] static UserFolders currentUser();

    // The default spelling of a base below `home` ("" for the home itself).
    [[nodiscard]] static std::string_view defaultRelativePath(Base base);
    // A base folder: its XDG variable when absolute, else the default below `home`.
    [[nodiscard]] static std::string fromEnvironment(Base base, std::string_view home);

    [[nodiscard]] const std::string& folder(Base base) const;
    // The user folder with this key ("XDG_DESKTOP_DIR"); nothing for an unknown key.
    [[nodiscard]] const UserDirectory* userDirectory(std::string_view key) const;
};

}  // namespace vornelo::platform
