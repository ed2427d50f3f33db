#pragma once
// One open regular file, and whole-file replacement.
//
// Opening never follows a final symbolic link and refuses anything that is not a regular file
// (opening is non-blocking, so a FIFO planted at the path cannot stall the caller). Descriptors
// are O_CLOEXEC and closed when the object goes away; interrupted calls are retried.
// Files created here get the process's default permissions (0666 less the umask).
//
// Thread safety: an object is for one thread at a time; the static functions may be called from
// any thread.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vornelo::platform {

class RegularFile {
public:
    [[nodiscard]] static std::expected<RegularFile, FileError> openForReading(const std::filesystem::path& path);
    // Opens for reading and appending, creating the file when it is missing (not its folder);
    // every write goes to the end.
    [[nodiscard]] static std::expected<RegularFile, FileError> openForAppending(const std::filesystem::path& path);

    // The size now, and the size when the file was opened (no system call).
    [[nodiscard]] std::expected<std::int64_t, FileError> size() const;
    [[nodiscard]] std::int64_t sizeWhenOpened() const { return sizeWhenOpened_; }

    // Reads from offset until the buffer is full or the file ends (a short read of a regular file
    // means its end); returns the count read.
    [[nodiscard]] std::expected<std::size_t, FileError> read(std::int64_t offset, std::span<char> buffer) const;

    // Writes every byte at the end of the file, or none: after a write that fails part-way the
    // file is cut back by what was written, so no fragment is left behind.
    [[nodiscard]] std::expected<void, FileError> append(std::string_view bytes);

    // The whole file, refused when it is larger than maxBytes.
    [[nodiscard]] static std::expected<std::string, FileError> contents(const std::filesystem::path& path,
                                                                       std::size_t maxBytes);
    // The same, refused (ELOOP) when any folder on the way is a symbolic link too, in one lookup.
    [[nodiscard]] static std::expected<std::string, FileError> contentsThroughNoLink(const std::filesystem::path& path,
                                                                                    std::size_t maxBytes);

    // Replaces whatever is at path with a new file holding bytes, as FileReplacement does.
    static std::expected<void, FileError> replaceContents(const std::filesystem::path& path, std::string_view bytes);

private:
    RegularFile(FileDescriptor descriptor, std::filesystem::path path, std::int64_t size)
        : descriptor_(std::move(descriptor)), path_(std::move(path)), sizeWhenOpened_(size) {}

    static std::expected<RegularFile, FileError> open(const std::filesystem::path& path, int flags,
                                                      FileOperation operation, bool noLinkOnTheWay = false);
    static std::expected<std::string, FileError> contents(std::expected<RegularFile, FileError> file, std::size_t maxBytes);

    FileDescriptor descriptor_;
    std::filesystem::path path_;
    std::int64_t sizeWhenOpened_;
};

}  // namespace vornelo::platform
