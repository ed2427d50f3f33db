// Moves that never replace, through the folders held for them (Platform/HeldItem.h), and the
// descriptor-level copy a move across file systems makes.

#include "Platform/Files/DirectoryStream.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Files/FileTree.h"
#include "Platform/Files/HeldItem.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <optional>
#include <vector>

namespace vornelo::platform {

namespace {

using Failure = std::unexpected<FileError>;

Failure failure(int error, const std::string& path) { return Failure(FileError::fromErrno(error, FileOperation::write, path)); }

bool ignorableMetadataError(int error) {
    return error == EPERM || error == ENOTSUP || error == EACCES || error == EINVAL || error == ENODATA ||
           error == ERANGE;
}

// Extended attributes the process cannot set (security.*, trusted.* as a user, or none at all on
// the target file system) are left behind; everything else travels.
void copyExtendedAttributes(int source, int target) {
    std::vector<char> names(4096);
    ssize_t listed = 0;
    for (;;) {
        listed = ::flistxattr(source, names.data(), names.size());
        if (listed >= 0 || errno != ERANGE || names.size() >= (1u << 20)) break;
        names.resize(names.size() * 4);
    }
    if (listed <= 0) return;
    std::vector<char> value(4096);
    for (std::size_t start = 0; start < static_cast<std::size_t>(listed);) {
        const char* name = names.data() + start;
        start += std::char_traits<char>::length(name) + 1;
        ssize_t got = ::fgetxattr(source, name, value.data(), value.size());
        if (got < 0 && errno == ERANGE) {
            const ssize_t needed = ::fgetxattr(source, name, nullptr, 0);
            if (needed <= 0 || needed > (1 << 24)) continue;
            value.resize(static_cast<std::size_t>(needed));
            got = ::fgetxattr(source, name, value.data(), value.size());
        }
        if (got < 0) continue;
        (void)::fsetxattr(target, name, value.data(), static_cast<std::size_t>(got), 0);
    }
}

std::optional<int> applyTimes(int target, const struct stat& info) {
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(target, times) != 0) return errno;
    return std::nullopt;
}

// In chunks small enough that a stop is seen within a fraction of a second on any disk.
constexpr std::size_t copyChunkBytes = 8 << 20;

std::optional<int> copyContents(int source, int target, const std::stop_token& stop) {
    for (;;) {
        if (stop.stop_requested()) return ECANCELED;
        const ssize_t copied = retryOnInterrupt([&] { return ::copy_file_range(source, nullptr, target, nullptr, copyChunkBytes, 0); });
        if (copied == 0) return std::nullopt;
        if (copied > 0) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
        return errno;
    }
    std::vector<char> buffer(1 << 17);
    for (;;) {
        if (stop.stop_requested()) return ECANCELED;
        const ssize_t got = retryOnInterrupt([&] { return ::read(source, buffer.data(), buffer.size()); });
        if (got < 0) return errno;
        if (got == 0) return std::nullopt;
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = retryOnInterrupt([&] {
                return ::write(target, buffer.data() + written, static_cast<std::size_t>(got - written));
            });
            if (put < 0) return errno;
            written += put;
        }
    }
}

class Copier {
public:
    // Returns the errno of the first failure and the path it concerns.
    struct Problem {
        int error;
        std::string path;
    };
    // The top folder of the copy, whose mode and times wait until it has been moved into place.
    struct TopFolder {
        FileDescriptor fd;
        struct stat info {};
    };

    explicit Copier(std::stop_token stop) : stop_(std::move(stop)) {}

    std::optional<TopFolder>& topFolder() { return top_; }

    std::optional<Problem> copy(int sourceParent, const char* sourceName, const std::string& sourcePath, int targetParent,
                                const char* targetName, const std::string& targetPath) {
        if (stop_.stop_requested()) return Problem{ECANCELED, sourcePath};
        struct stat info {};
        if (::fstatat(sourceParent, sourceName, &info, AT_SYMLINK_NOFOLLOW) != 0) return Problem{errno, sourcePath};
        if (S_ISDIR(info.st_mode)) return copyFolder(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (S_ISREG(info.st_mode)) return copyFile(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (S_ISLNK(info.st_mode)) return copyLink(sourceParent, sourceName, sourcePath, info, targetParent, targetName, targetPath);
        if (::mknodat(targetParent, targetName, info.st_mode, info.st_rdev) != 0) return Problem{errno, targetPath};
        return finishNodeMetadata(targetParent, targetName, info, targetPath);
    }

private:
    std::optional<Problem> copyFile(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                    const struct stat& info, int targetParent, const char* targetName,
                                    const std::string& targetPath) {
        FileDescriptor source(retryOnInterrupt([&] { return ::openat(sourceParent, sourceName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); }));
        if (!source) return Problem{errno, sourcePath};
        struct stat opened {};
        if (::fstat(source.get(), &opened) != 0) return Problem{errno, sourcePath};
        if (!S_ISREG(opened.st_mode) || opened.st_ino != info.st_ino) return Problem{EAGAIN, sourcePath};
        FileDescriptor target(retryOnInterrupt([&] {
            return ::openat(targetParent, targetName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!target) return Problem{errno, targetPath};
        if (auto error = copyContents(source.get(), target.get(), stop_)) return Problem{*error, targetPath};
        return finishMetadata(source.get(), target.get(), opened, targetPath);
    }

    // Links and special files cannot be opened, so their owner and times are set by name.
    std::optional<Problem> finishNodeMetadata(int targetParent, const char* targetName, const struct stat& info,
                                              const std::string& targetPath) {
        if (::fchownat(targetParent, targetName, info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            !ignorableMetadataError(errno)) {
            return Problem{errno, targetPath};
        }
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        (void)::utimensat(targetParent, targetName, times, AT_SYMLINK_NOFOLLOW);
        return std::nullopt;
    }

    // Owner first (changing it clears set-id bits), then mode and attributes, and the times last:
    // every other change, and writing into a folder, moves them.
    std::optional<Problem> finishMetadata(int source, int target, const struct stat& info, const std::string& targetPath) {
        if (::fchown(target, info.st_uid, info.st_gid) != 0 && !ignorableMetadataError(errno)) return Problem{errno, targetPath};
        if (::fchmod(target, info.st_mode & 07777) != 0) return Problem{errno, targetPath};
        copyExtendedAttributes(source, target);
        if (auto error = applyTimes(target, info)) return Problem{*error, targetPath};
        return std::nullopt;
    }

    std::optional<Problem> copyLink(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                    const struct stat& info, int targetParent, const char* targetName,
                                    const std::string& targetPath) {
        std::string destination(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(sourceParent, sourceName, destination.data(), destination.size());
        if (length < 0) return Problem{errno, sourcePath};
        if (static_cast<std::size_t>(length) >= destination.size()) return Problem{ENAMETOOLONG, sourcePath};
        destination.resize(static_cast<std::size_t>(length));
        if (::symlinkat(destination.c_str(), targetParent, targetName) != 0) return Problem{errno, targetPath};
        return finishNodeMetadata(targetParent, targetName, info, targetPath);
    }

    std::optional<Problem> copyFolder(int sourceParent, const char* sourceName, const std::string& sourcePath,
                                      const struct stat& info, int targetParent, const char* targetName,
                                      const std::string& targetPath) {
        FileDescriptor source(retryOnInterrupt([&] { return ::openat(sourceParent, sourceName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!source) return Problem{errno, sourcePath};
        struct stat opened {};
        if (::fstat(source.get(), &opened) != 0) return Problem{errno, sourcePath};
        if (opened.st_ino != info.st_ino || opened.st_dev != info.st_dev) return Problem{EAGAIN, sourcePath};
        if (device_ && *device_ != opened.st_dev) return Problem{EBUSY, sourcePath};
        if (!device_) device_ = opened.st_dev;
        // Private until its contents are in, whatever mode it ends with.
        if (::mkdirat(targetParent, targetName, 0700) != 0) return Problem{errno, targetPath};
        FileDescriptor target(retryOnInterrupt([&] { return ::openat(targetParent, targetName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        if (!target) return Problem{errno, targetPath};
        std::vector<char> buffer;
        DirectoryStream stream(source.get(), buffer);
        DirectoryStreamEntry entry{};
        for (;;) {
            const auto step = stream.next(entry);
            if (step == DirectoryStream::Step::end) break;
            if (step == DirectoryStream::Step::error) return Problem{stream.error(), sourcePath};
            ++depth_;
            auto problem = copy(source.get(), entry.name.data(), FileManager::joinedPath(sourcePath, entry.name), target.get(),
                                entry.name.data(), FileManager::joinedPath(targetPath, entry.name));
            --depth_;
            if (problem) return problem;
        }
        if (depth_ > 0) return finishMetadata(source.get(), target.get(), opened, targetPath);
        // The top folder stays writable until it has been moved: a folder moved to another parent
        // must be writable by whoever moves it.
        if (::fchown(target.get(), opened.st_uid, opened.st_gid) != 0 && !ignorableMetadataError(errno)) return Problem{errno, targetPath};
        copyExtendedAttributes(source.get(), target.get());
        top_ = TopFolder{std::move(target), opened};
        return std::nullopt;
    }

    std::stop_token stop_;
    std::optional<dev_t> device_;
    int depth_ = 0;
    std::optional<TopFolder> top_;
};

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string stagingName() {
    unsigned char bytes[12];
    for (std::size_t filled = 0; filled < sizeof bytes;) {
        const auto got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got > 0) filled += static_cast<std::size_t>(got);
        else if (errno != EINTR) std::abort();  // no randomness: no name that cannot be guessed
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = ".vornelo-staging-";
    for (const unsigned char byte : bytes) name += {hex[byte >> 4], hex[byte & 0xF]};
    return name;
}

// Whether the folder just opened is the one just made: this user's, closed to everyone else, empty.
bool isFreshPrivateFolder(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) return false;
    std::vector<char> buffer;
    DirectoryStream stream(fd, buffer);
    DirectoryStreamEntry entry{};
    return stream.next(entry) == DirectoryStream::Step::end;
}

}  // namespace

struct StagedCopy::State {
    int targetParentFd;
    std::string stagingName;
    FileDescriptor staging;
    struct stat stagingInfo {};
    std::optional<Copier::TopFolder> top;
    bool published = false;
};

std::expected<StagedCopy, FileError> StagedCopy::make(int sourceParentFd, const char* sourceName,
                                                      const std::string& sourcePath, int targetParentFd,
                                                      const std::string& targetParentPath, std::stop_token stop) {
    auto state = std::make_unique<State>();
    state->targetParentFd = targetParentFd;
    for (int attempt = 0;; ++attempt) {
        state->stagingName = stagingName();
        if (::mkdirat(targetParentFd, state->stagingName.c_str(), 0700) == 0) break;
        if (errno != EEXIST || attempt == 3) return failure(errno, targetParentPath);
    }
    // Whatever is at the name once it has been made is left alone unless it is that very folder.
    state->staging.reset(retryOnInterrupt([&] { return ::openat(targetParentFd, state->stagingName.c_str(), folderFlags); }));
    if (!state->staging || !isFreshPrivateFolder(state->staging.get()) || ::fstat(state->staging.get(), &state->stagingInfo) != 0) {
        state->staging.reset();
        return failure(EAGAIN, targetParentPath);
    }
    (void)::fchmod(state->staging.get(), 0700);  // whatever the umask left
    std::string name(sourceName);
    const std::string targetPath = FileManager::joinedPath(targetParentPath, name);
    Copier copier(std::move(stop));
    StagedCopy staged(std::move(state), name);
    if (auto problem = copier.copy(sourceParentFd, sourceName, sourcePath, staged.folder(), name.c_str(), targetPath)) {
        return failure(problem->error, problem->path);  // the copy's remains go with `staged`
    }
    staged.state_->top = std::move(copier.topFolder());
    return staged;
}

StagedCopy::StagedCopy(std::unique_ptr<State> state, std::string name) : state_(std::move(state)), name_(std::move(name)) {}

StagedCopy::StagedCopy(StagedCopy&& other) noexcept = default;

StagedCopy::~StagedCopy() {
    if (!state_ || !state_->staging) return;
    if (!state_->published) {
        state_->top.reset();
        // Inside a folder no one else can enter, everything is this copy's own.
        (void)removeEntryAt(state_->staging.get(), name_.c_str(), name_);
    }
    // By name, but only an empty folder can go this way, and only while it is the one made.
    struct stat now {};
    if (::fstatat(state_->targetParentFd, state_->stagingName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == state_->stagingInfo.st_dev && now.st_ino == state_->stagingInfo.st_ino) {
        (void)::unlinkat(state_->targetParentFd, state_->stagingName.c_str(), AT_REMOVEDIR);
    }
}

int StagedCopy::folder() const { return state_->staging.get(); }

int StagedCopy::publish(int targetFolder, const std::string& name) {
    if (::renameat2(folder(), name_.c_str(), targetFolder, name.c_str(), RENAME_NOREPLACE) != 0) return errno;
    published();
    return 0;
}

void StagedCopy::published() {
    state_->published = true;
    if (!state_->top) return;
    // Set-id bits were cleared by the owner's change; the mode restores them, the times come last.
    const auto& top = *state_->top;
    (void)::fchmod(top.fd.get(), top.info.st_mode & 07777);
    (void)applyTimes(top.fd.get(), top.info);
    state_->top.reset();
}

std::expected<void, FileError> FileManager::moveItem(const std::filesystem::path& source,
                                                     const std::filesystem::path& destination) const {
    const std::string target = absoluteStandardizedPath(destination.native());
    const auto slash = target.rfind('/');
    if (target == "/" || slash == std::string::npos) return failure(EEXIST, destination.native());
    auto item = holdItem(source);
    if (!item) return std::unexpected(item.error());
    auto folder = HeldFolder::open(slash == 0 ? std::string("/") : target.substr(0, slash), LinkRule::any);
    if (!folder) return std::unexpected(folder.error());
    return moveHeldItem(*item, *folder, target.substr(slash + 1));
}

std::expected<void, FileError> FileManager::moveHeldItem(const HeldItem& item, const HeldFolder& destination,
                                                         const std::string& name, std::stop_token stop) const {
    return item.moveTo(destination, name, std::move(stop));
}

}  // namespace vornelo::platform
