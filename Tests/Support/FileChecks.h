#pragma once
// Small looks at files on disk for tests of code that moves, removes or sizes them, and a scratch
// file system for what must cross one.

#include "Platform/Files/FileManager.h"
#include "Support/ChildProcess.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

namespace vornelo::test {

inline platform::FileManager& files() { return platform::FileManager::defaultManager(); }

inline struct stat statOf(const std::filesystem::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info;
}
inline mode_t modeOf(const std::filesystem::path& path) { return statOf(path).st_mode & 07777; }
inline uid_t ownerOf(const std::filesystem::path& path) { return statOf(path).st_uid; }
inline std::int64_t allocatedBytes(const std::filesystem::path& path) {
    return static_cast<std::int64_t>(statOf(path).st_blocks) * 512;
}

// Runs the body with a fresh tmpfs on `volume`, in a private mount namespace. Needs root.
inline ChildOutcome withTmpfs(const std::filesystem::path& volume, const std::string& options,
                              const std::function<std::string()>& body) {
    return runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        return body();
    });
}

// A chain of `depth` folders named with `nameBytes` bytes each, ending in `leaf` (a file, or an
// empty folder with no permissions when `lockedLeaf`): deep enough, and the full path is longer than
// PATH_MAX, which only descriptor-relative calls reach. False when it could not be made.
inline bool makeDeepChain(const std::filesystem::path& top, int depth, std::size_t nameBytes, const char* leaf,
                          bool lockedLeaf) {
    std::filesystem::create_directories(top);
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(nameBytes, 'd');
    for (int level = 0; level < depth && fd >= 0; ++level) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd < 0) return false;
    const int made = lockedLeaf ? ::mkdirat(fd, leaf, 0) : ::openat(fd, leaf, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (!lockedLeaf && made >= 0) ::close(made);
    ::close(fd);
    return made >= 0;
}

}  // namespace vornelo::test
