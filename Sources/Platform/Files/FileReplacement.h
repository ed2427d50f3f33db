#pragma once
// Replaces a file as a whole. The new contents go to a temporary file in the target's folder,
// written in as many pieces as the caller likes; commit() renames it over the target, so a reader
// sees the old file or the complete new one, never a part. Whatever is at the target (a link
// included) is replaced, not followed. Not flushed to the device: it survives the writer being
// killed, not a power cut. The new file gets the process's default permissions (0666 less the
// umask).
//
// An abandoned replacement (not committed, or a failed write or commit) removes its temporary
// file and leaves the target untouched.
//
// Thread safety: an object is for one thread at a time.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace vornelo::platform {

class FileReplacement {
public:
    [[nodiscard]] static std::expected<FileReplacement, FileError> begin(const std::filesystem::path& target);

    FileReplacement(FileReplacement&& other) noexcept
        : descriptor_(std::move(other.descriptor_)),
          target_(std::move(other.target_)),
          temporary_(std::exchange(other.temporary_, {})) {}
    FileReplacement& operator=(FileReplacement&&) = delete;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    [[nodiscard]] std::expected<void, FileError> write(std::string_view bytes);
    // Puts the new file in place; the object is spent either way.
    [[nodiscard]] std::expected<void, FileError> commit();

private:
    FileReplacement(FileDescriptor descriptor, std::string target, std::string temporary)
        : descriptor_(std::move(descriptor)), target_(std::move(target)), temporary_(std::move(temporary)) {}

    std::unexpected<FileError> abandon(int error);

    FileDescriptor descriptor_;
    std::string target_;
    std::string temporary_;  // empty once committed or abandoned
};

}  // namespace vornelo::platform
