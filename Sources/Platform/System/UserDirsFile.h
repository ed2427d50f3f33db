#pragma once
// The XDG user folders (Desktop, Download, Documents, ...) as "user-dirs.dirs" names them, in
// whatever language the desktop chose. The file belongs to the user and is read as untrusted
// input: at most maxBytes, a regular file only, a final symbolic link never followed. A line that
// does not have the documented form (KEY="$HOME/name" or KEY="/absolute/path") is passed over,
// and every folder the file does not name validly keeps its English default, so a damaged file
// gives the English names.
//
// Thread safety: stateless; callable from any thread.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct UserDirectory {
    std::string_view key;   // "XDG_PICTURES_DIR"
    std::string_view role;  // "Pictures": what the folder is for, in English
    std::string path;       // absolute and standardised
    bool named = false;     // the file named it (otherwise it is the English default)
};

struct UserDirsFile {
    // Real files are a few hundred bytes.
    static constexpr std::size_t maxBytes = 16 * 1024;
    static constexpr std::string_view fileName = "user-dirs.dirs";

    struct Key {
        std::string_view key;
        std::string_view role;
        std::string_view englishName;  // the folder's name in the home when nothing names it
    };
    // The eight folders, in the order the desktop's tool writes them.
    static std::span<const Key> keys();

    // The eight folders for `home` (absolute), as `text` names them.
    [[nodiscard]] static std::vector<UserDirectory> parse(std::string_view text, std::string_view home);
    // One value ("$HOME/Bilder", "/data/Photos") as a path, or nothing when it is not of the
    // documented form; `home` stands for "$HOME".
    [[nodiscard]] static std::optional<std::string> value(std::string_view quoted, std::string_view home);

    struct Reading {
        std::vector<UserDirectory> folders;
        std::optional<std::string> problem;  // why the file was not used, when it exists
    };
    // Reads `file`; when it is missing, unreadable or unsafe, every folder is the English default.
    [[nodiscard]] static Reading read(const std::filesystem::path& file, std::string_view home);
};

}  // namespace vornelo::platform
