// Regrouping the retained log into cleanup runs.

#include "Core/CleanupSession.h"
#include "Core/OperationLog+Internal.h"

#include <algorithm>
#include <limits>
#include <ranges>
#include <unordered_map>

namespace vornelo {

namespace {

struct Group {
    Uuid id;
    std::vector<OperationLog::Entry> entries;
    std::vector<bool> slotReused;
};

constexpr std::size_t notKept = std::numeric_limits<std::size_t>::max();

}  // namespace

std::vector<CleanupSession> OperationLog::cleanupSessions(std::int64_t limit) const {
    if (limit <= 0) return {};
    auto groups = queue_.sync([&] {
        // Shared with other readers, never with a writer: a rotation between two files would show
        // some lines twice or not at all, and a run would come back incomplete.
        const auto held = lockForReading();
        std::vector<Group> found;
        std::unordered_map<Uuid, std::size_t> indexOf;
        // The entry (group, position) that last named each Trash path: when a later line names
        // the path again, what lies there is no longer that entry's item.
        std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> lastInSlot;
        platform::JsonObjectReader reader;
        EntryFields fields;
        forEachRetainedLine([&](std::string_view line, std::size_t readable, bool oversized) {
            if (oversized || !decodeFields(reader, line, readable, fields)) return;
            std::pair<std::size_t, std::size_t> at{notKept, notKept};
            // Filtered on the decoded fields, so lines outside every session are never copied.
            if (fields.sessionID && !fields.dryRun && fields.action != putBackAction && !fields.path.empty()) {
                const auto [where, added] = indexOf.try_emplace(*fields.sessionID, found.size());
                if (added) found.push_back(Group{*fields.sessionID, {}, {}});
                auto& group = found[where->second];
                at = {where->second, group.entries.size()};
                group.entries.push_back(makeEntry(fields));
                group.slotReused.push_back(false);
            }
            if (!fields.trashedPath) return;
            const auto [slot, first] = lastInSlot.try_emplace(std::string(*fields.trashedPath), at);
            if (first) return;
            if (const auto [group, position] = slot->second; group != notKept) found[group].slotReused[position] = true;
            slot->second = at;
        });
        return found;
    });
    std::vector<CleanupSession> sessions;
    sessions.reserve(groups.size());
    // Newest first by date; runs of the same date (log times have whole seconds) are put in the
    // reverse of their order in the log, so the later run still comes first.
    for (auto& group : std::views::reverse(groups)) {
        sessions.emplace_back(group.id, std::move(group.entries), std::move(group.slotReused));
    }
    std::ranges::stable_sort(sessions, std::ranges::greater{}, &CleanupSession::date);
    if (static_cast<std::uint64_t>(limit) < sessions.size()) {
        sessions.erase(sessions.begin() + static_cast<std::ptrdiff_t>(limit), sessions.end());
    }
    return sessions;
}

}  // namespace vornelo
