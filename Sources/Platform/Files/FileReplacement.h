#pragma once
// Replaces a file as a whole. The new contents go to a temporary file in the target's folder,
// written in as many pieces as the caller likes; commit() renames it over the target, so a reader
// sees the old file or the complete new one, never a part. Not flushed to the device: it survives
// the writer being killed, not a power cut.
//
// begin() is for the program's own files (the log's totals): whatever is at the target (a link
// included) is replaced, not followed, and the new file gets the process's default permissions
// (0666 less the umask).
//
// beginNamed() is for a path a person named (an export, a signature), where what is there is
// theirs to keep:
// - nothing: a new file, put in place by a rename that never replaces;
// - a regular file: replaced as a whole, keeping its mode (and its owner, when root replaces it),
//   by an exchange that is undone should it meet anything but a regular file;
// - a character device (a terminal, /dev/null), a FIFO: written directly, never replaced;
// - a symbolic link made by root or by this user that leads to one of those (/dev/stdout, a
//   terminal): written through; any other link, a folder, a block device or a socket is refused
//   with a sentence naming it. A link is never replaced by a file.
// standardOutput() writes to the process's standard output.
//
// An abandoned replacement (not committed, or a failed write or commit) removes its temporary
// file and leaves the target untouched; what was written directly stays written.
//
// Thread safety: an object is for one thread at a time.

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <sys/stat.h>

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace vornelo::platform {

class FileReplacement {
public:
    [[nodiscard]] static std::expected<FileReplacement, FileError> begin(const std::filesystem::path& target);
    [[nodiscard]] static std::expected<FileReplacement, FileError> beginNamed(const std::filesystem::path& target);
    [[nodiscard]] static FileReplacement standardOutput();

    FileReplacement(FileReplacement&& other) noexcept
        : descriptor_(std::move(other.descriptor_)),
          target_(std::move(other.target_)),
          temporary_(std::exchange(other.temporary_, {})),
          way_(other.way_),
          replacing_(other.replacing_),
          spent_(std::exchange(other.spent_, true)) {}
    FileReplacement& operator=(FileReplacement&&) = delete;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    [[nodiscard]] std::expected<void, FileError> write(std::string_view bytes);
    // Puts the new file in place (or, written directly, reports a late error); the object is
    // spent either way.
    [[nodiscard]] std::expected<void, FileError> commit();

private:
    enum class Way {
        replaceAnything,  // begin(): a rename over whatever is there
        create,           // beginNamed() found nothing: a rename that never replaces
        replaceFile,      // beginNamed() found a regular file: an exchange with it
        direct,           // written into what is there
        standardOutput,
    };

    FileReplacement(FileDescriptor descriptor, std::string target, std::string temporary, Way way)
        : descriptor_(std::move(descriptor)), target_(std::move(target)), temporary_(std::move(temporary)), way_(way) {}

    static std::expected<FileReplacement, FileError> beginTemporary(const std::string& target, Way way);
    std::unexpected<FileError> abandon(int error);
    std::expected<void, FileError> putInPlace();

    FileDescriptor descriptor_;
    std::string target_;
    std::string temporary_;  // empty once committed or abandoned, and when written directly
    Way way_;
    struct stat replacing_ {};  // the regular file found at the target, for replaceFile
    bool spent_ = false;
};

}  // namespace vornelo::platform
