#pragma once
// Moving items to the Trash that desktop file managers and other Trash tools share.
//
// A Trash folder holds "files/" (the items) and "info/" (one "<name>.trashinfo" per item, see
// TrashInfo.h). An item on the file system of the user's data folder goes to the home Trash
// "$XDG_DATA_HOME/Trash" (default "<home>/.local/share/Trash"); an item on another file system goes
// to "<top>/.Trash/<uid>" when an administrator made "<top>/.Trash" a real, sticky folder, else to
// "<top>/.Trash-<uid>", <top> being the root of that file system, so that trashing never copies.
// Missing folders are created with mode 0700. Every folder used must be a real folder (a link is
// never followed) belonging to the user; an unsafe one makes the move fail, or for an
// administrator's ".Trash" is passed over.
//
// The item keeps its name when that is free in both folders, else it becomes "name 2.ext",
// "name 3.ext", ... A name is claimed by creating its ".trashinfo" with O_EXCL before the move,
// and the move is one rename that never replaces anything (RENAME_NOREPLACE), so two processes
// never take one name. Folders from earlier versions ("<home>/.Trash", "<top>/.Trashes/<uid>")
// are still recognised as Trash folders, never filled.
//
// Thread safety: stateless; callable from any thread. Failure leaves the item where it was.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileError.h"

#include <sys/types.h>

#include <cstdint>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct Trash {
    // One Trash folder held open, for moving items into it by descriptor.
    struct Held {
        FileDescriptor files;
        FileDescriptor info;
        std::string path;          // the Trash folder holding files/ and info/
        std::string topDirectory;  // empty for a home Trash, whose Path= lines are absolute
        uid_t user = 0;            // who the info files must belong to
        gid_t group = 0;
    };

    // A user as the password database gives it.
    struct Account {
        uid_t user = 0;
        gid_t group = 0;
        std::string home;
    };

    // The name of the nth copy (n >= 2) of `name` in a Trash: "Foo.app" gives "Foo 2.app",
    // "archive.tar.gz" gives "archive.tar 2.gz", ".hidden" gives ".hidden 2". A result longer than
    // `limit` bytes has its base shortened, never cutting a UTF-8 character.
    [[nodiscard]] static std::string numberedName(std::string_view name, unsigned number, std::size_t limit = 255);

    // Moves `item` (a final symbolic link is moved, not followed) into the Trash of its file system,
    // with `home` as the owner's home folder and `user` as the owner of the Trash folders, and
    // returns the item's new path. A `session` is recorded in the item's info file (TrashInfo),
    // which is written before the item moves: whatever happens to the caller after the move, the
    // item can be found as part of its run.
    static std::expected<std::filesystem::path, FileError> moveToTrash(const std::filesystem::path& item,
                                                                       const std::filesystem::path& home, uid_t user,
                                                                       std::string_view session = {});

    // The same for an item already opened by its caller: `parentFd` is the folder that holds it and
    // `item` the absolute path it was judged by, whose last component names it inside `parentFd`.
    // The folder is never looked up again by path, so a link swapped in on the way changes nothing.
    static std::expected<std::filesystem::path, FileError> moveToTrash(int parentFd, const std::filesystem::path& item,
                                                                       const std::filesystem::path& home, uid_t user,
                                                                       std::string_view session = {});

    // An item in a Trash whose info file records a session.
    struct SessionRecord {
        std::string session;            // as recorded
        std::filesystem::path trashed;  // the item in the Trash's files/
        std::string originalPath;       // where it came from, absolute
        std::uint64_t fileNumber = 0;   // the item's, as it is now
        TimePoint recorded;             // when its info file was written
    };

    // Every item in this user's Trash folders (the home Trash of `home`, and "<top>/.Trash/<uid>"
    // and "<top>/.Trash-<uid>" of each mounted file system) whose info file records a session,
    // and that is still there. Folders that are not the user's own are passed over; unreadable or
    // damaged info files are skipped.
    [[nodiscard]] static std::vector<SessionRecord> sessionRecords(const std::filesystem::path& home, uid_t user);

    // The home Trash folder of the user whose home is `home` (not created): "$XDG_DATA_HOME/Trash"
    // when that variable holds an absolute path, else "<home>/.local/share/Trash".
    [[nodiscard]] static std::filesystem::path homeTrash(const std::filesystem::path& home);

    // Whether `folder` (an absolute path) is the "files" folder of a Trash or lies below it, or
    // lies below a Trash folder of an earlier version (".Trash", ".Trashes").
    [[nodiscard]] static bool holdsTrashedItems(std::string_view folder);

    // After `trashedItem` left a Trash's "files" folder (emptied or put back): removes its info
    // file, if it has one. Returns whether one was removed. A missing or unreadable info file is
    // not an error: the item is gone either way.
    static bool forgetInfo(const std::filesystem::path& trashedItem);

    // MARK: Acting for another user (the privileged helper)

    [[nodiscard]] static std::optional<Account> account(uid_t user);

    // Opens the home Trash "<home>/.local/share/Trash" of `account` (its data folder setting is
    // the user's own business, not the caller's), with its "files" and "info" folders. The home
    // folder must belong to the user (a link at its place counts only when root made it), and each
    // folder below it (".local", "share", "Trash", "files", "info") must be a real folder belonging
    // to the user; otherwise nothing is created and the error names the folder at fault.
    static std::expected<Held, FileError> openUserTrash(const Account& account);
    static std::expected<Held, FileError> openUserTrash(uid_t user);

    // Creates whatever is missing of that Trash, each folder with mode 0700 and belonging to the
    // user, under the same rules.
    static std::expected<void, FileError> prepareUserTrash(const Account& account);
    static std::expected<void, FileError> prepareUserTrash(uid_t user);

    // Moves the item named by the last component of `item` in `parentFd` into `trash` under a
    // free name, its info file (recording `item`, belonging to the Trash's user) written first,
    // and returns the item's new path. On another file system the item is copied into the Trash
    // through its descriptors (owner, mode, times and content kept) and then removed through
    // `parentFd`; if it changed meanwhile, the copy stays in the Trash and the item where it was.
    static std::expected<std::filesystem::path, FileError> moveIntoTrash(const Held& trash, int parentFd,
                                                                         const std::filesystem::path& item);
};

}  // namespace vornelo::platform
