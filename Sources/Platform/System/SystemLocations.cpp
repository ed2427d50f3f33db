#include "Platform/System/SystemLocations.h"

#include <array>

namespace vornelo::platform {

namespace {

constexpr std::array<SystemLocation, 9> containerTable{{
    {"/home", "holds every user's home folder"},
    {"/root", "is the administrator's home folder"},
    {"/media", "is where removable media are mounted"},
    {"/mnt", "is where file systems are mounted by hand"},
    {"/srv", "holds the data this machine serves"},
    {"/var/cache", "holds the caches of programs, which each program may clear"},
    {"/var/log", "holds the system's logs"},
    {"/var/tmp", "holds temporary files kept across restarts"},
    {"/lost+found", "is where the file-system check puts what it recovers"},
}};

constexpr std::array<SystemLocation, 16> subtreeTable{{
    {"/boot", "holds the kernels, the initial RAM disks and the boot loader"},
    {"/efi", "is the EFI system partition the firmware starts from"},
    {"/dev", "holds the device nodes"},
    {"/proc", "is the kernel's view of processes and settings"},
    {"/sys", "is the kernel's view of devices and drivers"},
    {"/run", "holds the run-time state of services: sockets, locks and process IDs"},
    {"/lib", "holds the libraries and kernel modules the system starts with"},
    {"/lib32", "holds 32-bit libraries"},
    {"/lib64", "holds 64-bit libraries and the dynamic loader"},
    {"/libx32", "holds x32 libraries"},
    {"/var/lib", "holds the state of programs, the package database among it"},
    {"/var/spool", "holds queued work: print jobs, outgoing mail and scheduled tasks"},
    {"/var/mail", "holds the users' mailboxes"},
    {"/var/backups", "holds the system's own backups of its package and account databases"},
    {"/snap", "holds the installed snap packages"},
    {"/nix", "is the Nix package store"},
}};

using Base = UserFolders::Base;

constexpr std::array<HomeLocation, 11> homeContainerTable{{
    {Base::config, "", "holds the settings of programs"},
    {Base::data, "", "holds the data of programs, the Trash among it"},
    {Base::state, "", "holds the state and history of programs"},
    {Base::cache, "", "holds the caches of programs, which each program may clear"},
    {Base::home, ".local", "holds the data, state and own programs of this user"},
    {Base::home, ".var", "holds the data of Flatpak applications"},
    {Base::home, ".var/app", "holds one folder for each Flatpak application"},
    {Base::home, "snap", "holds one folder for each snap application"},
    {Base::data, "Trash", "is the Trash"},
    {Base::data, "Trash/files", "holds the items in the Trash"},
    {Base::data, "Trash/info", "records where each item in the Trash came from"},
}};

constexpr std::array<HomeLocation, 23> homeSubtreeTable{{
    {Base::data, "keyrings", "holds the desktop's keyrings, with saved passwords, keys and certificates"},
    {Base::data, "kwalletd", "holds the KDE wallets, with saved passwords and keys"},
    {Base::home, ".password-store", "holds the password store of pass"},
    {Base::home, ".aws", "holds the credentials and settings of the AWS command-line tools"},
    {Base::home, ".kube", "holds the credentials and settings of the Kubernetes clients"},
    {Base::home, ".docker/config.json", "holds the credentials Docker signs in to registries with"},
    {Base::home, ".netrc", "holds the passwords of network logins"},
    {Base::home, ".git-credentials", "holds the passwords Git has saved"},
    {Base::config, "gh", "holds the sign-in tokens of the GitHub command-line tool"},
    {Base::home, ".pki", "holds the certificate and key database of browsers and other programs"},
    {Base::home, ".mozilla", "holds the Firefox profiles, with bookmarks, history and saved passwords"},
    {Base::home, ".thunderbird", "holds the Thunderbird profiles, with mail, contacts and saved passwords"},
    {Base::config, "google-chrome", "holds the Chrome profiles, with bookmarks, history and saved passwords"},
    {Base::config, "chromium", "holds the Chromium profiles, with bookmarks, history and saved passwords"},
    {Base::config, "BraveSoftware", "holds the Brave profiles, with bookmarks, history and saved passwords"},
    {Base::home, ".var/app/*/.mozilla", "holds the profiles of a Flatpak Firefox, with bookmarks, history and saved passwords"},
    {Base::home, ".var/app/*/.thunderbird", "holds the profiles of a Flatpak Thunderbird, with mail, contacts and saved passwords"},
    {Base::home, ".var/app/*/config/google-chrome", "holds the profiles of a Flatpak Chrome, with bookmarks, history and saved passwords"},
    {Base::home, ".var/app/*/config/chromium", "holds the profiles of a Flatpak Chromium, with bookmarks, history and saved passwords"},
    {Base::home, ".var/app/*/config/BraveSoftware", "holds the profiles of a Flatpak Brave, with bookmarks, history and saved passwords"},
    {Base::home, "snap/firefox/common/.mozilla", "holds the profiles of the snap Firefox, with bookmarks, history and saved passwords"},
    {Base::home, "snap/thunderbird/common/.thunderbird", "holds the profiles of the snap Thunderbird, with mail, contacts and saved passwords"},
    {Base::home, "snap/chromium/common/chromium", "holds the profiles of the snap Chromium, with bookmarks, history and saved passwords"},
}};

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string_view lastComponent(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parentOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos || slash == 0 ? std::string_view{} : path.substr(0, slash);
}

// A Trash folder itself: ".Trash-<uid>", ".Trash", ".Trash/<uid>" and the older ".Trashes" forms.
bool isTrashFolder(std::string_view path) {
    const auto name = lastComponent(path);
    if (name == ".Trash" || name == ".Trashes") return true;
    if (name.starts_with(".Trash-") && isDigits(name.substr(7))) return true;
    const auto parentName = lastComponent(parentOf(path));
    return isDigits(name) && (parentName == ".Trash" || parentName == ".Trashes");
}

}  // namespace

std::span<const SystemLocation> SystemLocations::containers() { return containerTable; }
std::span<const SystemLocation> SystemLocations::subtrees() { return subtreeTable; }

std::optional<std::string_view> SystemLocations::reasonFor(std::string_view path) {
    for (const auto table : {containers(), subtrees()}) {
        for (const auto& location : table) {
            if (location.path == path) return location.reason;
        }
    }
    return std::nullopt;
}

std::span<const HomeLocation> SystemLocations::homeContainers() { return homeContainerTable; }
std::span<const HomeLocation> SystemLocations::homeSubtrees() { return homeSubtreeTable; }

std::optional<std::string_view> SystemLocations::trashFolderReason(std::string_view path) {
    if (isTrashFolder(path)) return "is a Trash folder";
    const auto name = lastComponent(path);
    if (name != "files" && name != "info") return std::nullopt;
    if (!isTrashFolder(parentOf(path))) return std::nullopt;
    return name == "files" ? "holds the items in a Trash" : "records where each item in a Trash came from";
}

}  // namespace vornelo::platform
