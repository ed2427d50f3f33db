// preview PATH... and clean PATH...: candidates become a plan (sized, protected and missing items
// set apart), which clean then executes into the Trash after asking.

#include "CLI/EngineOutput.h"
#include "CLI/Context.h"
#include "CLI/ScanCleanup.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ExclusionStore.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Processes/InterruptSignals.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <iostream>
#include <memory>
#include <unordered_set>

namespace vornelo::cli {

namespace {

using Deleter = SafeFileDeleter;
using platform::FileManager;

struct CleanOptions {
    std::vector<std::string> paths;
    std::string category = "cache";
    std::string mode = "trash";
    bool dryRun = false;
    bool yes = false;
};

// The candidates made absolute and standardised, repeats dropped; nothing on bad input.
std::optional<std::vector<std::filesystem::path>> candidates(const std::vector<std::string>& paths, Context& context) {
    std::vector<std::filesystem::path> urls;
    std::unordered_set<std::string> seen;
    std::optional<std::string> current;  // asked once, not once per relative path
    for (const auto& path : paths) {
        if (path.empty()) {
            printError("An empty path cannot be cleaned.");
            context.noteFailure(ExitCode::badUsage);
            return std::nullopt;
        }
        if (path.front() != '/' && !current) current = FileManager::absoluteStandardizedPath(".");
        auto url = FileManager::absoluteStandardizedPath(path.front() == '/' ? path : FileManager::joinedPath(*current, path));
        if (seen.insert(url).second) urls.emplace_back(std::move(url));
    }
    return urls;
}

std::optional<Deleter::Category> parseCategory(const std::string& text, Context& context) {
    if (const auto category = fromRawValue<Deleter::Category>(text)) return category;
    std::string names;
    for (const auto category : Deleter::allCategories) names += (names.empty() ? "" : ", ") + std::string(rawValue(category));
    printError("\u201C" + text + "\u201D is not a category; use one of " + names + ".");
    context.noteFailure(ExitCode::badUsage);
    return std::nullopt;
}

// With exclusions that read as empty, the plan could hold what the user excluded.
std::optional<std::string> exclusionsProblem() { return ExclusionStore::shared().readProblem(); }

struct Planned {
    Deleter::Plan plan;
    ScanCoverage coverage;
    bool cancelled = false;
};

// Sizes the candidates one at a time on a terminal, so that the line can say which one.
Planned buildPlan(const std::vector<std::filesystem::path>& urls, Deleter::Category category, bool showProgress) {
    const auto& deleter = Deleter::shared();
    const platform::InterruptSignals interrupts;
    ScanCoverageRecorder coverage;
    StatusLine line(showProgress);
    const std::size_t batch = showProgress ? 1 : std::max<std::size_t>(urls.size(), 1);
    std::vector<Deleter::Plan> parts;
    for (std::size_t start = 0; start < urls.size() && !interrupts.interrupted(); start += batch) {
        const auto count = std::min(batch, urls.size() - start);
        line.show("Sizing " + std::to_string(start + 1) + " of " + std::to_string(urls.size()) + ": " +
                  urls[start].native());
        parts.push_back(deleter.preview(std::span(urls).subspan(start, count), category, &coverage, interrupts.token()));
    }
    line.clear();
    return Planned{Deleter::Plan::merged(parts), coverage.snapshot(), interrupts.interrupted()};
}

void runPreview(const CleanOptions& options, Context& context) {
    const auto category = parseCategory(options.category, context);
    const auto urls = candidates(options.paths, context);
    if (!category || !urls) return;
    if (const auto problem = exclusionsProblem()) {
        printError("This plan may hold what you excluded, because your exclusions cannot be read: " + *problem + ".");
        context.noteFailure();
    }
    const auto planned = buildPlan(*urls, *category, !context.json && stdoutIsTerminal());
    if (planned.cancelled || planned.coverage.unavailableCount() > 0 || !unreachableItems(planned.plan).empty()) context.noteFailure();
    if (context.json) {
        printJson({{"plan", planJson(planned.plan, std::nullopt)},
                   {"coverage", coverageJson(planned.coverage)},
                   {"cancelled", planned.cancelled}});
        return;
    }
    printPlan(planned.plan, std::nullopt, planned.coverage);
    if (planned.cancelled) std::cout << "Cancelled: the plan above holds only the paths sized before the stop.\n";
}

// Asks on the terminal; false when declined. Nothing when no one can be asked.
std::optional<bool> confirm(const Deleter::Plan& plan, Deleter::Mode mode, Context& context) {
    if (::isatty(STDIN_FILENO) != 1) {
        printError("Standard input is not a terminal, so there is no one to confirm the cleanup: pass --yes to "
                   "clean without asking.");
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    std::int64_t permanent = 0;
    for (const auto& item : plan.items()) {
        if (goesForGood(item, mode)) ++permanent;
    }
    const auto trashed = static_cast<std::int64_t>(plan.items().size()) - permanent;
    std::string question;
    if (trashed > 0) question = "Move " + countText(trashed, "item") + " to the Trash";
    if (permanent > 0) {
        question += (question.empty() ? "Remove " : " and remove ") + countText(permanent, "item") +
                    " inside the Trash for good";
    }
    std::cerr << question << " (" << ByteSizeFormatter::format(plan.totalReclaimable()) << ")? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

Deleter::ExecutionResult executePlan(const Deleter::Plan& plan, Deleter::Mode mode, bool dryRun, const Uuid& session,
                                     bool showProgress, bool& logWritten) {
    auto& deleter = Deleter::shared();
    const platform::InterruptSignals interrupts;
    StatusLine line(showProgress);
    // Bytes done so far, by the number of items handled.
    std::vector<std::int64_t> bytesBefore{0};
    for (const auto& item : plan.items()) bytesBefore.push_back(checkedAdd(bytesBefore.back(), item.sizeBytes()));
    const auto total = ByteSizeFormatter::format(plan.totalReclaimable());
    const auto progress = [&](const Deleter::Progress& report) {
        if (report.currentPath.empty()) return;
        const auto done = static_cast<std::size_t>(report.completed);
        line.show(progressBar(report.completed, report.total) + " " + std::to_string(report.completed) + "/" +
                  std::to_string(report.total) + "  " + ByteSizeFormatter::format(bytesBefore[done]) + " of " + total +
                  "  " + report.currentPath);
    };
    auto result = deleter.execute(plan, mode, dryRun, "clean", session, progress,
                                  [&interrupts] { return interrupts.interrupted(); }, interrupts.token());
    line.clear();
    // Everything the run logged is on disk before the command reports and exits.
    logWritten = deleter.opLog().flush();
    return result;
}

void runClean(const CleanOptions& options, Context& context) {
    const auto category = parseCategory(options.category, context);
    const auto mode = fromRawValue<Deleter::Mode>(options.mode);
    if (!mode) {
        printError("\u201C" + options.mode + "\u201D is not a mode; use trash or permanent.");
        context.noteFailure(ExitCode::badUsage);
    }
    const auto urls = candidates(options.paths, context);
    if (!category || !mode || !urls) return;
    if (const auto problem = exclusionsProblem()) {
        printError("Nothing was cleaned, because your exclusions cannot be read and cleaning could touch what you "
                   "excluded: " + *problem + ".");
        context.noteFailure();
        return;
    }
    const bool showProgress = !context.json && stdoutIsTerminal();
    const auto planned = buildPlan(*urls, *category, showProgress);
    // An item that is there but could not be reached is not cleaned: a failure, not a success.
    if (!unreachableItems(planned.plan).empty()) context.noteFailure();
    if (!context.json) printPlan(planned.plan, *mode, planned.coverage);
    if (planned.cancelled) {
        context.noteFailure();
        if (context.json) {
            printJson({{"plan", planJson(planned.plan, *mode)}, {"coverage", coverageJson(planned.coverage)},
                       {"cancelled", true}, {"result", nullptr}});
        } else {
            std::cout << "Cancelled while building the plan: nothing was changed.\n";
        }
        return;
    }
    if (!options.yes && !options.dryRun && !planned.plan.items().empty()) {
        const auto confirmed = confirm(planned.plan, *mode, context);
        if (!confirmed) return;
        if (!*confirmed) {
            if (context.json) {
                printJson({{"plan", planJson(planned.plan, *mode)}, {"confirmed", false}, {"result", nullptr}});
            } else {
                std::cout << "Nothing was changed.\n";
            }
            return;
        }
    }
    const Uuid session;
    bool logWritten = true;
    const auto result = executePlan(planned.plan, *mode, options.dryRun, session, showProgress, logWritten);
    if (result.failed > 0 || result.cancelled) context.noteFailure();
    if (!logWritten) {
        printError("The operation log " + Deleter::shared().opLog().fileURL().native() +
                   " could not be written, so this cleanup cannot be put back with restore.");
        context.noteFailure();
    }
    if (context.json) {
        printJson({{"sessionID", session.uuidString()},
                   {"plan", planJson(planned.plan, *mode)},
                   {"coverage", coverageJson(planned.coverage)},
                   {"result", resultJson(result)}});
        return;
    }
    // With the log off the entries were dropped, and there is no session to restore.
    printResult(result, planned.plan, Deleter::shared().opLog().enabled() ? std::optional(session) : std::nullopt,
                logWritten);
}

void addPathOptions(CLI::App& command, CleanOptions& options) {
    command.add_option("--category", options.category,
                       "What kind of finding the paths are (default cache): cache, log, trash, leftover, artifact, app, "
                       "installer, duplicate or largeFile. Items of category trash that lie inside a Trash are "
                       "removed for good");
    command.add_option("PATH", options.paths, "Files or folders to clean")->required();
}

}  // namespace

void addCleanCommands(CLI::App& app, Context& context) {
    auto previewOptions = std::make_shared<CleanOptions>();
    auto* preview = app.add_subcommand(
        "preview", "Show what cleaning the paths would do: each item with its size, the protected items with the "
                   "reason, the missing items and the total. Changes nothing");
    addPathOptions(*preview, *previewOptions);
    preview->footer("Exit code 1 when part of an item could not be read (its size is then too small) or on Ctrl-C.");
    preview->callback([previewOptions, &context] { runPreview(*previewOptions, context); });

    auto cleanOptions = std::make_shared<CleanOptions>();
    auto* clean = app.add_subcommand(
        "clean", "Move the paths to the Trash after showing the plan and asking. Protected paths are never touched; "
                 "only items already inside a Trash are removed for good. Every item is written to the operation log, "
                 "and the run can be undone with restore");
    addPathOptions(*clean, *cleanOptions);
    addFromScanOption(*clean);
    clean->add_option("--mode", cleanOptions->mode,
                      "trash (the default) or permanent; permanent removes for good only what already lies inside a "
                      "Trash, and moves everything else to the Trash");
    clean->add_flag("--dry-run", cleanOptions->dryRun, "Rehearse: log what would happen, touch nothing");
    clean->add_flag("--yes,-y", cleanOptions->yes, "Do not ask before cleaning (needed when input is not a terminal)");
    clean->footer("Ctrl-C stops before the next item; the run is then reported as cancelled. Exit code 1 when an "
                  "item failed or the run was cancelled, 2 for bad usage (including a question that cannot be asked).");
    clean->callback([cleanOptions, clean, &context] {
        if (cleanFromScan(*clean, context, {confirm, executePlan})) return;
        runClean(*cleanOptions, context);
    });
}

}  // namespace vornelo::cli
