// Finding the items of cleanup runs by the session their info files record, in every Trash of
// the user, so that a run cut short before its log lines were written can still be put back.

#include "Platform/Trash/Trash.h"
#include "Platform/Trash/TrashContents.h"

namespace vornelo::platform {

std::vector<Trash::SessionRecord> Trash::sessionRecords(const std::filesystem::path& home, uid_t user) {
    std::vector<SessionRecord> records;
    for (auto& item : TrashContents::list(home, user)) {
        if (item.session.empty()) continue;
        records.push_back({std::move(item.session), std::move(item.trashedPath), std::move(item.originalPath), item.fileNumber,
                           item.infoWritten});
    }
    return records;
}

}  // namespace vornelo::platform
