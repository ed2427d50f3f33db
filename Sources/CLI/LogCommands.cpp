// log recent | totals | verify | export | clear | enable | disable | status | path: the shared
// operation log, as the application sees it.

#include "CLI/Confirm.h"
#include "CLI/Context.h"
#include "Core/ManagedPolicy.h"
#include "Core/OperationLog.h"
#include "Platform/Files/FileManager.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

namespace vornelo::cli {

nlohmann::json entryJson(const OperationLog::Entry& entry) {
    // The log line's own encoding, so scripts see the same keys and values as the file holds.
    const auto line = OperationLog::encodeLine(entry);
    auto object = line ? nlohmann::json::parse(*line) : nlohmann::json::object();
    object["id"] = entry.id();
    return object;
}

namespace {

using Entry = OperationLog::Entry;

nlohmann::json totalsJson(const OperationLog::Totals& totals) {
    return {{"freedBytes", totals.freedBytes},
            {"trashedBytes", totals.trashedBytes},
            {"legacyProcessedBytes", totals.legacyProcessedBytes},
            {"operations", totals.operations},
            {"lastHash", totals.lastHash ? nlohmann::json(*totals.lastHash) : nlohmann::json(nullptr)},
            {"accountingVersion", totals.accountingVersion}};
}

std::string bytesText(std::int64_t bytes) { return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"); }

void printEntry(const Entry& entry) {
    std::cout << localTime(entry.timestamp()) << "  " << rawValue(entry.outcome())
              << (entry.dryRun() ? " (dry run)" : "") << "  " << displayed(entry.action()) << "  "
              << rawValue(entry.mode()) << "  " << bytesText(entry.sizeBytes()) << "  " << displayed(entry.path()) << '\n';
    if (entry.trashedPath()) std::cout << "    in the Trash at " << displayed(*entry.trashedPath()) << '\n';
    if (entry.detail()) std::cout << "    " << displayed(*entry.detail()) << '\n';
}

void runRecent(std::int64_t limit, Context& context) {
    if (limit < 1) {
        printError("The number of entries must be 1 or more, not " + std::to_string(limit) + ".");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    const auto entries = OperationLog::shared().recent(limit);
    if (context.json) {
        auto list = nlohmann::json::array();
        for (const auto& entry : entries) list.push_back(entryJson(entry));
        printJson(list);
        return;
    }
    if (entries.empty()) {
        std::cout << "The operation log has no entries.\n";
        return;
    }
    for (const auto& entry : entries) printEntry(entry);
}

void runTotals(Context& context) {
    const auto totals = OperationLog::shared().totals();
    if (context.json) {
        printJson(totalsJson(totals));
        return;
    }
    std::cout << "Operations logged: " << totals.operations << '\n'
              << "Freed by permanent removal: " << bytesText(totals.freedBytes) << '\n'
              << "Moved to the Trash: " << bytesText(totals.trashedBytes) << '\n';
    if (totals.legacyProcessedBytes != 0) {
        std::cout << "Processed under the earlier accounting: " << bytesText(totals.legacyProcessedBytes) << '\n';
    }
    std::cout << "Last line hash: " << displayed(totals.lastHash.value_or("(none)")) << '\n';
}

void runVerify(Context& context) {
    auto& log = OperationLog::shared();
    const auto status = log.verifyChain();
    if (!status.isIntact()) context.noteFailure();
    if (context.json) {
        printJson({{"verified", status.verified},
                   {"unchained", status.unchained},
                   {"firstBrokenLine", status.firstBrokenLine ? nlohmann::json(*status.firstBrokenLine) : nlohmann::json(nullptr)},
                   {"changedLine", status.changedLine ? nlohmann::json(*status.changedLine) : nlohmann::json(nullptr)},
                   {"truncated", status.truncated},
                   {"pendingLines", status.pendingLines},
                   {"unaccountedLines", status.unaccountedLines},
                   {"isIntact", status.isIntact()},
                   {"logPath", log.fileURL().native()}});
        return;
    }
    std::cout << status.verified << (status.verified == 1 ? " link" : " links") << " verified, " << status.unchained
              << (status.unchained == 1 ? " line" : " lines") << " without a link to check.\n";
    if (status.firstBrokenLine) {
        const auto broken = *status.firstBrokenLine;
        const auto file = displayed(log.fileURL().native());
        if (status.changedLine == broken) {
            std::cout << "The log was altered: line " << broken << " of " << file << " was changed.\n";
        } else if (status.changedLine) {
            std::cout << "The log was altered: line " << *status.changedLine << " of " << file << " was changed, as line "
                      << broken << ", which is intact, no longer links to it.\n";
        } else {
            std::cout << "The log was altered: line " << broken << " of " << file << " or the one before it was changed.\n";
        }
    }
    if (status.truncated) std::cout << "Lines are missing from the start or the end of the log.\n";
    if (status.unaccountedLines > 0) {
        std::cout << status.unaccountedLines << (status.unaccountedLines == 1 ? " line" : " lines")
                  << " after the last line the totals count were not written by Vornelo.\n";
    }
    if (status.pendingLines > 0) {
        std::cout << status.pendingLines << (status.pendingLines == 1 ? " line" : " lines")
                  << " after the last line the totals count are not counted yet: a cleanup is still writing, or "
                     "one ended before it could count them.\n";
    }
    if (status.isIntact()) std::cout << "The log is intact.\n";
}

void runExport(const std::string& format, const std::string& destination, Context& context) {
    const auto chosen = fromRawValue<OperationLog::ExportFormat>(format);
    if (!chosen) {
        printError("\u201C" + format + "\u201D is not an export format; use jsonl or csv.");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    const bool toStandardOutput = destination == OperationLog::standardOutput;
    if (toStandardOutput && context.json) {
        printError("--json cannot be given with -: the export itself goes to standard output.");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    const auto path = toStandardOutput ? destination : platform::FileManager::absoluteStandardizedPath(destination);
    try {
        const auto count = OperationLog::shared().exportTo(path, *chosen);
        if (toStandardOutput) return;  // standard output holds the export and nothing else
        if (context.json) {
            printJson({{"exported", count}, {"format", format}, {"path", path}});
        } else {
            std::cout << "Exported " << count << (count == 1 ? " entry" : " entries") << " to " << displayed(path) << ".\n";
        }
    } catch (const OperationLog::ExportError& error) {
        printError("Could not export the operation log to " + path + ": " + error.description());
        context.noteFailure();
    }
}

void runClear(bool yes, Context& context) {
    auto& log = OperationLog::shared();
    // A forced log is kept whatever the answer, so there is nothing to ask.
    if (!yes && !log.isForced()) {
        const auto confirmed = askOnTerminal(
            "Delete the operation log " + displayed(log.fileURL().native()) +
                ", its rotated files and its totals? The record of every past cleanup goes with them.",
            "Standard input is not a terminal, so there is no one to confirm clearing the operation log: pass --yes "
            "to clear it without asking.",
            context);
        if (!confirmed) return;
        if (!*confirmed) {
            if (context.json) {
                printJson({{"cleared", false}, {"confirmed", false}, {"logPath", log.fileURL().native()}});
            } else {
                std::cout << "The operation log was kept.\n";
            }
            return;
        }
    }
    const bool cleared = log.clear();
    if (!cleared) {
        printError("Your administrator forces the operation log on, so it was kept.");
        context.noteFailure();
    }
    if (context.json) {
        printJson({{"cleared", cleared}, {"logPath", log.fileURL().native()}});
    } else if (cleared) {
        std::cout << "The operation log and its totals were removed.\n";
    }
}

void printStatus(const OperationLog& log, Context& context) {
    const bool forced = log.isForced();
    const bool enabled = log.enabled();
    if (context.json) {
        printJson({{"enabled", enabled},
                   {"storedEnabled", log.storedEnabled()},
                   {"forced", forced},
                   {"logPath", log.fileURL().native()},
                   {"totalsPath", log.totalsURL().native()}});
        return;
    }
    std::cout << "Operation logging is " << (enabled ? "on" : "off");
    if (forced) {
        std::cout << ": your administrator forces it on" << (log.storedEnabled() ? "" : " (your own choice is off)");
    }
    std::cout << ".\nLog file: " << displayed(log.fileURL().native()) << '\n';
}

void runSwitch(bool value, Context& context) {
    auto& log = OperationLog::shared();
    if (!log.setEnabled(value)) {
        printError("Could not save the setting to " + AppDefaults::store()->locations().userFile.native() + ".");
        context.noteFailure();
    }
    printStatus(log, context);
}

void runPath(Context& context) {
    const auto& log = OperationLog::shared();
    if (context.json) {
        auto rotated = nlohmann::json::array();
        for (int number = 1; number <= OperationLog::rotatedFilesKept; ++number) {
            rotated.push_back(log.rotatedURL(number).native());
        }
        printJson({{"logPath", log.fileURL().native()}, {"totalsPath", log.totalsURL().native()}, {"rotatedPaths", rotated}});
        return;
    }
    std::cout << log.fileURL().native() << '\n';
}

}  // namespace

void addLogCommands(CLI::App& app, Context& context) {
    auto* log = app.add_subcommand("log", "Read, verify, export or clear the operation log, or switch it on or off");
    log->require_subcommand(1);

    auto limit = std::make_shared<std::int64_t>(20);
    auto* recent = log->add_subcommand("recent", "Show the newest entries, newest first");
    recent->add_option("-n", *limit, "How many entries, 1 or more (default 20)");
    recent->callback([limit, &context] { runRecent(*limit, context); });

    log->add_subcommand("totals", "Show the running totals of everything logged")->callback([&context] { runTotals(context); });

    log->add_subcommand("verify", "Check the hash chain of the log (exit code 1 when it is not intact)")
        ->callback([&context] { runVerify(context); });

    auto format = std::make_shared<std::string>("jsonl");
    auto destination = std::make_shared<std::string>();
    auto* exporter = log->add_subcommand("export", "Write every retained entry to FILE, or to standard output for -. A "
                                                   "file there is replaced as a whole; a terminal, device or FIFO is "
                                                   "written into; a symbolic link is never replaced");
    exporter->add_option("--format", *format, "jsonl (one log line per entry, the default) or csv");
    exporter->add_option("FILE", *destination, "Where to write the export (- for standard output)")->required();
    exporter->callback([format, destination, &context] { runExport(*format, *destination, context); });

    auto yes = std::make_shared<bool>(false);
    auto* clear = log->add_subcommand("clear", "Delete the log, its rotated files and its totals, after asking");
    clear->add_flag("--yes,-y", *yes, "Do not ask (needed when input is not a terminal)");
    clear->footer("Exit code 2 when standard input is not a terminal and --yes is not given.");
    clear->callback([yes, &context] { runClear(*yes, context); });
    log->add_subcommand("enable", "Switch logging on (saved in your settings)")->callback([&context] { runSwitch(true, context); });
    log->add_subcommand("disable", "Switch logging off (an administrator may force it on)")
        ->callback([&context] { runSwitch(false, context); });
    log->add_subcommand("status", "Show whether logging is on, and why")
        ->callback([&context] { printStatus(OperationLog::shared(), context); });
    log->add_subcommand("path", "Show where the log is written")->callback([&context] { runPath(context); });
}

}  // namespace vornelo::cli
