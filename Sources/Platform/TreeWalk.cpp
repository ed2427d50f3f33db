#include "Platform/TreeWalk.h"

#include "Platform/DirectoryStream.h"
#include "Platform/FileDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vornelo::platform {

namespace {

constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr unsigned statxMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_BLOCKS;

// One open folder on the way down. Levels are kept per depth and reused, so their buffers are
// allocated once per depth reached, not once per folder.
struct Level {
    FileDescriptor fd;
    std::vector<char> buffer;
    std::optional<DirectoryStream> stream;
    std::size_t pathLength = 0;
    dev_t device = 0;
};

FileType typeFromMode(mode_t mode) {
    if (S_ISREG(mode)) return FileType::regular;
    if (S_ISDIR(mode)) return FileType::directory;
    if (S_ISLNK(mode)) return FileType::symbolicLink;
    return FileType::other;
}

FileType typeFromEntry(unsigned char type) {
    switch (type) {
        case DT_REG: return FileType::regular;
        case DT_DIR: return FileType::directory;
        case DT_LNK: return FileType::symbolicLink;
        default: return FileType::other;
    }
}

bool needsExamination(unsigned char type) { return type == DT_REG || type == DT_DIR || type == DT_UNKNOWN; }

class Walker {
public:
    Walker(const std::filesystem::path& start, const TreeWalkVisitor& visitor)
        : visitor_(visitor), path_(start.native()) {
        while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
    }

    std::expected<TreeWalkEnd, FileError> run() {
        FileDescriptor root(retryOnInterrupt([&] { return ::open(path_.c_str(), directoryOpenFlags); }));
        if (!root) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_));
        struct stat info {};
        if (::fstat(root.get(), &info) != 0) {
            return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path_));
        }
        push(std::move(root), info.st_dev, path_.size());
        while (depth_ > 0) {
            if (step() == TreeWalkEnd::stopped) return TreeWalkEnd::stopped;
        }
        return TreeWalkEnd::completed;
    }

private:
    Level& current() { return *levels_[depth_ - 1]; }

    void push(FileDescriptor fd, dev_t device, std::size_t pathLength) {
        if (levels_.size() < depth_ + 1) levels_.push_back(std::make_unique<Level>());
        Level& level = *levels_[depth_];
        level.fd = std::move(fd);
        level.stream.emplace(level.fd.get(), level.buffer);
        level.device = device;
        level.pathLength = pathLength;
        ++depth_;
    }

    void pop() {
        Level& level = current();
        level.stream.reset();
        level.fd.reset();
        --depth_;
        path_.resize(depth_ > 0 ? current().pathLength : path_.size());
    }

    std::string childPath(std::string_view name) const {
        std::string child = path_;
        if (child.empty() || child.back() != '/') child.push_back('/');
        child.append(name);
        return child;
    }

    void report(const std::string& path, int error) const {
        if (visitor_.failed) visitor_.failed(std::filesystem::path(path), FileError::fromErrno(error, FileOperation::read, path));
    }

    bool mayContinue() {
        ++counter_;
        if (!visitor_.shouldContinue || visitor_.checkInterval == 0) return true;
        if (counter_ % visitor_.checkInterval != 0) return true;
        return visitor_.shouldContinue();
    }

    TreeWalkEnd step() {
        Level& level = current();
        DirectoryStreamEntry entry{};
        switch (level.stream->next(entry)) {
            case DirectoryStream::Step::end: pop(); return TreeWalkEnd::completed;
            case DirectoryStream::Step::error:
                report(path_, level.stream->error());
                pop();
                return TreeWalkEnd::completed;
            case DirectoryStream::Step::entry: break;
        }
        if (!mayContinue()) return TreeWalkEnd::stopped;

        TreeWalkItem item;
        item.parentPath = path_;
        item.name = entry.name;
        item.depth = depth_;
        item.fileNumber = entry.fileNumber;
        item.type = typeFromEntry(entry.type);
        dev_t device = level.device;
        if (needsExamination(entry.type)) {
            struct statx info {};
            const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
            if (::statx(level.fd.get(), item.name.data(), flags, statxMask, &info) != 0) {
                report(childPath(entry.name), errno);
                return TreeWalkEnd::completed;
            }
            item.type = typeFromMode(info.stx_mode);
            item.size = static_cast<std::int64_t>(info.stx_size);
            item.allocatedSize = static_cast<std::int64_t>(info.stx_blocks) * 512;
            item.fileNumber = info.stx_ino;
            device = makedev(info.stx_dev_major, info.stx_dev_minor);
            const bool markedRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                    (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
            item.isVolumeRoot = item.type == FileType::directory && (markedRoot || device != level.device);
        }

        const TreeWalkAction action = visitor_.visit(item);
        if (action == TreeWalkAction::stop) return TreeWalkEnd::stopped;
        if (item.type != FileType::directory || action != TreeWalkAction::proceed) return TreeWalkEnd::completed;
        descend(entry.name, device, item.fileNumber);
        return TreeWalkEnd::completed;
    }

    void descend(std::string_view name, dev_t device, std::uint64_t fileNumber) {
        Level& parent = current();
        // The name points into the parent's buffer, NUL-terminated as the kernel wrote it.
        FileDescriptor child(retryOnInterrupt([&] { return ::openat(parent.fd.get(), name.data(), directoryOpenFlags); }));
        if (!child) {
            report(childPath(name), errno);
            return;
        }
        // The folder could have been swapped for another (or had a file system mounted on it)
        // between the look and the open; what is open now is not what was visited.
        struct stat info {};
        if (::fstat(child.get(), &info) != 0 || info.st_dev != device || info.st_ino != fileNumber) {
            report(childPath(name), EAGAIN);
            return;
        }
        if (path_.empty() || path_.back() != '/') path_.push_back('/');
        path_.append(name);
        push(std::move(child), device, path_.size());
    }

    const TreeWalkVisitor& visitor_;
    std::string path_;
    std::vector<std::unique_ptr<Level>> levels_;
    std::size_t depth_ = 0;
    std::uint64_t counter_ = 0;
};

}  // namespace

std::expected<TreeWalkEnd, FileError> walkTree(const std::filesystem::path& start, const TreeWalkVisitor& visitor) {
    return Walker(start, visitor).run();
}

}  // namespace vornelo::platform
