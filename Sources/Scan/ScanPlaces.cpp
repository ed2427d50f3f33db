#include "Scan/ScanPlaces.h"

#include "Platform/System/SearchPaths.h"
#include "Platform/System/UserFolders.h"
#include "Platform/Trash/Trash.h"
#include "Platform/Trash/TrashListing.h"

#include <chrono>

namespace vornelo::scan {

ScanPlaces ScanPlaces::forCurrentUser(const platform::FileManager& fileManager) {
    const auto folders = platform::UserFolders::currentUser();
    ScanPlaces places;
    places.home = folders.home;
    places.cacheHome = folders.cacheHome;
    places.configHome = folders.configHome;
    places.dataHome = folders.dataHome;
    places.stateHome = folders.stateHome;
    const auto* download = folders.userDirectory("XDG_DOWNLOAD_DIR");
    places.downloadDir = download ? download->path : platform::FileManager::joinedPath(folders.home, "Downloads");
    places.homeTrash = platform::Trash::homeTrash(folders.home).native();
    places.dataDirs = platform::SearchPaths::dataFolders();
    places.executableDirs = platform::SearchPaths::executableFolders();
    places.mountPoints = platform::TrashListing::mountPoints();
    places.user = fileManager.realUserID();
    places.isAdministrator = places.user == 0;
    places.now = std::chrono::system_clock::now();
    return places;
}

}  // namespace vornelo::scan
