// Removal that never leaves the tree it removes: every folder is opened relative to its parent
// with O_NOFOLLOW, every entry unlinked relative to its folder.

#include "Platform/Files/DirectoryStream.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileTree.h"
#include "Platform/Files/HeldItem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <vector>

namespace vornelo::platform {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Entries created while a folder is being emptied are picked up by another pass, a few times.
constexpr int maxPasses = 4;

bool isMountRoot(int fd) {
    struct statx info {};
    return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &info) == 0 &&
           (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Whether an unlink failed because the entry is a folder. Permission is checked before the type,
// so a folder in a folder we may not write to fails with EACCES or EPERM rather than EISDIR; it
// is still worth emptying. errno is left as the unlink set it.
bool isFolderAfterFailedUnlink(int parentFd, const char* name) {
    const int error = errno;
    if (error == EISDIR) return true;
    if (error != EACCES && error != EPERM) return false;
    struct stat info {};
    const bool folder = ::fstatat(parentFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    errno = error;
    return folder;
}

class Remover {
public:
    Remover(std::string path, std::stop_token stop) : path_(std::move(path)), stop_(std::move(stop)) {}

    std::int64_t removed() const { return removed_; }

    std::expected<void, FileError> run(int parentFd, const char* name) {
        rootParentFd_ = parentFd;
        rootName_ = name;
        if (::unlinkat(parentFd, name, 0) == 0) {
            ++removed_;
            return {};
        }
        if (!isFolderAfterFailedUnlink(parentFd, name)) {
            return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path_));
        }
        struct stat parentInfo {};
        if (::fstat(parentFd, &parentInfo) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::write, path_));
        if (!enter(parentFd, name, parentInfo.st_dev, path_.size())) return finish();
        while (!levels_.empty() && depth_ > 0) {
            // Checked per entry, so that even a folder of millions stops at once.
            if (stop_.stop_requested()) return std::unexpected(FileError::fromErrno(ECANCELED, FileOperation::write, path_));
            step();
        }
        return finish();
    }

private:
    struct Level {
        FileDescriptor fd;
        std::vector<char> buffer;
        std::optional<DirectoryStream> stream;
        dev_t device = 0;
        std::size_t nameOffset = 0;   // where this folder's name starts in path_
        std::size_t pathLength = 0;
        int passes = 0;
        bool removedThisPass = false;
    };

    std::expected<void, FileError> finish() const {
        if (firstError_) return std::unexpected(*firstError_);
        return {};
    }

    void note(int error, const std::string& path) {
        if (!firstError_) firstError_ = FileError::fromErrno(error, FileOperation::write, path);
    }

    Level& current() { return *levels_[depth_ - 1]; }
    Level* parentLevel() { return depth_ >= 2 ? levels_[depth_ - 2].get() : nullptr; }

    // Opens a folder to empty it. False when it cannot be entered (the reason is noted), or when it
    // turned out not to be a folder and was unlinked instead.
    bool enter(int parentFd, const char* name, dev_t parentDevice, std::size_t nameOffset) {
        const std::string path = path_;
        FileDescriptor fd(retryOnInterrupt([&] { return ::openat(parentFd, name, folderFlags); }));
        if (!fd) {
            // Replaced by a link or a file since it was seen: remove that instead, unfollowed.
            if ((errno == ELOOP || errno == ENOTDIR) && ::unlinkat(parentFd, name, 0) == 0) {
                ++removed_;
                return false;
            }
            note(errno, path);
            return false;
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) {
            note(errno, path);
            return false;
        }
        if (info.st_dev != parentDevice || isMountRoot(fd.get())) {
            note(EBUSY, path);
            return false;
        }
        if (levels_.size() < depth_ + 1) levels_.push_back(std::make_unique<Level>());
        Level& level = *levels_[depth_];
        level.fd = std::move(fd);
        level.stream.emplace(level.fd.get(), level.buffer);
        level.device = info.st_dev;
        level.nameOffset = nameOffset;
        level.pathLength = path_.size();
        level.passes = 1;
        level.removedThisPass = false;
        ++depth_;
        return true;
    }

    void leave() {
        Level& level = current();
        level.stream.reset();
        level.fd.reset();
        path_.resize(level.pathLength);
        Level* parent = parentLevel();
        // Below the start, path_ now ends with this folder's name: its tail is the name.
        const char* name = parent ? path_.c_str() + level.nameOffset : rootName_.c_str();
        const std::string path = path_;
        --depth_;
        const int parentFd = parent ? parent->fd.get() : rootParentFd_;
        if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
            note(errno, path);
        } else {
            ++removed_;
            if (parent) parent->removedThisPass = true;
        }
        if (depth_ > 0) path_.resize(current().pathLength);
    }

    void step() {
        Level& level = current();
        DirectoryStreamEntry entry{};
        switch (level.stream->next(entry)) {
            case DirectoryStream::Step::error:
                note(level.stream->error(), path_);
                leave();
                return;
            case DirectoryStream::Step::end:
                if (level.removedThisPass && level.passes < maxPasses) {
                    ++level.passes;
                    level.removedThisPass = false;
                    level.stream->rewind();
                    return;
                }
                leave();
                return;
            case DirectoryStream::Step::entry: break;
        }
        const std::size_t nameOffset = path_.size() + 1;
        if (entry.type != DT_DIR) {
            if (::unlinkat(level.fd.get(), entry.name.data(), 0) == 0) {
                ++removed_;
                level.removedThisPass = true;
                return;
            }
            if (!isFolderAfterFailedUnlink(level.fd.get(), entry.name.data())) {
                note(errno, path_ + "/" + std::string(entry.name));
                return;
            }
        }
        path_.push_back('/');
        path_.append(entry.name);
        if (!enter(level.fd.get(), entry.name.data(), level.device, nameOffset)) {
            path_.resize(nameOffset - 1);
        }
    }

    std::string path_;
    std::stop_token stop_;
    std::string rootName_;
    std::vector<std::unique_ptr<Level>> levels_;
    std::size_t depth_ = 0;
    int rootParentFd_ = -1;
    std::int64_t removed_ = 0;
    std::optional<FileError> firstError_;
};

}  // namespace

std::expected<void, FileError> removeEntryAt(int parentFd, const char* name, const std::string& path,
                                             std::int64_t* removedEntries, std::stop_token stop) {
    Remover remover(path, std::move(stop));
    auto removed = remover.run(parentFd, name);
    if (removedEntries) *removedEntries = remover.removed();
    return removed;
}

std::expected<void, FileError> FileManager::removeItem(const std::filesystem::path& item) const {
    auto held = holdItem(item);
    if (!held) return std::unexpected(held.error());
    return removeHeldItem(*held);
}

std::expected<void, FileError> FileManager::removeHeldItem(const HeldItem& item, std::int64_t* removedEntries,
                                                           std::stop_token stop) const {
    return item.remove(removedEntries, std::move(stop));
}

}  // namespace vornelo::platform
