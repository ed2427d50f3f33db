#pragma once
// A generated home for scanner tests, never the real one: a scratch folder holding the home and a
// stand-in for the system's folders, every place of the scan injected, and the protection rules
// built for that home with the exclusions the test gives.

#include "Core/PathProtection.h"
#include "Platform/Encoding/ContentHash.h"
#include "Scan/CleanupScan.h"
#include "Support/FileChecks.h"
#include "Support/TempDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vornelo::test {

class ScanHome {
public:
    ScanHome() : root_("vornelo-scan"), home_(root_.path() / "home"), system_(root_.path() / "system") {
        std::filesystem::create_directories(home_);
        std::filesystem::create_directories(system_);
    }

    const std::filesystem::path& home() const { return home_; }
    std::filesystem::path operator()(const std::string& relative) const { return home_ / relative; }
    std::filesystem::path system(const std::string& relative) const { return system_ / relative; }
    const std::filesystem::path& scratch() const { return root_.path(); }

    // A file of `bytes` bytes of a pattern drawn from `fill` (by default from the path, so that
    // two files have equal contents only when a test says so), last changed and used `days` ago.
    std::filesystem::path file(const std::filesystem::path& path, std::size_t bytes, int days = 0, char fill = 0) const {
        std::filesystem::create_directories(path.parent_path());
        if (fill == 0) fill = static_cast<char>(std::hash<std::string>{}(path.native()) % 200 + 32);
        std::string contents(bytes, fill);
        for (std::size_t i = 0; i < bytes; i += 97) contents[i] = static_cast<char>('a' + (i / 97 + static_cast<unsigned char>(fill)) % 26);
        std::ofstream(path, std::ios::binary) << contents;
        age(path, days);
        return path;
    }

    // Sets the item's modification and access times `days` back.
    static void age(const std::filesystem::path& path, int days) {
        const auto when = std::chrono::system_clock::now() - std::chrono::days(days);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
        const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }

    // A folder and everything in it aged, deepest first so the folders keep the age too.
    static void ageAll(const std::filesystem::path& folder, int days) {
        std::vector<std::filesystem::path> items;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) items.push_back(entry.path());
        for (auto it = items.rbegin(); it != items.rend(); ++it) age(*it, days);
        age(folder, days);
    }

    scan::ScanPlaces places() const {
        scan::ScanPlaces places;
        places.home = home_.native();
        places.cacheHome = (home_ / ".cache").native();
        places.configHome = (home_ / ".config").native();
        places.dataHome = (home_ / ".local/share").native();
        places.stateHome = (home_ / ".local/state").native();
        places.downloadDir = (home_ / "Downloads").native();
        places.homeTrash = (home_ / ".local/share/Trash").native();
        places.dataDirs = {(system_ / "usr/share").native()};
        places.executableDirs = {(system_ / "usr/bin").native()};
        places.mountPoints = mountPoints;
        places.systemRoot = system_.native();
        places.user = ::getuid();
        places.isAdministrator = administrator;
        places.now = std::chrono::system_clock::now();
        return places;
    }

    scan::ScanReport scan(scan::ScanOptions options = {}, scan::ScanProgress* progress = nullptr,
                          std::stop_token stop = {}) const {
        const auto list = std::make_shared<const PathProtection::StringList>(exclusions);
        const PathProtection protection(home_, [list] { return list; }, PathProtection::noStrings());
        const auto placesNow = places();
        const scan::CleanupScan scanner(placesNow, protection, platform::FileManager::defaultManager());
        scan::ScanProgress own;
        const platform::ContentHash hash(7);
        return scanner.run(options, progress ? *progress : own, stop, &hash);
    }

    std::vector<std::string> exclusions;
    std::vector<std::string> mountPoints;
    bool administrator = false;

private:
    TempDirectory root_;
    std::filesystem::path home_;
    std::filesystem::path system_;
};

// The finding for `path`, or nothing.
inline const scan::Finding* findingAt(const scan::ScanReport& report, const std::filesystem::path& path) {
    for (const auto& finding : report.findings) {
        if (finding.path == path.native()) return &finding;
    }
    return nullptr;
}

// What du counts for a file or a whole folder: allocated blocks, each file once.
inline std::int64_t diskUsage(const std::filesystem::path& path) {
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(path))) return allocatedBytes(path);
    std::int64_t total = 0;
    std::set<std::uint64_t> seen;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (S_ISREG(statOf(entry.path()).st_mode) && seen.insert(statOf(entry.path()).st_ino).second) {
            total += allocatedBytes(entry.path());
        }
    }
    return total;
}

}  // namespace vornelo::test
