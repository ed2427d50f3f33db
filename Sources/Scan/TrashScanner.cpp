#include "Scan/TrashScanner.h"

#include "Platform/Trash/TrashListing.h"

#include <chrono>

namespace vornelo::scan {

namespace {

using platform::TrashListing;

std::string day(platform::TimePoint when) {
    const auto text = platform::Iso8601::format(when);
    return text.substr(0, 10);
}

std::string reasonFor(const TrashListing::Item& item) {
    const auto& record = item.record;
    if (!item.hasInfo || (!record.originalPath && !record.deletionDate)) {
        return "In the Trash, with no record of where it came from.";
    }
    std::string reason = "In the Trash";
    if (record.deletionDate) reason += " since " + day(*record.deletionDate);
    if (record.originalPath) reason += "; it was " + *record.originalPath;
    return reason + ".";
}

}  // namespace

std::vector<Candidate> TrashScanner::scan(const ScanContext& context) const {
    const auto& places = context.places();
    std::vector<std::string> mountPoints;
    if (context.coversTheSystem()) mountPoints = places.mountPoints;  // other file systems' Trashes
    std::vector<Candidate> found;
    for (const auto& folder : TrashListing::folders(places.homeTrash, places.user, mountPoints)) {
        if (folder.topDirectory.empty() && !context.covers(folder.path) && !context.coversTheSystem()) continue;
        const auto contents = TrashListing::contents(folder, places.user);
        if (!contents) {
            context.coverage().failed(folder.path, contents.error());
            continue;
        }
        for (const auto& [path, error] : contents->problems) context.coverage().failed(path, error);
        context.progress().addItems(contents->items.size());
        for (const auto& item : contents->items) {
            ScanItem scanned;
            scanned.path = item.path;
            scanned.type = item.type;
            scanned.allocatedSize = item.allocatedSize;
            scanned.fileNumber = item.fileNumber;
            scanned.device = item.device;
            scanned.linkCount = item.linkCount;
            scanned.modificationDate = item.modificationDate;
            auto candidate = propose(context, std::move(scanned), reasonFor(item), Confidence::safe);
            candidate.basis = AgeBasis::deleted;
            candidate.knownDate = item.record.deletionDate;
            candidate.originalPath = item.record.originalPath;
            found.push_back(std::move(candidate));
        }
    }
    return found;
}

}  // namespace vornelo::scan
