#pragma once
// The ".trashinfo" file that records where a trashed item came from, in the form desktop file
// managers and other Trash tools read:
//
//   [Trash Info]
//   Path=/home/ada/Downloads/r%C3%A9sum%C3%A9.pdf
//   DeletionDate=2026-12-07T16:45:44
//
// Path is percent-encoded (every byte but unreserved characters and "/"), absolute for the home
// Trash and relative to the top folder of the file system for a Trash there. DeletionDate is local
// time without a zone.

#include "Platform/Encoding/Iso8601.h"

#include <string>
#include <string_view>

namespace vornelo::platform {

struct TrashInfo {
    static constexpr std::string_view suffix = ".trashinfo";

    [[nodiscard]] static std::string encodePath(std::string_view path);
    // The whole file for an item that was at `path` (not yet encoded), trashed at `when`.
    [[nodiscard]] static std::string contents(std::string_view path, TimePoint when);
    // The name of the info file of the trashed item called `itemName`.
    [[nodiscard]] static std::string fileName(std::string_view itemName);
};

}  // namespace vornelo::platform
