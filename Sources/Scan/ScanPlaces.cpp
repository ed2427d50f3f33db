#include "Scan/ScanPlaces.h"

#include "Platform/System/XdgFolders.h"
#include "Platform/Trash/Trash.h"
#include "Platform/Trash/TrashListing.h"

#include <chrono>

namespace vornelo::scan {

ScanPlaces ScanPlaces::forCurrentUser(const platform::FileManager& fileManager) {
    const auto home = platform::FileManager::standardizedPath(fileManager.homeDirectoryForCurrentUser());
    const auto xdg = platform::XdgFolders::forHome(home);
    ScanPlaces places;
    places.home = home;
    places.cacheHome = xdg.cacheHome;
    places.configHome = xdg.configHome;
    places.dataHome = xdg.dataHome;
    places.stateHome = xdg.stateHome;
    places.downloadDir = xdg.downloadDir;
    places.homeTrash = platform::Trash::homeTrash(home).native();
    places.dataDirs = xdg.dataDirs;
    places.executableDirs = xdg.executableDirs;
    places.mountPoints = platform::TrashListing::mountPoints();
    places.user = fileManager.realUserID();
    places.isAdministrator = places.user == 0;
    places.now = std::chrono::system_clock::now();
    return places;
}

}  // namespace vornelo::scan
