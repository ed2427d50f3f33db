// Walking every Trash folder of a user: the home Trash, then the top-directory Trashes of each
// mounted file system, each held by descriptor.

#include "Platform/Trash/TrashContents.h"

#include "Platform/Files/DirectoryStream.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Trash/Trash.h"
#include "Platform/Trash/TrashInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace vornelo::platform {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t maxMountTableBytes = 4 * 1024 * 1024;

// The whole of a file whose size stat cannot tell (/proc).
std::string readAll(const char* path, std::size_t limit) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(path, O_RDONLY | O_CLOEXEC); }));
    std::string text;
    char chunk[16384];
    while (fd && text.size() < limit) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), chunk, sizeof chunk); });
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

// Field 5 of each line of /proc/self/mountinfo, with the kernel's octal escapes undone.
std::vector<std::string> mountPoints() {
    std::vector<std::string> points;
    const auto table = readAll("/proc/self/mountinfo", maxMountTableBytes);
    for (std::size_t start = 0; start < table.size();) {
        auto end = table.find('\n', start);
        if (end == std::string::npos) end = table.size();
        std::string_view line(table.data() + start, end - start);
        start = end + 1;
        for (int field = 0; field < 4 && !line.empty(); ++field) {
            const auto space = line.find(' ');
            line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        }
        const auto point = line.substr(0, line.find(' '));
        std::string unescaped;
        for (std::size_t at = 0; at < point.size(); ++at) {
            if (point[at] == '\\' && at + 3 < point.size()) {
                const auto octal = point.substr(at + 1, 3);
                if (octal.find_first_not_of("01234567") == std::string_view::npos) {
                    unescaped.push_back(static_cast<char>((octal[0] - '0') * 64 + (octal[1] - '0') * 8 + (octal[2] - '0')));
                    at += 3;
                    continue;
                }
            }
            unescaped.push_back(point[at]);
        }
        if (unescaped.starts_with('/')) points.push_back(std::move(unescaped));
    }
    return points;
}

struct TrashFolder {
    FileDescriptor files;
    FileDescriptor info;
    std::string path;
    std::string top;  // empty for the home Trash
};

// A Trash folder of `user`'s: the folder and its files/ and info/ real folders of theirs.
std::optional<TrashFolder> openTrash(int parentFd, const std::string& name, const std::string& path, const std::string& top,
                                     uid_t user) {
    FileDescriptor trash(retryOnInterrupt([&] { return ::openat(parentFd, name.c_str(), folderFlags); }));
    struct stat info {};
    if (!trash || ::fstat(trash.get(), &info) != 0 || info.st_uid != user) return std::nullopt;
    TrashFolder folder{FileDescriptor(::openat(trash.get(), "files", folderFlags)), FileDescriptor(::openat(trash.get(), "info", folderFlags)),
                       path, top};
    struct stat files {};
    struct stat records {};
    if (!folder.files || !folder.info || ::fstat(folder.files.get(), &files) != 0 || ::fstat(folder.info.get(), &records) != 0 ||
        files.st_uid != user || records.st_uid != user) {
        return std::nullopt;
    }
    return folder;
}

std::optional<std::string> infoText(int infoFd, const char* name) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(infoFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(TrashInfo::maxBytes)) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    const auto got = retryOnInterrupt([&] { return ::pread(fd.get(), text.data(), text.size(), 0); });
    if (got < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    return text;
}

void collect(const TrashFolder& trash, std::vector<TrashContents::Item>& items) {
    std::vector<char> buffer;
    DirectoryStream stream(trash.info.get(), buffer);
    DirectoryStreamEntry entry{};
    const std::string filesPath = FileManager::joinedPath(trash.path, "files");
    const std::string infoPath = FileManager::joinedPath(trash.path, "info");
    while (stream.next(entry) == DirectoryStream::Step::entry) {
        if (!entry.name.ends_with(TrashInfo::suffix) || entry.name.size() == TrashInfo::suffix.size()) continue;
        const std::string name(entry.name.substr(0, entry.name.size() - TrashInfo::suffix.size()));
        const auto text = infoText(trash.info.get(), entry.name.data());
        auto parsed = text ? TrashInfo::parse(*text) : std::nullopt;
        if (!parsed || parsed->path.empty()) continue;
        struct stat item {};
        struct stat written {};
        if (::fstatat(trash.files.get(), name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::fstatat(trash.info.get(), entry.name.data(), &written, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        std::string original = std::move(parsed->path);
        if (!original.starts_with('/')) {
            // Relative only below a top folder; in the home Trash it would depend on where one stands.
            if (trash.top.empty()) continue;
            original = FileManager::joinedPath(trash.top, original);
        }
        const auto infoWritten = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(written.st_mtim.tv_sec)));
        items.push_back({trash.path, name, FileManager::joinedPath(filesPath, name),
                         FileManager::joinedPath(infoPath, std::string(entry.name)), std::move(original), parsed->deletionDate,
                         std::move(parsed->session), static_cast<std::uint64_t>(item.st_ino), infoWritten});
    }
}

}  // namespace

std::vector<TrashContents::Item> TrashContents::list(const std::filesystem::path& home, uid_t user) {
    std::vector<Item> items;
    std::set<std::pair<dev_t, ino_t>> seen;
    const auto visit = [&](std::optional<TrashFolder> trash) {
        struct stat info {};
        if (!trash || ::fstat(trash->files.get(), &info) != 0 || !seen.insert({info.st_dev, info.st_ino}).second) return;
        collect(*trash, items);
    };
    const auto homeTrashPath = Trash::homeTrash(home);
    FileDescriptor dataHome(retryOnInterrupt([&] { return ::open(homeTrashPath.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (dataHome) visit(openTrash(dataHome.get(), homeTrashPath.filename().native(), homeTrashPath.native(), {}, user));
    const std::string uid = std::to_string(user);
    for (const auto& top : mountPoints()) {
        FileDescriptor topFd(retryOnInterrupt([&] { return ::open(top.c_str(), folderFlags); }));
        if (!topFd) continue;
        // An administrator's shared ".Trash" counts only when it is sticky, as for trashing.
        FileDescriptor shared(retryOnInterrupt([&] { return ::openat(topFd.get(), ".Trash", folderFlags); }));
        struct stat sharedInfo {};
        if (shared && ::fstat(shared.get(), &sharedInfo) == 0 && (sharedInfo.st_mode & S_ISVTX) != 0) {
            visit(openTrash(shared.get(), uid, FileManager::joinedPath(FileManager::joinedPath(top, ".Trash"), uid), top, user));
        }
        visit(openTrash(topFd.get(), ".Trash-" + uid, FileManager::joinedPath(top, ".Trash-" + uid), top, user));
    }
    return items;
}

}  // namespace vornelo::platform
