#include "Support/PrivateRoot.h"

#include "Support/TempDirectory.h"

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vornelo::test {

namespace {

namespace fs = std::filesystem;
using Own = std::map<fs::path, fs::path>;

std::string failed(const std::string& what, const fs::path& path) {
    return what + " " + path.native() + " failed: " + std::strerror(errno);
}

bool holdsOwnPath(const fs::path& real, const Own& own) {
    return std::ranges::any_of(own, [&](const auto& entry) {
        return entry.first.parent_path() == real || entry.first.native().starts_with(real.native() + "/");
    });
}

std::string makeTmpfs(const fs::path& where) {
    if (::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) return failed("a tmpfs on", where);
    return {};
}

// `target` (a fresh tmpfs) shows `real`'s entries, and the own paths directly under `real`.
std::string populate(const fs::path& real, const fs::path& target, const Own& own) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(real, error)) {
        const auto from = entry.path();
        const auto to = target / from.filename();
        if (own.contains(from)) continue;
        if (entry.is_symlink()) {
            fs::create_symlink(fs::read_symlink(from), to);
            continue;
        }
        if (entry.is_directory() && holdsOwnPath(from, own)) {
            fs::create_directory(to);
            if (auto made = makeTmpfs(to); !made.empty()) return made;
            if (auto made = populate(from, to, own); !made.empty()) return made;
            continue;
        }
        if (entry.is_directory()) fs::create_directory(to);
        else writeFile(to, "");  // a file to bind the entry over
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return failed("binding", from);
    }
    if (error) return "listing " + real.native() + " failed: " + error.message();
    for (const auto& [path, folder] : own) {
        if (path.parent_path() != real) continue;
        fs::create_directory(target / path.filename());
        if (::mount(folder.c_str(), (target / path.filename()).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return failed("binding", folder);
        }
    }
    return {};
}

}  // namespace

std::string enterPrivateRoot(const Own& own, const fs::path& scratch) {
    for (const auto& [path, folder] : own) {
        if (!path.is_absolute() || !fs::is_directory(path.parent_path())) return "no folder above " + path.native();
    }
    if (auto made = makeTmpfs(scratch); !made.empty()) return made;
    if (auto made = populate("/", scratch, own); !made.empty()) return made;
    if (::chroot(scratch.c_str()) != 0 || ::chdir("/") != 0) return failed("changing root to", scratch);
    return {};
}

}  // namespace vornelo::test
