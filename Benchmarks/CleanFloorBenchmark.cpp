// The least a move into the Trash must do per item, for scripts/bench-engine to compare the
// engine with: the item's info file created exclusively and written, one rename that never
// replaces, and one hash-chained JSON line appended to a log opened once. No checks, no
// protection, no totals: whatever the engine spends beyond this loop is what it adds.
//
// Usage: CleanFloorBenchmark TRASH-FOLDER LOG-FILE PATH...
//   TRASH-FOLDER holds (or gets) files/ and info/; every PATH (absolute, or taken against the
//   current folder) is moved into it under its own name. Exits 1 at the first failure.

#include "Platform/Encoding/Iso8601.h"
#include "Platform/Encoding/Sha256.h"
#include "Platform/Encoding/Uuid.h"
#include "Platform/Trash/TrashInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using vornelo::platform::Sha256;
using vornelo::platform::TrashInfo;

int fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s.\n", what.c_str(), std::strerror(errno));
    return 1;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const auto count = ::write(fd, text.data() + written, text.size() - written);
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// The log line's fields in the engine's (sorted) order, so that hashing costs the same.
std::string line(const std::string& path, const std::string& trashed, const std::string& session,
                 const std::string& prevHash, ino_t fileNumber) {
    std::string out = R"({"action":"clean","dryRun":false,"mode":"trash","outcome":"success","path":")" + path + '"';
    if (!prevHash.empty()) out += R"(,"prevHash":")" + prevHash + '"';
    out += R"(,"sessionID":")" + session + R"(","sizeBytes":4096,"timestamp":")" +
           vornelo::platform::Iso8601::format(std::chrono::system_clock::now()) +
           R"(","trashedFileNumber":)" + std::to_string(fileNumber) + R"(,"trashedPath":")" + trashed + "\"}";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: CleanFloorBenchmark TRASH-FOLDER LOG-FILE PATH...\n");
        return 2;
    }
    const std::string trash = argv[1];
    ::mkdir(trash.c_str(), 0700);
    ::mkdir((trash + "/files").c_str(), 0700);
    ::mkdir((trash + "/info").c_str(), 0700);
    const int files = ::open((trash + "/files").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int info = ::open((trash + "/info").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int log = ::open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (files < 0 || info < 0 || log < 0) return fail(trash);
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return fail("current folder");

    const std::string session = vornelo::Uuid().uuidString();
    std::string prevHash;
    std::string heldParent;
    int parentFd = -1;
    for (int index = 3; index < argc; ++index) {
        std::string path = argv[index];
        if (path.front() != '/') path = std::string(cwd) + "/" + path;
        const auto slash = path.rfind('/');
        const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        const std::string name = path.substr(slash + 1);
        // A folder is opened once for the items in it, as any batch would.
        if (parent != heldParent) {
            if (parentFd >= 0) ::close(parentFd);
            parentFd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (parentFd < 0) return fail(parent);
            heldParent = parent;
        }
        const std::string infoName = name + std::string(TrashInfo::suffix);
        const int infoFd = ::openat(info, infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (infoFd < 0) return fail(infoName);
        const bool written = writeAll(infoFd, TrashInfo::contents(path, std::chrono::system_clock::now(), session));
        ::close(infoFd);
        if (!written) return fail(infoName);
        if (::renameat2(parentFd, name.c_str(), files, name.c_str(), RENAME_NOREPLACE) != 0) return fail(path);
        const std::string encoded = line(path, trash + "/files/" + name, session, prevHash, 0);
        prevHash = Sha256::hexString(encoded);
        if (!writeAll(log, encoded + "\n")) return fail(argv[2]);
    }
    return 0;
}
