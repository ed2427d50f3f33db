#pragma once
// Moving items to the Trash.
//
// An item on the same file system as the home folder goes to "<home>/.Trash"; an item on another
// file system goes to "<mount point>/.Trashes/<uid>" of that file system, so that trashing never
// copies. Missing Trash folders are created: "<home>/.Trash" and ".Trashes/<uid>" with mode 0700,
// ".Trashes" with mode 1333 (sticky, so users cannot touch each other's folders). A Trash folder
// that is a symbolic link, not a folder, or owned by someone else is refused, as is a ".Trashes"
// that others could rearrange (neither sticky nor private to root or the user).
//
// The item keeps its name when that is free in the Trash, else it becomes "name 2.ext",
// "name 3.ext", ... The move is one rename that never replaces anything (RENAME_NOREPLACE), so a
// name taken by a racing process is simply skipped.
//
// Thread safety: stateless; callable from any thread. Failure leaves the item where it was.

#include "Platform/FileError.h"

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct Trash {
    // The name of the nth copy (n >= 2) of `name` in a Trash: "Foo.app" gives "Foo 2.app",
    // "archive.tar.gz" gives "archive.tar 2.gz", ".hidden" gives ".hidden 2". A result longer than
    // a file name may be (255 bytes) has its base shortened, never cutting a UTF-8 character.
    [[nodiscard]] static std::string numberedName(std::string_view name, unsigned number);

    // Moves `item` (a final symbolic link is moved, not followed) into the Trash of its file system,
    // with `home` as the owner's home folder and `user` as the owner of the Trash folders, and
    // returns the item's new path.
    static std::expected<std::filesystem::path, FileError> moveToTrash(const std::filesystem::path& item,
                                                                       const std::filesystem::path& home, uid_t user);

    // The same for an item already opened by its caller: `parentFd` is the folder that holds it and
    // `item` the absolute path it was judged by, whose last component names it inside `parentFd`.
    // The folder is never looked up again by path, so a link swapped in on the way changes nothing.
    static std::expected<std::filesystem::path, FileError> moveToTrash(int parentFd, const std::filesystem::path& item,
                                                                       const std::filesystem::path& home, uid_t user);

    // The folder of the user's Trash in `home` (not created).
    [[nodiscard]] static std::filesystem::path homeTrash(const std::filesystem::path& home);
};

}  // namespace vornelo::platform
