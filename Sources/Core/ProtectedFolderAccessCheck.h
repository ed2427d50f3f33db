#pragma once
// Whether the application may list the user's Desktop, Documents and Downloads folders, which the
// system's privacy controls guard one by one. The probe lists each folder; it opens nothing inside.
//
// Thread safety: callable from any thread. The home directory is looked up at every call.

#include "Platform/Files/FileManager.h"

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

struct ProtectedFolderAccessCheck {
    // In the order they are probed and reported.
    static constexpr std::array<std::string_view, 3> folderNames = {"Desktop", "Documents", "Downloads"};

    // The names (not paths) of the folders in the current user's home that exist but cannot be
    // listed, in the fixed order. A folder that does not exist is not reported.
    [[nodiscard]] static std::vector<std::string> deniedFolders();
    // The same test in the given home folder.
    [[nodiscard]] static std::vector<std::string> deniedFolders(const std::filesystem::path& home,
                                                                const platform::FileManager& fileManager);
    // True when no folder is denied.
    [[nodiscard]] static bool probe();
};

}  // namespace vornelo
