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

}  // namespace vornelo::platform
