#pragma once
// Whether the application may list the user's Desktop, Documents and Downloads folders, which a
// sandbox may keep from it one by one. On Linux these are the XDG Desktop, Documents and Download
// folders that user-dirs.dirs names, in whatever language. The probe lists each folder; it opens
// nothing inside.
//
// Thread safety: callable from any thread. The folders are looked up at every call.

#include "Platform/Files/FileManager.h"
#include "Platform/System/UserFolders.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

struct ProtectedFolderAccessCheck {
    // In the order they are probed and reported.
    static constexpr std::array<std::string_view, 3> folderNames = {"Desktop", "Documents", "Downloads"};

    struct Folder {
        std::string_view name;  // one of folderNames
        std::string path;
    };

    // The three folders among `folders`, in the fixed order; a folder that user-dirs.dirs sets to
    // the home itself (switched off) is left out.
    [[nodiscard]] static std::vector<Folder> folders(const platform::UserFolders& folders);

    // The names (not paths) of the current user's folders that exist but cannot be listed, in the
    // fixed order. A folder that does not exist is not reported.
    [[nodiscard]] static std::vector<std::string> deniedFolders();
    // The same test on the given folders.
    [[nodiscard]] static std::vector<std::string> deniedFolders(const std::vector<Folder>& folders,
                                                                const platform::FileManager& fileManager);
    // True when no folder is denied.
    [[nodiscard]] static bool probe();
};

}  // namespace vornelo
