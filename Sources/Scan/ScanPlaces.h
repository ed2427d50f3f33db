#pragma once
// Where a scan looks: the user's home and XDG folders, the folders of $PATH and the system's
// shared places, all injected so that a test can point every one of them into a scratch folder.
// System places are spelled below `systemRoot` ("" for the real system).

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileManager.h"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vornelo::scan {

struct ScanPlaces {
    std::string home;
    std::string cacheHome;
    std::string configHome;
    std::string dataHome;
    std::string stateHome;
    std::string downloadDir;
    std::string homeTrash;
    std::vector<std::string> dataDirs;
    std::vector<std::string> executableDirs;
    std::vector<std::string> mountPoints;  // for the Trash at the top of each file system
    std::string systemRoot;                // prefix of /var, /usr, /etc ... ("" for the real ones)
    uid_t user = 0;
    bool isAdministrator = false;  // the system's own caches and crash reports are offered too
    platform::TimePoint now{};

    // The current user's, as this process's environment gives them.
    [[nodiscard]] static ScanPlaces forCurrentUser(const platform::FileManager& fileManager);

    // A place of the system, below systemRoot.
    [[nodiscard]] std::string system(std::string_view path) const { return systemRoot + std::string(path); }
    // A place below the home.
    [[nodiscard]] std::string inHome(std::string_view relative) const {
        return platform::FileManager::joinedPath(home, relative);
    }
};

}  // namespace vornelo::scan
