#include "Core/CleanupSession.h"

#include <algorithm>

namespace vornelo {

namespace {

using Entry = OperationLog::Entry;

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

bool isInexact(std::string_view path) { return path.find(replacementCharacter) != std::string_view::npos; }

platform::TimePoint earliest(const std::vector<Entry>& entries) {
    if (entries.empty()) return platform::distantPast;
    return std::ranges::min(entries, {}, &Entry::timestamp).timestamp();
}

std::optional<std::string> unavailableReason(const Entry& entry, const SafeFileDeleter& deleter) {
    if (entry.dryRun() || entry.outcome() != OperationLog::Outcome::success) {
        return std::string(CleanupRecovery::notRemovedReason);
    }
    if (entry.mode() == OperationLog::Mode::permanent) return std::string(CleanupRecovery::permanentReason);
    if (!entry.trashedFileNumber()) return std::string(CleanupRecovery::noFileNumberReason);
    if (!entry.trashedPath()) return std::string(CleanupRecovery::noTrashedPathReason);
    const auto problem = deleter.putBackProblem(*entry.trashedPath(), entry.path(), entry.trashedFileNumber());
    if (problem) {
        if (problem->kind() == SafeFileDeleter::PutBackError::Kind::noLongerInTrash && isInexact(*entry.trashedPath())) {
            return std::string(CleanupRecovery::inexactNameReason);
        }
        return problem->description();
    }
    // The logged spelling may name another folder, or one that put-back would create, so the
    // item would land somewhere it never was, even when a folder of that spelling exists.
    if (isInexact(entry.path())) return std::string(CleanupRecovery::inexactNameReason);
    return std::nullopt;
}

}  // namespace

CleanupSession::CleanupSession(Uuid id, std::vector<Entry> entries)
    : id_(id),
      entries_(std::move(entries)),
      date_(earliest(entries_)),
      action_(entries_.empty() ? std::string("clean") : entries_.front().action()) {}

std::vector<CleanupRecovery::Item> CleanupRecovery::preview(const CleanupSession& session,
                                                            const SafeFileDeleter& deleter) {
    std::vector<Item> items;
    items.reserve(session.entries().size());
    for (const auto& entry : session.entries()) items.push_back(Item{entry, unavailableReason(entry, deleter)});
    return items;
}

std::future<std::vector<CleanupRecovery::Result>> CleanupRecovery::restore(std::vector<Item> items,
                                                                           const SafeFileDeleter& deleter,
                                                                           std::stop_token stop) {
    return std::async(std::launch::async, [items = std::move(items), &deleter, stop = std::move(stop)] {
        std::vector<Result> results;
        for (const auto& item : items) {
            if (!item.isAvailable()) continue;
            if (stop.stop_requested()) break;
            const auto& entry = item.entry;
            if (!entry.trashedPath() || !entry.trashedFileNumber()) continue;
            Result result{entry.id(), entry.path(), false, {}};
            try {
                deleter.putBack(*entry.trashedPath(), entry.path(), entry.trashedFileNumber(), entry.sessionID());
                result.restored = true;
                result.message = restoredMessage;
            } catch (const SafeFileDeleter::PutBackError& error) {
                result.message = error.description();
            } catch (const SafeFileDeleter::FileOperationError& error) {
                result.message = error.description();
            }
            results.push_back(std::move(result));
        }
        return results;
    });
}

}  // namespace vornelo
