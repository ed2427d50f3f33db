#pragma once
// What lies in a user's Trash folders, whoever put it there: the home Trash and the Trash at the
// top of each mounted file system ("<top>/.Trash/<uid>" when an administrator made "<top>/.Trash"
// sticky, and "<top>/.Trash-<uid>"), as file managers and other Trash tools show them.
//
// Only folders that are the user's own are read, never through a link; an item counts when both
// it and its info file are there (an info file alone is a name claimed by a move that never
// happened), and unreadable or damaged info files are passed over, as is a relative path in the
// home Trash (only a top-directory Trash records paths relative to its file system).
//
// Thread safety: stateless; callable from any thread. Reads only.

#include "Platform/Encoding/Iso8601.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vornelo::platform {

struct TrashContents {
    struct Item {
        std::string trashFolder;             // the Trash holding files/ and info/
        std::string name;                    // the item's name in files/
        std::filesystem::path trashedPath;   // files/<name>
        std::filesystem::path infoPath;      // info/<name>.trashinfo
        std::string originalPath;            // where it came from, absolute
        std::optional<TimePoint> deletionDate;  // as its info file says, when it can be read
        std::string session;                 // the cleanup run its info file names, if any
        std::uint64_t fileNumber = 0;        // the item's, as it is now
        TimePoint infoWritten;               // when its info file was last written
    };

    // Every item in the Trash folders of `user`, whose home is `home` (the home Trash as
    // Trash::homeTrash finds it), each Trash folder once however many mounts show it, in the order
    // the folders list them.
    [[nodiscard]] static std::vector<Item> list(const std::filesystem::path& home, uid_t user);
};

}  // namespace vornelo::platform
