// exclusions list | add | remove: the user's own list, the administrator's, and what protection
// compares against.

#include "CLI/Context.h"
#include "Core/ExclusionStore.h"
#include "Core/PathProtection.h"
#include "Platform/Files/FileManager.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

using platform::FileManager;

void printList(std::string_view title, const std::vector<std::string>& entries) {
    std::cout << title << '\n';
    if (entries.empty()) std::cout << "  (none)\n";
    for (const auto& entry : entries) std::cout << "  " << displayed(entry) << '\n';
}

void printLists(ExclusionStore& store, Context& context) {
    store.invalidate();
    if (const auto problem = store.readProblem()) {
        printError("Your exclusions cannot be read, so the lists below may be incomplete: " + *problem + ".");
        context.noteFailure();
    }
    const auto user = store.userPaths();
    const auto managed = store.managedPaths();
    const auto canonical = store.normalisedPaths();
    if (context.json) {
        printJson({{"userPaths", user}, {"managedPaths", managed}, {"normalisedPaths", *canonical}});
        return;
    }
    printList("Your exclusions, as stored:", user);
    printList("Protected by your administrator:", managed);
    printList("Compared as:", *canonical);
}

// A path typed at a shell means the path from here; stored relative, it would move with every
// later working directory.
std::string storedForm(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.front() == '~') return path;
    return FileManager::absoluteStandardizedPath(path);
}

std::string canonicalForm(const std::string& path) {
    const auto expanded = FileManager::defaultManager().expandingTildeInPath(path);
    return PathProtection::normalise(FileManager::absoluteStandardizedPath(expanded));
}

// Editing a list that could not be read would store only the edit, losing the rest.
bool mayEdit(ExclusionStore& store, Context& context) {
    const auto problem = store.readProblem();
    if (!problem) return true;
    printError("Your exclusions were not changed: " + *problem + ".");
    context.noteFailure();
    return false;
}

void save(ExclusionStore& store, const std::vector<std::string>& entries, Context& context) {
    if (const auto saved = store.setUserPaths(entries); !saved) {
        printError(saved.error());
        context.noteFailure();
    }
}

void runAdd(const std::vector<std::string>& paths, Context& context) {
    auto& store = ExclusionStore::shared();
    if (!mayEdit(store, context)) return;
    auto entries = store.userPaths();
    for (const auto& path : paths) {
        if (path.empty()) {
            printError("An empty path cannot be excluded.");
            context.noteFailure();
            continue;
        }
        entries.push_back(storedForm(path));
    }
    save(store, entries, context);
    printLists(store, context);
}

void runRemove(const std::vector<std::string>& paths, Context& context) {
    auto& store = ExclusionStore::shared();
    if (!mayEdit(store, context)) return;
    auto entries = store.userPaths();
    for (const auto& path : paths) {
        const auto wanted = canonicalForm(storedForm(path));
        const auto before = entries.size();
        std::erase_if(entries, [&](const std::string& entry) { return entry == path || canonicalForm(entry) == wanted; });
        if (entries.size() == before) {
            printError("\u201C" + path + "\u201D is not among your exclusions.");
            context.noteFailure();
        }
    }
    save(store, entries, context);
    printLists(store, context);
}

}  // namespace

void addExclusionCommands(CLI::App& app, Context& context) {
    auto* exclusions = app.add_subcommand("exclusions", "Show or edit the paths that cleaning must never touch");
    exclusions->require_subcommand(1);

    auto* list = exclusions->add_subcommand("list", "Show your exclusions, the administrator's, and their canonical form");
    list->callback([&context] { printLists(ExclusionStore::shared(), context); });

    auto added = std::make_shared<std::vector<std::string>>();
    auto* add = exclusions->add_subcommand("add", "Add paths to your exclusions (relative paths are made absolute)");
    add->add_option("PATH", *added, "Paths to exclude")->required();
    add->callback([added, &context] { runAdd(*added, context); });

    auto removed = std::make_shared<std::vector<std::string>>();
    auto* remove = exclusions->add_subcommand("remove", "Remove paths from your exclusions");
    remove->add_option("PATH", *removed, "Paths as stored, or any spelling of the same place")->required();
    remove->callback([removed, &context] { runRemove(*removed, context); });
}

}  // namespace vornelo::cli
