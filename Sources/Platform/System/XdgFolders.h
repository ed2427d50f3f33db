#pragma once
// Where a user's programs keep their files, by the XDG Base Directory rules: the cache, settings,
// data and state folders ($XDG_*_HOME when absolute, else their defaults below the home), the
// shared data folders ($XDG_DATA_DIRS), the folders of $PATH, and the user folders that
// "user-dirs.dirs" names (XDG_DOWNLOAD_DIR, ...).
//
// Thread safety: values; forHome reads the environment and one small file, from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct XdgFolders {
    std::string home;
    std::string cacheHome;   // ~/.cache
    std::string configHome;  // ~/.config
    std::string dataHome;    // ~/.local/share
    std::string stateHome;   // ~/.local/state
    std::vector<std::string> dataDirs;        // /usr/local/share, /usr/share
    std::vector<std::string> executableDirs;  // $PATH, absolute entries only
    std::string downloadDir;                  // XDG_DOWNLOAD_DIR, default ~/Downloads

    // The folders for `home` as this process's environment sets them.
    [[nodiscard]] static XdgFolders forHome(const std::string& home);

    // The folder that the text of a "user-dirs.dirs" file gives for `key` ("XDG_DOWNLOAD_DIR"):
    // a quoted value starting with "$HOME/" or "/"; nothing for anything else.
    [[nodiscard]] static std::optional<std::string> userDirectory(std::string_view text, std::string_view key,
                                                                  const std::string& home);
};

}  // namespace vornelo::platform
