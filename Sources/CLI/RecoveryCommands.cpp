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
#include <cctype>
#include <iostream>
#include <memory>
#include <unordered_set>

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

// What became of the items a run moved to the Trash, as the disk shows it now.
struct TrashedFate {
    std::int64_t inTrash = 0;  // there still, whether or not its place is free
    std::int64_t putBack = 0;  // the very file is at its original place again
    std::int64_t gone = 0;     // emptied from the Trash, or replaced there by another item
    std::int64_t unknown = 0;  // the log lacks what it takes to tell

    // The trashed items of `items` (the preview of a session), by their reasons.
    static TrashedFate of(const std::vector<CleanupRecovery::Item>& items) {
        using Kind = SafeFileDeleter::PutBackError::Kind;
        const auto reason = [](Kind kind) { return SafeFileDeleter::PutBackError(kind).description(); };
        TrashedFate fate;
        for (const auto& item : items) {
            if (!CleanupRecovery::wentToTrash(item.entry)) continue;
            const auto& why = item.unavailableReason;
            if (!why || *why == reason(Kind::originalLocationOccupied) || *why == reason(Kind::protectedLocation)) {
                ++fate.inTrash;
            } else if (*why == CleanupRecovery::backInPlaceReason) {
                ++fate.putBack;
            } else if (*why == reason(Kind::noLongerInTrash) || *why == CleanupRecovery::slotReusedReason) {
                ++fate.gone;
            } else {
                ++fate.unknown;
            }
        }
        return fate;
    }
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

nlohmann::json sessionJson(const CleanupSession& session, const TrashedFate& fate) {
    const auto counts = countsOf(session);
    return {{"id", session.id().uuidString()},
            {"inTrash", fate.inTrash},
            {"putBack", fate.putBack},
            {"gone", fate.gone},
            {"fateUnknown", fate.unknown},
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
    std::vector<TrashedFate> fates;
    for (const auto& session : sessions) fates.push_back(TrashedFate::of(CleanupRecovery::preview(session, SafeFileDeleter::shared())));
    if (context.json) {
        auto list = nlohmann::json::array();
        for (std::size_t index = 0; index < sessions.size(); ++index) list.push_back(sessionJson(sessions[index], fates[index]));
        printJson(list);
        return;
    }
    if (sessions.empty()) {
        if (limit > 0) std::cout << "The operation log holds no cleanup sessions.\n";
        return;
    }
    for (std::size_t index = 0; index < sessions.size(); ++index) {
        const auto& session = sessions[index];
        const auto& fate = fates[index];
        const auto counts = countsOf(session);
        std::cout << session.id().uuidString() << "  " << localTime(session.date()) << "  "
                  << displayed(session.action()) << "  " << countText(static_cast<std::int64_t>(session.entries().size()), "item")
                  << ": " << counts.trashed << " trashed, " << counts.removed << " removed for good, " << counts.failed
                  << " failed, " << counts.skipped << " skipped";
        if (counts.unlogged > 0) std::cout << " (" << counts.unlogged << " of the trashed found in the Trash, not in the log)";
        if (counts.trashed > 0) {
            std::cout << "; now " << fate.inTrash << " in the Trash, " << fate.putBack << " put back, " << fate.gone << " gone";
            if (fate.unknown > 0) std::cout << ", " << fate.unknown << " not known";
        }
        std::cout << '\n';
    }
}

std::optional<CleanupSession> badSession(const std::string& sentence, Context& context) {
    printError(sentence);
    context.noteFailure(ExitCode::badUsage);
    return std::nullopt;
}

// A whole identifier, or the start of one that only one session has, in any case.
std::optional<CleanupSession> findSession(const std::string& text, Context& context) {
    const auto id = Uuid::fromString(text);
    std::string prefix = text;
    for (auto& character : prefix) character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    if (!id && (prefix.empty() || prefix.find_first_not_of("0123456789ABCDEF-") != std::string::npos)) {
        return badSession("\u201C" + text + "\u201D is not a session identifier; `vornelo-cli sessions` lists them.", context);
    }
    std::vector<CleanupSession> matching;
    for (auto& session : allSessions()) {
        if (id ? session.id() == *id : session.id().uuidString().starts_with(prefix)) matching.push_back(std::move(session));
    }
    if (matching.size() == 1) return std::move(matching.front());
    if (matching.empty()) {
        if (id) return badSession("Neither the operation log nor the Trash holds a cleanup session " + id->uuidString() + ".", context);
        return badSession("No cleanup session in the operation log or the Trash starts with \u201C" + text + "\u201D.", context);
    }
    std::string candidates;
    for (const auto& session : matching) {
        candidates += "\n  " + session.id().uuidString() + "  " + localTime(session.date()) + "  " + displayed(session.action());
    }
    return badSession("\u201C" + text + "\u201D starts " + std::to_string(matching.size()) +
                          " cleanup sessions; give more of the identifier:" + candidates,
                      context);
}

std::optional<CleanupSession> latestSession(Context& context) {
    auto sessions = allSessions();
    if (sessions.empty()) return badSession("Neither the operation log nor the Trash holds a cleanup session.", context);
    return std::move(sessions.front());
}

// The items of the session named by `paths` (all of them when there are none); nothing, after
// naming the first, when a path is not an item of the session.
std::optional<std::vector<CleanupRecovery::Item>> chosenItems(std::vector<CleanupRecovery::Item> items,
                                                              const std::vector<std::string>& paths,
                                                              const CleanupSession& session, Context& context) {
    if (paths.empty()) return items;
    std::unordered_set<std::string> wanted;
    for (const auto& path : paths) {
        const auto absolute = platform::FileManager::absoluteStandardizedPath(path);
        if (std::ranges::none_of(items, [&](const auto& item) { return item.entry.path() == absolute; })) {
            printError("\u201C" + absolute + "\u201D is not an item of cleanup session " + session.id().uuidString() +
                       "; `vornelo-cli restore --dry-run " + session.id().uuidString() + "` lists them.");
            context.noteFailure(ExitCode::badUsage);
            return std::nullopt;
        }
        wanted.insert(absolute);
    }
    std::erase_if(items, [&](const auto& item) { return !wanted.contains(item.entry.path()); });
    return items;
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

struct RestoreOptions {
    std::string session;
    std::vector<std::string> paths;
    bool last = false;
    bool dryRun = false;
};

void runRestore(RestoreOptions options, Context& context) {
    const bool dryRun = options.dryRun;
    if (options.last && !options.session.empty()) {
        options.paths.insert(options.paths.begin(), options.session);  // with --last, every word is a path
    }
    if (!options.last && options.session.empty()) {
        printError("A session is required: give its identifier (or the start of it), or --last for the latest run.");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    const auto session = options.last ? latestSession(context) : findSession(options.session, context);
    if (!session) return;
    auto& deleter = SafeFileDeleter::shared();
    const auto chosen = chosenItems(CleanupRecovery::preview(*session, deleter), options.paths, *session, context);
    if (!chosen) return;
    const auto& items = *chosen;
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
        auto document = sessionJson(*session, TrashedFate::of(items));
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

    auto options = std::make_shared<RestoreOptions>();
    auto* restore = app.add_subcommand(
        "restore", "Put back what a cleanup session moved to the Trash, or only the items PATH names: each item's "
                   "availability and reason, then the result of each put-back. Nothing is ever replaced");
    restore->add_option("SESSION-ID", options->session,
                        "The session's identifier as sessions lists it, in any case, or the start of it that only "
                        "one session has");
    restore->add_option("PATH", options->paths, "Only these items of the session, by their original paths");
    restore->add_flag("--last", options->last, "The latest session, instead of an identifier");
    restore->add_flag("--dry-run", options->dryRun, "Only show which items could be put back");
    restore->footer("Items whose log lines never came (the run was cut short) are found by the session their Trash "
                    "records name. Ctrl-C stops before the next item. Exit code 1 when an item the run moved to the "
                    "Trash is not back in its place afterwards (each is named), 2 for bad usage, an unknown session, a "
                    "start of an identifier that several sessions share (they are listed) or a path that is not an "
                    "item of the session.");
    restore->callback([options, &context] { runRestore(*options, context); });
}

}  // namespace vornelo::cli
