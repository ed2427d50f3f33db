// Executing a plan: protection re-checked, each item trashed or (inside a Trash only) removed,
// one log entry per item, and every failure explained.

#include "Core/Log.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/Encoding/Checked.h"
#include "Platform/Files/HeldItem.h"
#include "Platform/Trash/Trash.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace vornelo {

namespace {

using LogMode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;

bool isPermissionError(const platform::FileError& error) {
    using platform::FileError;
    if (error.isCocoa(FileError::writeNoPermission) || error.isCocoa(FileError::readNoPermission)) return true;
    return error.underlyingPosixCode == EACCES || error.underlyingPosixCode == EPERM;
}

}  // namespace

// A run hands its log lines over in groups, so that the log takes its lock and appends once per
// group rather than once per item. A line waits at most this long (shorter than the log's quiet
// time, so that its totals are stored when the run ends or really pauses). An item whose line is
// still held when the process dies is found by its Trash record, which names the run.
constexpr std::size_t maxHeldLines = 512;
constexpr std::chrono::milliseconds maxLineDelay{40};

struct SafeFileDeleter::Run {
    const SafeFileDeleter& engine;
    Mode mode;
    bool dryRun;
    std::string_view action;
    const Uuid& sessionID;
    // What each item's Trash record names as its run: the session, while the log keeps the run's
    // lines (a run the user chose not to log leaves no session anywhere).
    std::string recordedSession;
    std::stop_token stop;
    ExecutionResult result{};
    std::vector<OperationLog::Entry> lines{};
    std::chrono::steady_clock::time_point firstHeldLine{};
    bool handedOver = false;
    // The folder of the latest item, held on for the next items in it.
    std::optional<platform::HeldFolder> folder{};

    void log(const Item& item, std::int64_t size, LogMode way, Outcome outcome, bool entryDryRun,
             std::optional<std::string> detail = std::nullopt, std::optional<std::string> trashedPath = std::nullopt,
             std::optional<std::uint64_t> fileNumber = std::nullopt) {
        const auto now = std::chrono::steady_clock::now();
        if (lines.empty()) firstHeldLine = now;
        lines.emplace_back(std::chrono::system_clock::now(), sessionID, std::string(action), item.id(), size, way,
                           outcome, entryDryRun, std::move(detail), std::move(trashedPath), fileNumber);
        // The run's first line goes at once, so that the log names the run from its first item on
        // and a run cut short is found by the log as soon as anything of it moved.
        if (!handedOver || lines.size() >= maxHeldLines || now - firstHeldLine >= maxLineDelay) handOverLines();
    }

    void handOverLines() {
        if (lines.empty()) return;
        handedOver = true;
        engine.opLog_.append(std::exchange(lines, {}));
    }

    void skip(const Item& item) {
        const auto way = mode == Mode::permanent ? LogMode::permanent : LogMode::trash;
        log(item, 0, way, Outcome::skipped, dryRun, std::string(protectedDetail));
        result.skipped = checkedAdd(result.skipped, 1);
    }

    // The item's folder is held first and its link-free place judged; the action then goes
    // through that folder only, so a link swapped in on the way cannot redirect it.
    void handle(const Item& item) {
        const bool planned = isInsideTrash(item.url()) && (item.category() == Category::trash || mode == Mode::permanent);
        const auto way = planned ? LogMode::permanent : LogMode::trash;
        if (dryRun) {
            rehearseUnheld(item, planned);
            return;
        }
        auto held = engine.fileManager_.holdItem(item.url(), folder);
        if (!held) {
            if (engine.isProtectedNow(item.url())) {
                skip(item);
            } else {
                fail(item, way, held.error());
            }
            return;
        }
        if (engine.isProtectedNow(item.url(), *held)) {
            skip(item);
            return;
        }
        if (held->isFolder() && engine.trashWithin(held->place())) {
            fail(item, way, holdsItsTrash());
            return;
        }
        // Only what lies in a Trash now goes for good; anything else is at least recoverable.
        if (planned && isInsideTrash(held->place())) {
            remove(item, *held);
        } else {
            trash(item, *held);
        }
    }

    static platform::FileError holdsItsTrash() {
        return platform::FileError::make(platform::FileError::cocoaDomain, platform::FileError::writeUnknown,
                                         std::string(holdsItsTrashReason));
    }

    // A rehearsal holds nothing open: it judges the path as given.
    void rehearseUnheld(const Item& item, bool planned) {
        if (engine.isProtectedNow(item.url())) {
            skip(item);
        } else if (engine.trashWithin(item.url())) {
            fail(item, planned ? LogMode::permanent : LogMode::trash, holdsItsTrash());
        } else {
            rehearse(item, planned);
        }
    }

    void rehearse(const Item& item, bool permanent) {
        log(item, item.sizeBytes(), permanent ? LogMode::permanent : LogMode::trash, Outcome::dryRun, true);
        result.freedBytes = checkedAdd(result.freedBytes, item.sizeBytes());
        result.succeeded = checkedAdd(result.succeeded, 1);
        if (!permanent) result.recoverable = checkedAdd(result.recoverable, 1);
    }

    void trash(const Item& item, const platform::HeldItem& held) {
        // The run's session goes into the item's Trash record before it moves, so that the item
        // is found as part of the run even when the run ends before its log line is written.
        const auto trashed = engine.fileManager_.trashHeldItem(held, recordedSession);
        if (!trashed) {
            fail(item, LogMode::trash, trashed.error());
            return;
        }
        std::optional<std::string> trashedPath;
        std::optional<std::uint64_t> fileNumber;
        if (!trashed->empty()) {
            trashedPath = trashed->native();
            fileNumber = held.fileNumber();
        }
        result.recoverable = checkedAdd(result.recoverable, 1);
        log(item, item.sizeBytes(), LogMode::trash, Outcome::success, false, std::nullopt, std::move(trashedPath),
            fileNumber);
        succeed(item);
    }

    void remove(const Item& item, const platform::HeldItem& held) {
        std::int64_t removedEntries = 0;
        if (const auto removed = engine.fileManager_.removeHeldItem(held, &removedEntries, stop); !removed) {
            if (removed.error().underlyingPosixCode == ECANCELED && stop.stop_requested()) {
                cancelled(item, removedEntries);
                return;
            }
            fail(item, LogMode::permanent, removed.error(), removedEntries > 0);
            return;
        }
        platform::Trash::forgetInfo(item.url());
        log(item, item.sizeBytes(), LogMode::permanent, Outcome::success, false);
        succeed(item);
    }

    // Stopped inside the item: it counts as failed, saying how much of it went for good.
    void cancelled(const Item& item, std::int64_t removedEntries) {
        const std::string reason = std::string(cancelledRemovalReason) +
                                   (removedEntries == 0 ? std::string("nothing of it was removed")
                                                        : std::to_string(removedEntries) + (removedEntries == 1 ? " entry" : " entries") +
                                                              " of it went for good") +
                                   ", and the rest is still in the Trash.";
        Failure failure{item.id(), reason, false, removedEntries > 0};
        if (failure.partlyRemoved) result.partlyRemoved = checkedAdd(result.partlyRemoved, 1);
        log(item, item.sizeBytes(), LogMode::permanent, Outcome::failed, dryRun, reason);
        result.failed = checkedAdd(result.failed, 1);
        result.cancelled = true;
        result.errors.push_back(item.id() + ": " + reason);
        result.failures.push_back(std::move(failure));
    }

    void succeed(const Item& item) {
        result.freedBytes = checkedAdd(result.freedBytes, item.sizeBytes());
        result.succeeded = checkedAdd(result.succeeded, 1);
        result.removedIDs.insert(item.id());
    }

    void fail(const Item& item, LogMode way, const platform::FileError& error, bool partlyRemoved = false) {
        auto failure = SafeFileDeleter::failure(item.url(), error, engine.fileManager_);
        if (partlyRemoved) {
            failure.reason = std::string(partlyRemovedPrefix) + failure.reason;
            failure.partlyRemoved = true;
            result.partlyRemoved = checkedAdd(result.partlyRemoved, 1);
        }
        log(item, item.sizeBytes(), way, Outcome::failed, dryRun, failure.reason);
        result.failed = checkedAdd(result.failed, 1);
        Log::deletion().error("%{public}s: could not remove %{private}s: %{public}s", action, item.id(), failure.reason);
        result.errors.push_back(item.id() + ": " + failure.reason);
        result.failures.push_back(std::move(failure));
    }
};

SafeFileDeleter::ExecutionResult SafeFileDeleter::execute(const Plan& plan, Mode mode, bool dryRun,
                                                          std::string_view action, const Uuid& sessionID,
                                                          const ProgressHandler& progress,
                                                          const std::function<bool()>& isCancelled,
                                                          std::stop_token stop) const {
    Run run{*this, mode, dryRun, action, sessionID, opLog_.enabled() ? sessionID.uuidString() : std::string(), std::move(stop)};
    run.result.dryRun = dryRun;
    const auto total = static_cast<std::int64_t>(plan.items().size());
    std::int64_t index = 0;
    for (const auto& item : plan.items()) {
        if ((isCancelled && isCancelled()) || run.result.cancelled) {
            run.result.cancelled = true;
            break;
        }
        if (progress) progress(Progress{index, total, item.id()});
        run.handle(item);
        ++index;
    }
    if (progress) progress(Progress{total, total, {}});
    for (const auto& item : plan.protectedItems()) run.skip(item);
    run.handOverLines();

    const auto& result = run.result;
    const std::string suffix = std::string(dryRun ? " (simulated)" : "") + (result.cancelled ? " (cancelled)" : "");
    Log::deletion().info("%{public}s: %ld removed, %ld failed, %ld skipped, %lld bytes%{public}s", action,
                         result.succeeded, result.failed, result.skipped, result.freedBytes, suffix);
    return std::move(run.result);
}

std::future<SafeFileDeleter::ExecutionResult> SafeFileDeleter::executeAsync(Plan plan, Mode mode, bool dryRun,
                                                                             std::string action,
                                                                             ProgressHandler progress,
                                                                             std::stop_token stop) const {
    struct Work {
        const SafeFileDeleter& engine;
        Plan plan;
        Mode mode;
        bool dryRun;
        std::string action;
        ProgressHandler progress;
        std::stop_token stop;
        std::promise<ExecutionResult> done;

        void operator()() {
            try {
                const Uuid session;
                done.set_value(engine.execute(plan, mode, dryRun, action, session, progress,
                                              [this] { return stop.stop_requested(); }, stop));
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        }
    };
    auto work = std::make_shared<Work>(*this, std::move(plan), mode, dryRun, std::move(action), std::move(progress),
                                       std::move(stop));
    auto future = work->done.get_future();
    // Detached, unlike std::async, whose future would make a caller that drops it wait for the run.
    std::thread([work] { (*work)(); }).detach();
    return future;
}

SafeFileDeleter::Failure SafeFileDeleter::failure(const std::filesystem::path& url, const platform::FileError& error,
                                                  const platform::FileManager& fileManager) {
    if (isPermissionError(error)) {
        const auto attributes = fileManager.attributesOfItem(url);
        if (attributes && attributes->owner != fileManager.realUserID()) {
            return Failure{url.native(), std::string(ownedByAnotherUserReason), true};
        }
        return Failure{url.native(), std::string(permissionDeniedReason), false};
    }
    if (error.isCocoa(platform::FileError::noSuchFile)) return Failure{url.native(), std::string(noLongerExistsReason), false};
    return Failure{url.native(), error.description, false};
}

}  // namespace vornelo
