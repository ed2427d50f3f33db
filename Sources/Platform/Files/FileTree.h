#pragma once
// Descriptor-level pieces of the file manager's removal and cross-volume move, shared by the two.
// Every name is taken relative to an open folder, so no path is followed twice.
//
// Thread safety: stateless; callable from any thread.

#include "Platform/Files/FileError.h"

#include <cstdint>
#include <expected>
#include <string>

namespace vornelo::platform {

// Removes `name` inside the folder `parentFd` and, for a folder, all it holds, never following a
// link and never entering another mounted file system. `path` names the item in errors. Goes on
// past failing entries and returns the first error; `removedEntries`, when given, counts every
// entry that went, so a caller can tell a partial removal from none.
std::expected<void, FileError> removeEntryAt(int parentFd, const char* name, const std::string& path,
                                             std::int64_t* removedEntries = nullptr);

// Copies `sourceName` inside `sourceParentFd` to `targetName` inside `targetParentFd`, which must
// not exist yet (never replaced), with owner (where permitted), mode, times and extended attributes.
// Links are copied as links. Refuses (EBUSY) a folder with another file system mounted inside.
// On failure the partial copy is removed again.
std::expected<void, FileError> copyEntryAt(int sourceParentFd, const char* sourceName, const std::string& sourcePath,
                                           int targetParentFd, const char* targetName, const std::string& targetPath);

}  // namespace vornelo::platform
