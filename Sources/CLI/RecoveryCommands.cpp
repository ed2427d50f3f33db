// sessions and restore: past cleanup runs from the operation log, and putting a run's trashed
// items back.

#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "Core/CleanupSession.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Trash/Trash.h"
#include "Platform/Processes/InterruptSignals.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

using Outcome = OperationLog::Outcome;

struct SessionCounts {
    std::int64_t trashed = 0;
    std::int64_t removed = 0;
    std::int64_t failed = 0;
    std::int64_t skipped = 0;
    std::int64_t unlogged = 0;  // of the trashed: found by their Trash records alone
};

// The log's sessions, with what the user's Trash records of runs whose lines never came.
std::vector<CleanupSession> allSessions() {
    const auto& files = platform::FileManager::defaultManager();
    return CleanupRecovery::withTrashRecords(OperationLog::shared().cleanupSessions(OperationLog::unlimited),
                                             platform::Trash::sessionRecords(files.homeDirectoryForCurrentUser(), ::geteuid()));
}

SessionCounts countsOf(const CleanupSession& session) {
    SessionCounts counts;
    for (const auto& entry : session.entries()) {
        if (entry.detail() == CleanupRecovery::unloggedDetail) ++counts.unlogged;
        switch (entry.outcome()) {
            case Outcome::success:
                ++(entry.mode() == OperationLog::Mode::trash ? counts.trashed : counts.removed);
                break;
            case Outcome::failed: ++counts.failed; break;
            case Outcome::skipped: ++counts.skipped; break;
            case Outcome::dryRun: break;  // never part of a session
        }
    }
    return counts;
}

nlohmann::json sessionJson(const CleanupSession& session) {
    const auto counts = countsOf(session);
    return {{"id", session.id().uuidString()},
            {"date", platform::Iso8601::format(session.date())},
            {"action", session.action()},
            {"itemCount", session.entries().size()},
            {"trashed", counts.trashed},
            {"removed", counts.removed},
            {"failed", counts.failed},
            {"skipped", counts.skipped},
            {"unlogged", counts.unlogged}};
}

void runSessions(std::int64_t limit, Context& context) {
    if (limit < 0) {
        printError("The number of sessions must be 0 or more, not " + std::to_string(limit) + ".");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    auto sessions = limit > 0 ? allSessions() : std::vector<CleanupSession>{};
    if (static_cast<std::uint64_t>(limit) < sessions.size()) sessions.erase(sessions.begin() + limit, sessions.end());
    if (context.json) {
        auto list = nlohmann::json::array();
        for (const auto& session : sessions) list.push_back(sessionJson(session));
        printJson(list);
        return;
    }
    if (sessions.empty()) {
        if (limit > 0) std::cout << "The operation log holds no cleanup sessions.\n";
        return;
    }
    for (const auto& session : sessions) {
        const auto counts = countsOf(session);
        std::cout << session.id().uuidString() << "  " << localTime(session.date()) << "  "
                  << displayed(session.action()) << "  " << countText(static_cast<std::int64_t>(session.entries().size()), "item")
                  << ": " << counts.trashed << " trashed, " << counts.removed << " removed for good, " << counts.failed
                  << " failed, " << counts.skipped << " skipped";
        if (counts.unlogged > 0) std::cout << " (" << counts.unlogged << " of the trashed found in the Trash, not in the log)";
        std::cout << '\n';
    }
}

std::optional<CleanupSession> findSession(const std::string& text, Context& context) {
    const auto id = Uuid::fromString(text);
    if (!id) {
        printError("\u201C" + text + "\u201D is not a session identifier; `vornelo-cli sessions` lists them.");
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    for (auto& session : allSessions()) {
        if (session.id() == *id) return std::move(session);
    }
    printError("Neither the operation log nor the Trash holds a cleanup session " + id->uuidString() + ".");
    context.noteFailure(ExitCode::badUsage);
    return std::nullopt;
}

nlohmann::json itemJson(const CleanupRecovery::Item& item) {
    return {{"id", item.id()},
            {"entry", entryJson(item.entry)},
            {"isAvailable", item.isAvailable()},
            {"unavailableReason", item.unavailableReason ? nlohmann::json(*item.unavailableReason) : nullptr}};
}

nlohmann::json resultJson(const CleanupRecovery::Result& result) {
    return {{"id", result.id}, {"path", result.path}, {"restored", result.restored}, {"message", result.message}};
}

void printItems(const std::vector<CleanupRecovery::Item>& items) {
    std::int64_t available = 0;
    for (const auto& item : items) {
        if (item.isAvailable()) ++available;
    }
    std::cout << available << " of " << countText(static_cast<std::int64_t>(items.size()), "item")
              << " can be put back:\n";
    for (const auto& item : items) {
        std::cout << (item.isAvailable() ? "  available    " : "  unavailable  ") << displayed(item.entry.path()) << '\n';
        if (item.isAvailable() && item.entry.trashedPath()) {
            std::cout << "    in the Trash at " << displayed(*item.entry.trashedPath()) << '\n';
        }
        if (item.unavailableReason) std::cout << "    " << *item.unavailableReason << '\n';
    }
}

// The items restore will try: available ones (which always carry a Trash path and file number).
std::size_t attemptable(const std::vector<CleanupRecovery::Item>& items) {
    return static_cast<std::size_t>(std::ranges::count_if(items, [](const auto& item) {
        return item.isAvailable() && item.entry.trashedPath() && item.entry.trashedFileNumber();
    }));
}

void runRestore(const std::string& sessionText, bool dryRun, Context& context) {
    const auto session = findSession(sessionText, context);
    if (!session) return;
    auto& deleter = SafeFileDeleter::shared();
    const auto items = CleanupRecovery::preview(*session, deleter);
    if (!context.json) printItems(items);

    std::vector<CleanupRecovery::Result> results;
    bool cancelled = false;
    if (!dryRun) {
        const platform::InterruptSignals interrupts;
        results = CleanupRecovery::restore(items, deleter, interrupts.token()).get();
        // A Ctrl-C after the last item stopped nothing.
        cancelled = interrupts.interrupted() && results.size() < attemptable(items);
        if (!deleter.opLog().flush()) {
            printError("The operation log " + deleter.opLog().fileURL().native() +
                       " could not be written, so what was put back is not recorded in it.");
            context.noteFailure();
        }
    }
    // Whatever the run moved to the Trash and is not back where it was now is a failure.
    std::vector<std::string> notBack;
    for (const auto& item : items) {
        const bool back = item.unavailableReason == CleanupRecovery::backInPlaceReason;
        if (!dryRun && CleanupRecovery::wentToTrash(item.entry) && !item.isAvailable() && !back) notBack.push_back(item.entry.path());
    }
    for (const auto& result : results) {
        if (!result.restored) notBack.push_back(result.path);
    }
    if (!notBack.empty() || cancelled) context.noteFailure();

    if (context.json) {
        auto itemList = nlohmann::json::array();
        for (const auto& item : items) itemList.push_back(itemJson(item));
        auto resultList = nlohmann::json::array();
        for (const auto& result : results) resultList.push_back(resultJson(result));
        auto document = sessionJson(*session);
        document["items"] = itemList;
        document["results"] = resultList;
        document["dryRun"] = dryRun;
        document["cancelled"] = cancelled;
        document["notPutBack"] = notBack;
        printJson(document);
        return;
    }
    if (dryRun) {
        std::cout << "Dry run: nothing was put back.\n";
        return;
    }
    if (results.empty()) std::cout << "Nothing was put back.\n";
    for (const auto& result : results) {
        std::cout << (result.restored ? "Restored  " : "Not restored  ") << displayed(result.path);
        if (!result.restored) std::cout << ": " << displayed(result.message);
        std::cout << '\n';
    }
    if (cancelled) std::cout << "Cancelled: the items after the last one shown were left in the Trash.\n";
    if (!notBack.empty()) {
        std::cout << "Could not put back " << countText(static_cast<std::int64_t>(notBack.size()), "item")
                  << " that this run moved to the Trash:\n";
        for (const auto& path : notBack) std::cout << "  " << displayed(path) << '\n';
    }
}

}  // namespace

void addRecoveryCommands(CLI::App& app, Context& context) {
    auto limit = std::make_shared<std::int64_t>(20);
    auto* sessions = app.add_subcommand(
        "sessions", "List past cleanup runs from the operation log, newest first: identifier, date, action and what "
                    "became of the items, with any item in the Trash whose log line never came");
    sessions->add_option("-n", *limit, "How many sessions (default 20)");
    sessions->callback([limit, &context] { runSessions(*limit, context); });

    auto session = std::make_shared<std::string>();
    auto dryRun = std::make_shared<bool>(false);
    auto* restore = app.add_subcommand(
        "restore", "Put back what a cleanup session moved to the Trash: each item's availability and reason, then "
                   "the result of each put-back. Nothing is ever replaced");
    restore->add_option("SESSION-ID", *session, "The session's identifier, as sessions lists it")->required();
    restore->add_flag("--dry-run", *dryRun, "Only show which items could be put back");
    restore->footer("Items whose log lines never came (the run was cut short) are found by the session their Trash "
                    "records name. Ctrl-C stops before the next item. Exit code 1 when an item the run moved to the "
                    "Trash is not back in its place afterwards (each is named), 2 for bad usage or an unknown session.");
    restore->callback([session, dryRun, &context] { runRestore(*session, *dryRun, context); });
}

}  // namespace vornelo::cli
