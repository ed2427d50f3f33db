#pragma once
// Reading the bytes of files a walk found, to compare their contents. A ContentRoot holds the
// folder a walk started from; each file below it is opened in one lookup that refuses every
// symbolic link and never leaves the folder, with O_NOATIME where the kernel allows it (so
// reading changes nothing on disk), and non-blocking, so that a FIFO swapped in cannot stall the
// reader. Only a regular file is read, and only while it is the very file the walk saw: its stamp
// (device, file number, size and change times) is taken when it is opened and can be taken again
// after reading, so that a file changed meanwhile is told apart.
//
// Thread safety: a ContentRoot may be shared by any number of threads; a ContentReader belongs to
// one thread at a time.

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileError.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct TreeWalkItem;

// What tells a file from its changed self.
struct FileStamp {
    dev_t device = 0;
    std::uint64_t fileNumber = 0;
    std::int64_t size = 0;
    TimePoint modificationDate{};
    TimePoint statusChangeDate{};

    [[nodiscard]] static FileStamp of(const TreeWalkItem& item);
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

class ContentReader {
public:
    // How the file will be read, so the kernel can read ahead accordingly.
    enum class Access { whole, blocks };

    const FileStamp& stamp() const { return stamp_; }  // as opened

    // Reads from `offset` until the buffer is full or the file ends; returns the count read.
    [[nodiscard]] std::expected<std::size_t, FileError> read(std::int64_t offset, std::span<std::byte> buffer) const;
    // The stamp now: different from stamp() when the file changed while it was open.
    [[nodiscard]] std::expected<FileStamp, FileError> currentStamp() const;

private:
    friend class ContentRoot;
    friend class ContentFolder;
    ContentReader(FileDescriptor fd, FileStamp stamp, std::string path)
        : fd_(std::move(fd)), stamp_(stamp), path_(std::move(path)) {}
    // The item just opened (or -1 with errno set) as a reader: a regular file only.
    static std::expected<ContentReader, FileError> adopt(int opened, std::string path, Access access);

    FileDescriptor fd_;
    FileStamp stamp_;
    std::string path_;  // for errors
};

// A folder below a ContentRoot, held open so that the files it holds are opened by their names
// alone, without looking the folders above them up again.
class ContentFolder {
public:
    // The regular file `name` (one component) in this folder, under the rules of ContentRoot.
    [[nodiscard]] std::expected<ContentReader, FileError> openFile(std::string_view name, ContentReader::Access access) const;

private:
    friend class ContentRoot;
    ContentFolder(FileDescriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    FileDescriptor fd_;
    std::string path_;
};

class ContentRoot {
public:
    // A final symbolic link is not followed.
    [[nodiscard]] static std::expected<ContentRoot, FileError> open(const std::filesystem::path& folder);

    const std::string& path() const { return path_; }

    // The regular file at `relative` (below the folder, no leading "/"); anything else is refused
    // (EINVAL), as is a path through a symbolic link (ELOOP) or out of the folder (EXDEV).
    [[nodiscard]] std::expected<ContentReader, FileError> openFile(std::string_view relative,
                                                                   ContentReader::Access access) const;
    // The folder at `relative` (empty: the root itself), under the same rules.
    [[nodiscard]] std::expected<ContentFolder, FileError> openFolder(std::string_view relative) const;

private:
    ContentRoot(FileDescriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    FileDescriptor fd_;
    std::string path_;
};

}  // namespace vornelo::platform
