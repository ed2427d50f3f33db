#include "Core/CleanupSession.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <ranges>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace vornelo {

namespace {

using Entry = OperationLog::Entry;

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

bool isInexact(std::string_view path) { return path.find(replacementCharacter) != std::string_view::npos; }

platform::TimePoint earliest(const std::vector<Entry>& entries) {
    if (entries.empty()) return platform::distantPast;
    return std::ranges::min(entries, {}, &Entry::timestamp).timestamp();
}

std::optional<std::string> unavailableReason(const Entry& entry, bool slotReused, const SafeFileDeleter& deleter) {
    if (entry.dryRun() || entry.outcome() != OperationLog::Outcome::success) {
        return std::string(CleanupRecovery::notRemovedReason);
    }
    if (entry.mode() == OperationLog::Mode::permanent) return std::string(CleanupRecovery::permanentReason);
    if (!entry.trashedFileNumber()) return std::string(CleanupRecovery::noFileNumberReason);
    if (!entry.trashedPath()) return std::string(CleanupRecovery::noTrashedPathReason);
    // The file number alone cannot tell: a number freed by emptying the Trash may be given again.
    if (slotReused) return std::string(CleanupRecovery::slotReusedReason);
    const auto problem = deleter.putBackProblem(*entry.trashedPath(), entry.path(), entry.trashedFileNumber());
    if (problem) {
        if (problem->kind() == SafeFileDeleter::PutBackError::Kind::noLongerInTrash && isInexact(*entry.trashedPath())) {
            return std::string(CleanupRecovery::inexactNameReason);
        }
        // Put back before (or by hand): the very file is where it was.
        const auto original = deleter.fileManager().attributesOfItem(entry.path());
        if (problem->kind() == SafeFileDeleter::PutBackError::Kind::noLongerInTrash && original &&
            original->fileNumber == *entry.trashedFileNumber()) {
            return std::string(CleanupRecovery::backInPlaceReason);
        }
        return problem->description();
    }
    // The logged spelling may name another folder, or one that put-back would create, so the
    // item would land somewhere it never was, even when a folder of that spelling exists.
    if (isInexact(entry.path())) return std::string(CleanupRecovery::inexactNameReason);
    return std::nullopt;
}

}  // namespace

CleanupSession::CleanupSession(Uuid id, std::vector<Entry> entries, std::vector<bool> slotReused)
    : id_(id),
      entries_(std::move(entries)),
      slotReused_(std::move(slotReused)),
      date_(earliest(entries_)),
      action_(entries_.empty() ? std::string("clean") : entries_.front().action()) {}

bool CleanupRecovery::wentToTrash(const Entry& entry) {
    return !entry.dryRun() && entry.outcome() == OperationLog::Outcome::success && entry.mode() == OperationLog::Mode::trash;
}

std::vector<CleanupSession> CleanupRecovery::withTrashRecords(std::vector<CleanupSession> logged,
                                                             const std::vector<platform::Trash::SessionRecord>& records) {
    std::unordered_map<Uuid, std::vector<const platform::Trash::SessionRecord*>> bySession;
    for (const auto& record : records) {
        if (const auto id = Uuid::fromString(record.session)) bySession[*id].push_back(&record);
    }
    if (bySession.empty()) return logged;
    const auto entryOf = [](const platform::Trash::SessionRecord& record, const Uuid& id, const std::string& action) {
        return Entry(record.recorded, id, action, record.originalPath, 0, OperationLog::Mode::trash, OperationLog::Outcome::success,
                     false, std::string(unloggedDetail), record.trashed.native(), record.fileNumber);
    };
    for (auto& session : logged) {
        const auto found = bySession.find(session.id());
        if (found == bySession.end()) continue;
        std::unordered_set<std::string> accounted;
        for (const auto& entry : session.entries()) {
            if (entry.trashedPath()) accounted.insert(*entry.trashedPath());
        }
        auto entries = session.entries();
        std::vector<bool> reused;
        for (std::size_t index = 0; index < entries.size(); ++index) reused.push_back(session.slotReused(index));
        for (const auto* record : found->second) {
            if (accounted.contains(record->trashed.native())) continue;
            entries.push_back(entryOf(*record, session.id(), session.action()));
            reused.push_back(false);
        }
        session = CleanupSession(session.id(), std::move(entries), std::move(reused));
        bySession.erase(found);
    }
    for (const auto& [id, found] : bySession) {
        std::vector<Entry> entries;
        for (const auto* record : found) entries.push_back(entryOf(*record, id, "clean"));
        std::ranges::sort(entries, {}, &Entry::timestamp);
        logged.emplace_back(id, std::move(entries));
    }
    std::ranges::stable_sort(logged, std::ranges::greater{}, &CleanupSession::date);
    return logged;
}

std::vector<CleanupRecovery::Item> CleanupRecovery::preview(const CleanupSession& session,
                                                            const SafeFileDeleter& deleter) {
    std::vector<Item> items;
    const auto& entries = session.entries();
    items.reserve(entries.size());
    for (std::size_t index = 0; index < entries.size(); ++index) {
        items.push_back(Item{entries[index], unavailableReason(entries[index], session.slotReused(index), deleter)});
    }
    return items;
}

namespace {

CleanupRecovery::Result putBack(const Entry& entry, const SafeFileDeleter& deleter, const std::stop_token& stop) {
    CleanupRecovery::Result result{entry.id(), entry.path(), false, {}};
    try {
        deleter.putBack(*entry.trashedPath(), entry.path(), entry.trashedFileNumber(), entry.sessionID(), stop);
        result.restored = true;
        result.message = CleanupRecovery::restoredMessage;
    } catch (const SafeFileDeleter::PutBackError& error) {
        result.message = error.description();
    } catch (const SafeFileDeleter::FileOperationError& error) {
        result.message = error.description();
    } catch (const std::exception& error) {
        result.message = error.what();
    }
    return result;
}

std::vector<CleanupRecovery::Result> putBackAll(const std::vector<CleanupRecovery::Item>& items,
                                                const SafeFileDeleter& deleter, const std::stop_token& stop) {
    std::vector<CleanupRecovery::Result> results;
    try {
        // Reverse order undoes the run: a folder trashed after something inside it comes back first.
        for (const auto& item : std::ranges::reverse_view(items)) {
            if (!item.isAvailable()) continue;
            if (stop.stop_requested()) break;
            const auto& entry = item.entry;
            if (!entry.trashedPath() || !entry.trashedFileNumber()) continue;
            results.push_back(putBack(entry, deleter, stop));
        }
    } catch (const std::exception&) {
        // Out of memory for the results: what was done so far is still reported.
    }
    return results;
}

}  // namespace

std::future<std::vector<CleanupRecovery::Result>> CleanupRecovery::restore(std::vector<Item> items,
                                                                           const SafeFileDeleter& deleter,
                                                                           std::stop_token stop) {
    struct Work {
        std::vector<Item> items;
        const SafeFileDeleter& deleter;
        std::stop_token stop;
        std::promise<std::vector<Result>> done;

        void operator()() { done.set_value(putBackAll(items, deleter, stop)); }
    };
    auto work = std::make_shared<Work>(std::move(items), deleter, std::move(stop));
    auto future = work->done.get_future();
    try {
        // Detached, unlike std::async, whose future would make a caller that drops it wait.
        std::thread([work] { (*work)(); }).detach();
    } catch (const std::system_error&) {
        (*work)();  // no thread to be had: the work is done here instead
    }
    return future;
}

}  // namespace vornelo
