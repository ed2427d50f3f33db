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
// time without a zone. An item trashed by a cleanup run also carries the run's session,
//
//   X-Vornelo-Session=79842E2A-0164-40B6-BC45-447BC44F9DB0
//
// a key of our own, which the format allows and other Trash tools pass over.

#include "Platform/Encoding/Iso8601.h"

#include <optional>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct TrashInfo {
    static constexpr std::string_view suffix = ".trashinfo";

    static constexpr std::string_view sessionKey = "X-Vornelo-Session";
    // Beyond any info file's size.
    static constexpr std::size_t maxBytes = 64 * 1024;

    // What an info file says, as far as it is understood.
    struct Parsed {
        std::string path;     // decoded; empty when missing or not decodable
        std::string session;  // empty when none is recorded
        std::optional<TimePoint> deletionDate;  // nothing when missing or not a local date and time
    };

    [[nodiscard]] static std::string encodePath(std::string_view path);
    // The path from its percent-encoded form; nothing when an escape is malformed.
    [[nodiscard]] static std::optional<std::string> decodePath(std::string_view encoded);
    // The whole file for an item that was at `path` (not yet encoded), trashed at `when`, in the
    // run `session` when one is given.
    [[nodiscard]] static std::string contents(std::string_view path, TimePoint when, std::string_view session = {});
    // Reads the keys of the "[Trash Info]" group; nothing when there is no such group.
    [[nodiscard]] static std::optional<Parsed> parse(std::string_view text);
    // "2026-12-07T16:45:44" read as local time (TZ); nothing for any other form.
    [[nodiscard]] static std::optional<TimePoint> parseLocalDate(std::string_view text);
    // The name of the info file of the trashed item called `itemName`.
    [[nodiscard]] static std::string fileName(std::string_view itemName);
};

}  // namespace vornelo::platform
