#pragma once
// Descriptor-level pieces of the file manager's removal and cross-volume move, shared by the two
// and by the Trash.
// Every name is taken relative to an open folder, so no path is followed twice.
//
// Thread safety: stateless; callable from any thread.

#include "Platform/Files/FileError.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <stop_token>
#include <string>

namespace vornelo::platform {

// Removes `name` inside the folder `parentFd` and, for a folder, all it holds, never following a
// link and never entering another mounted file system. `path` names the item in errors. Goes on
// past failing entries and returns the first error; `removedEntries`, when given, counts every
// entry that went, so a caller can tell a partial removal from none. A stop requested on `stop`
// ends the removal at its next entry with ECANCELED, leaving the rest in place.
std::expected<void, FileError> removeEntryAt(int parentFd, const char* name, const std::string& path,
                                             std::int64_t* removedEntries = nullptr, std::stop_token stop = {});

// A copy of an entry, made where no one else can reach it: inside a folder of its own that it
// creates in the target folder (mode 0700, an unpredictable name, checked once opened to be an
// empty folder of this process's user that no one else may enter) and holds by descriptor. So on
// any failure only what the copy itself made is removed, through that descriptor, never what
// stands at some name; a peer who can write the target folder can rename that folder, not reach
// into it. The copy keeps owner (where permitted), mode, times and extended attributes; links are
// copied as links; a folder with another file system mounted inside is refused (EBUSY).
//
// The copy leaves its folder by a rename that never replaces (publish, or the caller's own
// renameat2 from folder() followed by published()); a folder's own mode and times are set only
// then, so that it can be moved while it is still writable. The emptied folder is then removed by
// name, which can take nothing but an empty folder that its writer could remove as well.
//
// Thread safety: an object is for one thread at a time.
class StagedCopy {
public:
    // Copies `sourceName` inside `sourceParentFd` into a new folder inside `targetParentFd`.
    // `sourcePath` and `targetParentPath` name them in errors. A stop requested on `stop` ends the
    // copy within a few megabytes with ECANCELED, and what it made goes.
    [[nodiscard]] static std::expected<StagedCopy, FileError> make(int sourceParentFd, const char* sourceName,
                                                                   const std::string& sourcePath, int targetParentFd,
                                                                   const std::string& targetParentPath,
                                                                   std::stop_token stop = {});
    StagedCopy(StagedCopy&& other) noexcept;
    StagedCopy& operator=(StagedCopy&&) = delete;
    StagedCopy(const StagedCopy&) = delete;
    StagedCopy& operator=(const StagedCopy&) = delete;
    // Unless published: the copy goes (inside its own folder), then the folder.
    ~StagedCopy();

    // The folder holding the copy, and the copy's name in it.
    int folder() const;
    const std::string& name() const { return name_; }

    // Renames the copy to `name` in `targetFolder` (never replacing anything): 0, or the errno
    // (EEXIST: the name is taken).
    [[nodiscard]] int publish(int targetFolder, const std::string& name);
    // After the caller renamed the copy out of folder() itself.
    void published();

private:
    struct State;
    explicit StagedCopy(std::unique_ptr<State> state, std::string name);
    std::unique_ptr<State> state_;
    std::string name_;
};

}  // namespace vornelo::platform
