#include "Platform/Files/TreeWalk.h"

#include "Platform/Concurrency/ConcurrentPerform.h"
#include "Platform/Files/DirectoryStream.h"
#include "Platform/Files/FileDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornelo::platform {

namespace {

constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr unsigned statxMask =
    STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_BLOCKS | STATX_NLINK | STATX_MTIME | STATX_ATIME | STATX_CTIME;

TimePoint timeOf(const struct statx_timestamp& stamp) {
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(std::chrono::seconds(stamp.tv_sec) +
                                                                     std::chrono::nanoseconds(stamp.tv_nsec))};
}

// O_NOATIME is refused (EPERM) on a folder the caller may not act for; it is then opened plainly.
int openFolderAt(int parentFd, const char* name, bool noAccessTime) {
    if (noAccessTime) {
        const int fd = retryOnInterrupt([&] { return ::openat(parentFd, name, directoryOpenFlags | O_NOATIME); });
        if (fd >= 0 || errno != EPERM) return fd;
    }
    return retryOnInterrupt([&] { return ::openat(parentFd, name, directoryOpenFlags); });
}

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

// An open folder whose entries still have to be walked.
struct Task {
    FileDescriptor fd;
    std::string path;
    dev_t device = 0;
    std::size_t depth = 0;  // of the folder itself; its entries are one deeper
    std::uintptr_t tag = 0;
};

// What the threads of one walk share. In a sequential walk only `stopped` and `counter` are used.
class SharedWalk {
public:
    SharedWalk(const TreeWalkVisitor& visitor, bool parallel) : visitor_(visitor), parallel_(parallel) {}

    const TreeWalkVisitor& visitor() const { return visitor_; }
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
    void stop() {
        stopped_.store(true);
        if (!parallel_) return;
        std::lock_guard guard(queueMutex_);
        queueChanged_.notify_all();
    }

    // Counts the entry and, at each check point, asks the caller whether to go on.
    bool mayContinue() {
        if (stopped()) return false;
        const auto count = counter_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (!visitor_.shouldContinue || visitor_.checkInterval == 0 || count % visitor_.checkInterval != 0) return true;
        bool goOn = false;
        {
            auto guard = callGuard();
            if (stopped()) return false;
            goOn = visitor_.shouldContinue();
        }
        // Through stop(), which wakes every waiting thread: a thread woken for a folder handed off
        // just before sees the stop and leaves the folder queued, so the pending count never
        // reaches zero and a thread nobody woke would wait forever.
        if (!goOn) stop();
        return goOn;
    }

    TreeWalkAction visit(const TreeWalkItem& item) {
        if (stopped()) return TreeWalkAction::stop;
        return visitor_.visit(item);
    }

    void failed(const std::string& path, int error) {
        if (!visitor_.failed) return;
        visitor_.failed(std::filesystem::path(path), FileError::fromErrno(error, FileOperation::read, path));
    }

    // Whether a thread may be waiting for work: a cheap look before a path is spelled out.
    bool mayHandOff() const { return parallel_ && waiting_.load(std::memory_order_relaxed) > 0; }

    // Gives a folder to a thread that is waiting for work; false leaves the task with the caller.
    bool handOff(Task& task) {
        if (!parallel_) return false;
        {
            std::lock_guard guard(queueMutex_);
            if (waiting_.load(std::memory_order_relaxed) <= queue_.size()) return false;
            queue_.push_back(std::move(task));
            ++pending_;
        }
        queueChanged_.notify_one();
        return true;
    }

    void start(Task root) {
        std::lock_guard guard(queueMutex_);
        queue_.push_back(std::move(root));
        pending_ = 1;
    }

    // The next folder to walk, or nothing when the walk is over.
    std::optional<Task> take() {
        std::unique_lock lock(queueMutex_);
        ++waiting_;
        queueChanged_.wait(lock, [this] { return !queue_.empty() || pending_ == 0 || stopped(); });
        --waiting_;
        if (queue_.empty() || stopped()) return std::nullopt;
        Task task = std::move(queue_.back());
        queue_.pop_back();
        return task;
    }

    void finished() {
        std::lock_guard guard(queueMutex_);
        if (--pending_ == 0) queueChanged_.notify_all();
    }

private:
    // The caller's predicate is never asked twice at once; in a sequential walk there is nothing
    // to exclude.
    std::unique_lock<std::mutex> callGuard() {
        return parallel_ ? std::unique_lock<std::mutex>(callMutex_) : std::unique_lock<std::mutex>();
    }

    const TreeWalkVisitor& visitor_;
    const bool parallel_;
    std::atomic<bool> stopped_{false};
    std::atomic<std::uint64_t> counter_{0};
    std::mutex callMutex_;

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::vector<Task> queue_;
    std::atomic<std::size_t> waiting_{0};  // changed under queueMutex_, peeked at without it
    std::size_t pending_ = 0;
};

// One thread's depth-first walk. Levels are kept per depth and reused, so their buffers are
// allocated once per depth reached, not once per folder.
class Walker {
public:
    Walker(SharedWalk& shared, std::size_t worker) : shared_(shared), worker_(worker) {}

    void run(Task task) {
        path_ = std::move(task.path);
        baseDepth_ = task.depth;
        push(std::move(task.fd), task.device, path_.size(), task.tag);
        while (depth_ > 0) {
            if (!step()) break;
        }
        while (depth_ > 0) pop();
    }

private:
    struct Level {
        FileDescriptor fd;
        std::vector<char> buffer;
        std::optional<DirectoryStream> stream;
        std::size_t pathLength = 0;
        dev_t device = 0;
        std::uintptr_t tag = 0;
    };

    Level& current() { return *levels_[depth_ - 1]; }

    void push(FileDescriptor fd, dev_t device, std::size_t pathLength, std::uintptr_t tag) {
        if (levels_.size() < depth_ + 1) levels_.push_back(std::make_unique<Level>());
        Level& level = *levels_[depth_];
        level.fd = std::move(fd);
        level.stream.emplace(level.fd.get(), level.buffer);
        level.device = device;
        level.pathLength = pathLength;
        level.tag = tag;
        ++depth_;
    }

    void pop() {
        Level& level = current();
        level.stream.reset();
        level.fd.reset();
        --depth_;
        if (depth_ > 0) path_.resize(current().pathLength);
    }

    std::string childPath(std::string_view name) const {
        std::string child = path_;
        if (child.empty() || child.back() != '/') child.push_back('/');
        child.append(name);
        return child;
    }

    // False when the walk is to end.
    bool step() {
        Level& level = current();
        DirectoryStreamEntry entry{};
        switch (level.stream->next(entry)) {
            case DirectoryStream::Step::end: pop(); return true;
            case DirectoryStream::Step::error:
                shared_.failed(path_, level.stream->error());
                pop();
                return true;
            case DirectoryStream::Step::entry: break;
        }
        if (!shared_.mayContinue()) return false;

        TreeWalkItem item;
        item.parentPath = path_;
        item.name = entry.name;
        item.depth = baseDepth_ + depth_;
        item.parentTag = level.tag;
        item.worker = worker_;
        item.fileNumber = entry.fileNumber;
        item.type = typeFromEntry(entry.type);
        dev_t device = level.device;
        if (needsExamination(entry.type)) {
            struct statx info {};
            if (::statx(level.fd.get(), entry.name.data(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, statxMask, &info) != 0) {
                shared_.failed(childPath(entry.name), errno);
                return true;
            }
            item.type = typeFromMode(info.stx_mode);
            item.size = static_cast<std::int64_t>(info.stx_size);
            item.allocatedSize = static_cast<std::int64_t>(info.stx_blocks) * 512;
            item.fileNumber = info.stx_ino;
            device = makedev(info.stx_dev_major, info.stx_dev_minor);
            item.device = device;
            item.linkCount = info.stx_nlink;
            item.modificationDate = timeOf(info.stx_mtime);
            item.accessDate = timeOf(info.stx_atime);
            item.statusChangeDate = timeOf(info.stx_ctime);
            const bool markedRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                    (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
            item.isVolumeRoot = item.type == FileType::directory && (markedRoot || device != level.device);
        }

        const TreeWalkAction action = shared_.visit(item);
        if (action == TreeWalkAction::stop) {
            shared_.stop();
            return false;
        }
        if (item.type == FileType::directory && action == TreeWalkAction::proceed) {
            descend(entry.name, device, item.fileNumber, item.depth, item.tag);
        }
        return true;
    }

    void descend(std::string_view name, dev_t device, std::uint64_t fileNumber, std::size_t depth, std::uintptr_t tag) {
        // The name points into the parent's buffer, NUL-terminated as the kernel wrote it.
        FileDescriptor child(openFolderAt(current().fd.get(), name.data(), shared_.visitor().noAccessTime));
        if (!child) {
            shared_.failed(childPath(name), errno);
            return;
        }
        // The folder could have been swapped for another (or had a file system mounted on it)
        // between the look and the open; what is open now is not what was visited.
        struct stat info {};
        if (::fstat(child.get(), &info) != 0 || info.st_dev != device || info.st_ino != fileNumber) {
            shared_.failed(childPath(name), EAGAIN);
            return;
        }
        if (shared_.mayHandOff()) {
            Task task{std::move(child), childPath(name), device, depth, tag};
            if (shared_.handOff(task)) return;
            child = std::move(task.fd);
        }
        if (path_.empty() || path_.back() != '/') path_.push_back('/');
        path_.append(name);
        push(std::move(child), device, path_.size(), tag);
    }

    SharedWalk& shared_;
    const std::size_t worker_;
    std::string path_;
    std::vector<std::unique_ptr<Level>> levels_;
    std::size_t depth_ = 0;
    std::size_t baseDepth_ = 0;
};

}  // namespace

std::size_t treeWalkThreadCount(bool parallel) { return parallel ? concurrentPerformWorkerCount() + 1 : 1; }

std::expected<TreeWalkEnd, FileError> walkTree(const std::filesystem::path& start, const TreeWalkVisitor& visitor) {
    std::string path = start.native();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    FileDescriptor root(openFolderAt(AT_FDCWD, path.c_str(), visitor.noAccessTime));
    if (!root) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    struct stat info {};
    if (::fstat(root.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    Task task{std::move(root), std::move(path), info.st_dev, 0, 0};

    const std::size_t threads = treeWalkThreadCount(visitor.parallel);
    SharedWalk shared(visitor, threads > 1);
    if (threads == 1) {
        Walker(shared, 0).run(std::move(task));
    } else {
        shared.start(std::move(task));
        concurrentPerform(threads, [&shared](std::size_t worker) {
            Walker walker(shared, worker);
            while (auto next = shared.take()) {
                walker.run(std::move(*next));
                shared.finished();
            }
        });
    }
    return shared.stopped() ? TreeWalkEnd::stopped : TreeWalkEnd::completed;
}

}  // namespace vornelo::platform
