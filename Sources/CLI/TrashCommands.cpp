// trash list | empty | restore: every Trash the user has, whoever filled it, through the same
// engine as clean and restore.

#include "CLI/Confirm.h"
#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/Concurrency/ConcurrentPerform.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Platform/Trash/TrashContents.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

using Deleter = SafeFileDeleter;
using platform::TrashContents;

std::vector<TrashContents::Item> trashedItems() {
    return TrashContents::list(platform::FileManager::defaultManager().homeDirectoryForCurrentUser(), ::geteuid());
}

nlohmann::json itemJson(const TrashContents::Item& item, std::optional<std::int64_t> size) {
    nlohmann::json object{{"originalPath", item.originalPath},
                          {"trashedPath", item.trashedPath.native()},
                          {"trashFolder", item.trashFolder},
                          {"name", item.name},
                          {"deletionDate", item.deletionDate ? nlohmann::json(platform::Iso8601::format(*item.deletionDate)) : nullptr},
                          {"sessionID", item.session.empty() ? nlohmann::json(nullptr) : nlohmann::json(item.session)}};
    if (size) object["sizeBytes"] = *size;
    return object;
}

void runList(Context& context) {
    const auto items = trashedItems();
    const platform::InterruptSignals interrupts;
    std::vector<std::int64_t> sizes(items.size(), 0);
    const auto& deleter = Deleter::shared();
    // Sizes are the slow part; they are measured side by side, and Ctrl-C stops them.
    platform::concurrentPerform(items.size(), [&](std::size_t index) {
        sizes[index] = deleter.directorySize(items[index].trashedPath, nullptr, interrupts.token());
    });
    if (interrupts.interrupted()) context.noteFailure();
    if (context.json) {
        auto list = nlohmann::json::array();
        for (std::size_t index = 0; index < items.size(); ++index) list.push_back(itemJson(items[index], sizes[index]));
        printJson({{"items", list}, {"cancelled", interrupts.interrupted()}});
        return;
    }
    if (items.empty()) {
        std::cout << "The Trash is empty.\n";
        return;
    }
    std::int64_t total = 0;
    for (std::size_t index = 0; index < items.size(); ++index) {
        const auto& item = items[index];
        total = checkedAdd(total, sizes[index]);
        const auto size = ByteSizeFormatter::format(sizes[index]);
        std::cout << (item.deletionDate ? localTime(*item.deletionDate) : std::string("(date unknown)     ")) << "  "
                  << std::string(size.size() < 9 ? 9 - size.size() : 0, ' ') << size << "  " << displayed(item.originalPath) << '\n';
    }
    std::cout << countText(static_cast<std::int64_t>(items.size()), "item") << ", " << ByteSizeFormatter::format(total)
              << " in all.\n";
    if (interrupts.interrupted()) std::cout << "Cancelled: the sizes above are what was measured before the stop.\n";
}

struct EmptyOptions {
    std::optional<std::int64_t> olderThanDays;
    bool dryRun = false;
    bool yes = false;
};

void runEmpty(const EmptyOptions& options, Context& context) {
    if (options.olderThanDays && *options.olderThanDays < 0) {
        printError("The number of days must be 0 or more, not " + std::to_string(*options.olderThanDays) + ".");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    std::vector<std::filesystem::path> urls;
    for (const auto& item : trashedItems()) {
        // An item whose deletion date cannot be read is never taken for an old one.
        if (options.olderThanDays &&
            (!item.deletionDate || *item.deletionDate > now - std::chrono::days(*options.olderThanDays))) {
            continue;
        }
        urls.push_back(item.trashedPath);
    }
    auto& deleter = Deleter::shared();
    const bool showProgress = !context.json && stdoutIsTerminal();
    const platform::InterruptSignals interrupts;
    ScanCoverageRecorder coverage;
    const auto plan = deleter.preview(urls, Deleter::Category::trash, &coverage, interrupts.token());
    if (interrupts.interrupted()) {
        context.noteFailure();
        if (context.json) {
            printJson({{"plan", planJson(plan, Deleter::Mode::permanent)}, {"cancelled", true}, {"result", nullptr}});
        } else {
            std::cout << "Cancelled while measuring the Trash: nothing was removed.\n";
        }
        return;
    }
    if (plan.items().empty()) {
        if (context.json) {
            printJson({{"plan", planJson(plan, Deleter::Mode::permanent)}, {"result", nullptr}});
        } else {
            std::cout << (options.olderThanDays ? "Nothing in the Trash was deleted more than " +
                                                      countText(*options.olderThanDays, "day") + " ago.\n"
                                                : std::string("The Trash is empty.\n"));
        }
        return;
    }
    const auto count = countText(static_cast<std::int64_t>(plan.items().size()), "item");
    const auto size = ByteSizeFormatter::format(plan.totalReclaimable());
    if (!options.yes && !options.dryRun) {
        const auto confirmed = askOnTerminal(
            "Remove " + count + " in the Trash for good (" + size + ")? They cannot be put back.",
            "Standard input is not a terminal, so there is no one to confirm emptying the Trash: pass --yes to "
            "empty it without asking.",
            context);
        if (!confirmed) return;
        if (!*confirmed) {
            if (context.json) {
                printJson({{"plan", planJson(plan, Deleter::Mode::permanent)}, {"confirmed", false}, {"result", nullptr}});
            } else {
                std::cout << "Nothing was removed.\n";
            }
            return;
        }
    }
    const Uuid session;
    StatusLine line(showProgress);
    const auto progress = [&](const Deleter::Progress& report) {
        if (report.currentPath.empty()) return;
        line.show(progressBar(report.completed, report.total) + " " + std::to_string(report.completed) + "/" +
                  std::to_string(report.total) + "  " + report.currentPath);
    };
    const auto result = deleter.execute(plan, Deleter::Mode::permanent, options.dryRun, "emptyTrash", session, progress,
                                        [&interrupts] { return interrupts.interrupted(); }, interrupts.token());
    line.clear();
    const bool logWritten = deleter.opLog().flush();
    if (result.failed > 0 || result.cancelled) context.noteFailure();
    if (!logWritten) {
        printError("The operation log " + deleter.opLog().fileURL().native() +
                   " could not be written, so this removal is not recorded in it.");
        context.noteFailure();
    }
    if (context.json) {
        printJson({{"sessionID", session.uuidString()}, {"plan", planJson(plan, Deleter::Mode::permanent)},
                   {"result", resultJson(result)}});
        return;
    }
    printResult(result, plan, std::nullopt, logWritten);
    if (!options.dryRun && deleter.opLog().enabled() && logWritten) {
        std::cout << "Logged as session " << session.uuidString() << ".\n";
    }
}

// The items `word` names: by original path, by place in the Trash, or by name in it.
std::vector<TrashContents::Item> named(const std::vector<TrashContents::Item>& items, const std::string& word) {
    const auto absolute = platform::FileManager::absoluteStandardizedPath(word);
    std::vector<TrashContents::Item> found;
    for (const auto& item : items) {
        if (item.originalPath == absolute || item.trashedPath.native() == absolute) found.push_back(item);
    }
    if (!found.empty() || word.find('/') != std::string::npos) return found;
    for (const auto& item : items) {
        if (item.name == word) found.push_back(item);
    }
    return found;
}

void runRestore(const std::vector<std::string>& words, Context& context) {
    const auto items = trashedItems();
    const auto& deleter = Deleter::shared();
    const platform::InterruptSignals interrupts;
    auto results = nlohmann::json::array();
    for (const auto& word : words) {
        if (interrupts.interrupted()) break;
        const auto found = named(items, word);
        nlohmann::json outcome{{"argument", word}, {"restored", false}};
        if (found.size() != 1) {
            if (found.empty()) {
                printError("Nothing in the Trash was at \u201C" + word + "\u201D or is called so; `vornelo-cli trash list` lists what is there.");
                context.noteFailure();
            } else {
                std::string candidates;
                for (const auto& item : found) {
                    candidates += "\n  " + displayed(item.trashedPath.native()) + "  deleted " +
                                  (item.deletionDate ? localTime(*item.deletionDate) : std::string("at an unknown time"));
                }
                printError("\u201C" + word + "\u201D names " + std::to_string(found.size()) +
                           " items in the Trash; give the place in the Trash of the one to put back:" + candidates);
                context.noteFailure(ExitCode::badUsage);
            }
            outcome["message"] = found.empty() ? "Not in the Trash." : "Names several items in the Trash.";
            results.push_back(outcome);
            continue;
        }
        const auto& item = found.front();
        outcome["originalPath"] = item.originalPath;
        outcome["trashedPath"] = item.trashedPath.native();
        try {
            // The file number read when listing: what lies there by the time of the move must be that file.
            deleter.putBack(item.trashedPath, item.originalPath, item.fileNumber, Uuid::fromString(item.session),
                            interrupts.token());
            outcome["restored"] = true;
            outcome["message"] = "Restored";
            if (!context.json) std::cout << "Restored  " << displayed(item.originalPath) << '\n';
        } catch (const std::exception& error) {
            outcome["message"] = error.what();
            context.noteFailure();
            if (!context.json) std::cout << "Not restored  " << displayed(item.originalPath) << ": " << displayed(error.what()) << '\n';
        }
        results.push_back(outcome);
    }
    if (!deleter.opLog().flush()) {
        printError("The operation log " + deleter.opLog().fileURL().native() + " could not be written, so what was put back is not recorded in it.");
        context.noteFailure();
    }
    if (interrupts.interrupted() && results.size() < words.size()) {
        context.noteFailure();
        if (!context.json) std::cout << "Cancelled: the items after the last one shown were left in the Trash.\n";
    }
    if (context.json) printJson({{"results", results}, {"cancelled", interrupts.interrupted()}});
}

}  // namespace

void addTrashCommands(CLI::App& app, Context& context) {
    auto* trash = app.add_subcommand("trash", "List, empty or put back items of every Trash you have, whoever put them there");
    trash->require_subcommand(1);

    trash->add_subcommand("list", "Every item in your Trash folders (the home Trash and those at the top of other file "
                                  "systems): deletion date in local time, size and original path")
        ->callback([&context] { runList(context); });

    auto options = std::make_shared<EmptyOptions>();
    auto* empty = trash->add_subcommand(
        "empty", "Remove the items of your Trash folders for good, after asking. Logged like every removal, so log and "
                 "sessions show it");
    empty->add_option("--older-than", options->olderThanDays, "Only items deleted more than DAYS days ago")->type_name("DAYS");
    empty->add_flag("--dry-run", options->dryRun, "Rehearse: log what would happen, touch nothing");
    empty->add_flag("--yes,-y", options->yes, "Do not ask (needed when input is not a terminal)");
    empty->footer("Ctrl-C stops within a second, also inside a large folder; what went and what is left are reported. "
                  "Exit code 1 when an item could not be removed or the run was cancelled, 2 for bad usage.");
    empty->callback([options, &context] { runEmpty(*options, context); });

    auto words = std::make_shared<std::vector<std::string>>();
    auto* restore = trash->add_subcommand(
        "restore", "Put items back where they were, by original path, by place in the Trash or by name there. Only "
                   "the very file listed goes back, and nothing is ever replaced");
    restore->add_option("PATH", *words, "An item's original path, its place in the Trash, or its name there")->required();
    restore->footer("Exit code 1 when an item was not put back (its place is taken, it is not in the Trash), 2 when a "
                    "path names several items.");
    restore->callback([words, &context] { runRestore(*words, context); });
}

}  // namespace vornelo::cli
