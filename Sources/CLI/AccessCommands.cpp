// access: what the privacy probes find (full disk access, the protected home folders).

#include "CLI/Context.h"
#include "Core/FullDiskAccessCheck.h"
#include "Core/ProtectedFolderAccessCheck.h"
#include "Platform/Files/FileManager.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace vornelo::cli {

namespace {

std::string probeFileState(const std::filesystem::path& path) {
    const auto& fileManager = platform::FileManager::defaultManager();
    if (!fileManager.fileExists(path)) return "not present";
    return fileManager.tryOpeningForReading(path) ? "can be opened" : "cannot be opened";
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

void runAccess(Context& context) {
    const bool fullDiskAccess = FullDiskAccessCheck::probe();
    const auto denied = ProtectedFolderAccessCheck::deniedFolders();
    std::vector<std::string> probePaths;
    for (const auto& path : FullDiskAccessCheck::probePaths()) probePaths.push_back(path.native());
    if (context.json) {
        printJson({{"fullDiskAccess", fullDiskAccess},
                   {"probePaths", probePaths},
                   {"protectedFolderAccess", denied.empty()},
                   {"deniedFolders", denied}});
        return;
    }
    std::cout << "Full disk access: " << (fullDiskAccess ? "yes" : "no") << '\n';
    for (const auto& path : probePaths) std::cout << "  " << path << ": " << probeFileState(path) << '\n';
    if (!fullDiskAccess) std::cout << "  (a probe file that is not present is no evidence of access)\n";
    if (denied.empty()) {
        std::cout << "Protected folders: every one of Desktop, Documents and Downloads that exists can be listed.\n";
    } else {
        std::cout << "Protected folders: " << joined(denied) << (denied.size() == 1 ? " cannot" : " can't")
                  << " be listed.\n";
    }
}

}  // namespace

void addAccessCommands(CLI::App& app, Context& context) {
    auto* access = app.add_subcommand(
        "access", "Probe full disk access and whether Desktop, Documents and Downloads can be listed");
    access->callback([&context] { runAccess(context); });
}

}  // namespace vornelo::cli
