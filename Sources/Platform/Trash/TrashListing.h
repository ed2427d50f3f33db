#pragma once
// Every Trash a user has and what each holds: the home Trash, and the Trash at the top of every
// other mounted file system ("<top>/.Trash/<uid>" inside an administrator's sticky ".Trash", and
// "<top>/.Trash-<uid>"), each item with what its ".trashinfo" records (see TrashInfo.h).
//
// Only reads. A Trash folder, its "files" and "info" must be real folders belonging to the user
// (a link is never followed), or the Trash is passed over. Info files are hostile input: only a
// regular file of at most maxInfoBytes is read, links are refused, and a damaged line or value
// leaves that value unknown rather than failing the listing.
//
// Thread safety: stateless; callable from any thread.

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileError.h"
#include "Platform/Files/FileManager.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct TrashListing {
    static constexpr std::size_t maxInfoBytes = 64 * 1024;

    struct Folder {
        std::string path;          // holds files/ and info/
        std::string topDirectory;  // the file system's top folder; empty for the home Trash
    };

    // What one info file says; each value is absent when missing or damaged.
    struct Record {
        std::optional<std::string> originalPath;  // absolute and standardised
        std::optional<TimePoint> deletionDate;
        friend bool operator==(const Record&, const Record&) = default;
    };

    struct Item {
        std::string path;  // "<trash>/files/<name>"
        std::string name;
        FileType type = FileType::other;
        std::int64_t allocatedSize = 0;  // of the item itself; a folder's contents are not walked
        std::uint64_t fileNumber = 0;
        dev_t device = 0;
        std::uint32_t linkCount = 1;
        TimePoint modificationDate{};
        bool hasInfo = false;  // a readable info file was found
        Record record;
    };

    struct Contents {
        std::vector<Item> items;  // in the order the folder lists them
        // Items of files/ that could not be examined, or whose info file exists but could not be read.
        std::vector<std::pair<std::string, FileError>> problems;
    };

    // The mount points of the calling process (/proc/self/mountinfo), at most 10,000.
    [[nodiscard]] static std::vector<std::string> mountPoints();

    // The home Trash `homeTrash` and the top-directory Trashes of `user` on `mountPoints`, those
    // that exist and are safe, each once, the home Trash first.
    [[nodiscard]] static std::vector<Folder> folders(const std::filesystem::path& homeTrash, uid_t user,
                                                     std::span<const std::string> mountPoints);

    // What the Trash holds; fails when its files/ folder cannot be read or is not safe.
    [[nodiscard]] static std::expected<Contents, FileError> contents(const Folder& folder, uid_t user);

    // Reads the text of an info file: "[Trash Info]" first, then Path= (percent-encoded; relative
    // ones are taken below `topDirectory`) and DeletionDate= (local time, or with a zone).
    [[nodiscard]] static Record parseInfo(std::string_view text, std::string_view topDirectory);
};

}  // namespace vornelo::platform
