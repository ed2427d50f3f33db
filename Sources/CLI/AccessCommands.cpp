// access: what the privacy probes find (whether a sandbox confines the process, the protected
// home folders).

#include "CLI/Context.h"
#include "Core/FullDiskAccessCheck.h"
#include "Core/ProtectedFolderAccessCheck.h"
#include "Platform/Files/FileManager.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace vornelo::cli {

namespace {

using nlohmann::json;

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

std::string folderState(const std::string& path) {
    const auto& fileManager = platform::FileManager::defaultManager();
    if (!fileManager.fileExists(path)) return "not present";
    return fileManager.contentsOfDirectoryAtPath(path) ? "can be listed" : "cannot be listed";
}

void runAccess(Context& context) {
    const auto full = FullDiskAccessCheck::report();
    const auto& fileManager = platform::FileManager::defaultManager();
    const auto userFolders = platform::UserFolders::currentUser();
    const auto folders = ProtectedFolderAccessCheck::folders(userFolders);
    const auto denied = ProtectedFolderAccessCheck::deniedFolders(folders, fileManager);
    if (context.json) {
        auto probed = nlohmann::json::array();
        for (const auto& folder : folders) probed.push_back({{"name", folder.name}, {"path", folder.path}, {"state", folderState(folder.path)}});
        printJson({{"fullDiskAccess", full.granted},
                   {"confinement", platform::Confinement::rawValue(full.confinement.kind)},
                   {"confinementDetail", full.confinement.detail},
                   {"home", full.home},
                   {"homeListable", full.homeListable},
                   {"protectedFolderAccess", denied.empty()},
                   {"protectedFolders", probed},
                   {"deniedFolders", denied},
                   {"userDirsProblem", userFolders.userDirsProblem ? json(*userFolders.userDirsProblem) : json()}});
        return;
    }
    std::cout << "Full disk access: " << (full.granted ? "yes" : "no") << '\n';
    std::cout << "  " << displayed(full.confinement.description()) << '\n';
    std::cout << "  The home folder " << displayed(full.home) << (full.homeListable ? " can" : " cannot") << " be listed.\n";
    if (denied.empty()) {
        std::cout << "Protected folders: every one of Desktop, Documents and Downloads that exists can be listed.\n";
    } else {
        std::cout << "Protected folders: " << joined(denied) << (denied.size() == 1 ? " cannot" : " can't")
                  << " be listed.\n";
    }
    if (userFolders.userDirsProblem) {
        std::cout << "  The folders' names in user-dirs.dirs were not used, so the English ones apply: "
                  << displayed(*userFolders.userDirsProblem) << '\n';
    }
    for (const auto& folder : folders) {
        std::cout << "  " << folder.name << " (" << displayed(folder.path) << "): " << folderState(folder.path) << '\n';
    }
}

}  // namespace

void addAccessCommands(CLI::App& app, Context& context) {
    auto* access = app.add_subcommand(
        "access", "Say whether a sandbox confines Vornelo, and whether Desktop, Documents and Downloads can be listed");
    access->callback([&context] { runAccess(context); });
}

}  // namespace vornelo::cli
