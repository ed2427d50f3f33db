// Regrouping the retained log into cleanup runs.

#include "Core/CleanupSession.h"
#include "Core/OperationLog+Internal.h"

#include <algorithm>
#include <unordered_map>

namespace vornelo {

std::vector<CleanupSession> OperationLog::cleanupSessions(std::int64_t limit) const {
    if (limit <= 0) return {};
    auto groups = queue_.sync([&] {
        std::vector<std::pair<Uuid, std::vector<Entry>>> found;
        std::unordered_map<Uuid, std::size_t> indexOf;
        platform::JsonObjectReader reader;
        EntryFields fields;
        forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
            if (oversized || !decodeFields(reader, line, readable, fields)) return;
            // Filtered on the decoded fields, so lines outside every session are never copied.
            if (!fields.sessionID || fields.dryRun || fields.action == putBackAction || fields.path.empty()) return;
            const auto [at, added] = indexOf.try_emplace(*fields.sessionID, found.size());
            if (added) found.emplace_back(*fields.sessionID, std::vector<Entry>{});
            found[at->second].second.push_back(makeEntry(fields));
        });
        return found;
    });
    std::vector<CleanupSession> sessions;
    sessions.reserve(groups.size());
    for (auto& [id, entries] : groups) sessions.emplace_back(id, std::move(entries));
    std::ranges::stable_sort(sessions, std::ranges::greater{}, &CleanupSession::date);
    if (static_cast<std::uint64_t>(limit) < sessions.size()) {
        sessions.erase(sessions.begin() + static_cast<std::ptrdiff_t>(limit), sessions.end());
    }
    return sessions;
}

}  // namespace vornelo
