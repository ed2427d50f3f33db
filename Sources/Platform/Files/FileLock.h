#pragma once
// An advisory lock (flock) on a small file that several processes sharing other files agree on,
// and a change counter kept in that file: a process that changes the shared files adds one while
// it holds the lock, so another learns with one read whether what it cached is still true.
//
// Opening never follows a final symbolic link and refuses anything that is not a regular file.
// A lock file that cannot be opened for writing (left by another user) is opened for reading: it
// still locks, but its counter cannot be raised (writable() is false). After locking, the path is
// checked to still name the file locked, so a lock file deleted and made anew is never locked
// twice over. The file gets the process's default permissions (0666 less the umask).
//
// Thread safety: an object is for one thread at a time.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <utility>

namespace vornelo::platform {

class FileLock {
public:
    // Releases the lock when it goes away.
    class Hold {
    public:
        explicit Hold(FileLock* lock) : lock_(lock) {}
        Hold(Hold&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
        Hold& operator=(Hold&&) = delete;
        Hold(const Hold&) = delete;
        ~Hold();

    private:
        FileLock* lock_;
    };

    // create: make the file when it is missing (not its folder).
    [[nodiscard]] static std::expected<FileLock, FileError> open(const std::filesystem::path& path, bool create);

    // Waits for the lock: exclusive for writers, shared for readers.
    [[nodiscard]] std::expected<Hold, FileError> lock(bool exclusive);

    [[nodiscard]] bool writable() const { return writable_; }
    // The stored counter; 0 for an empty or short file.
    [[nodiscard]] std::uint64_t counter() const;
    // Raises the stored counter by one (the lock held exclusively); the new value, or nothing when
    // the file is not writable or the write failed.
    [[nodiscard]] std::optional<std::uint64_t> advance();

private:
    FileLock(FileDescriptor descriptor, std::filesystem::path path, bool writable, bool create)
        : descriptor_(std::move(descriptor)), path_(std::move(path)), writable_(writable), create_(create) {}

    // Whether the path still names the open file.
    [[nodiscard]] bool stillAtPath() const;

    FileDescriptor descriptor_;
    std::filesystem::path path_;
    bool writable_;
    bool create_;
};

}  // namespace vornelo::platform
