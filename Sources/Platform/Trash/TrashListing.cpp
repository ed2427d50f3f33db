#include "Platform/Trash/TrashListing.h"

#include "Platform/Files/DirectoryStream.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Trash/TrashInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <set>

namespace vornelo::platform {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t maxMountInfoBytes = 8 * 1024 * 1024;
constexpr std::size_t maxMountPoints = 10000;

// A real folder (never a link) belonging to `user`, opened; nothing otherwise.
FileDescriptor openOwnedFolder(int parentFd, const char* name, uid_t user) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(parentFd, name, folderFlags); }));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || info.st_uid != user) return {};
    return fd;
}

bool isSafeTrash(const std::string& path, uid_t user) {
    const FileDescriptor trash = openOwnedFolder(AT_FDCWD, path.c_str(), user);
    return trash && openOwnedFolder(trash.get(), "files", user) && openOwnedFolder(trash.get(), "info", user);
}

// "<top>/.Trash" counts only when an administrator made it a real, sticky folder.
bool isStickyFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
}

std::string joined(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

// The escapes mountinfo writes for space, tab, newline and backslash.
std::string unescapeMountField(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const auto octal = field.substr(i + 1, 3);
            if (std::all_of(octal.begin(), octal.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((octal[0] - '0') * 64 + (octal[1] - '0') * 8 + (octal[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

std::optional<int> number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "YYYY-MM-DDThh:mm:ss" in local time, as desktops write it; with a zone it is read as ISO 8601.
std::optional<TimePoint> deletionDate(std::string_view text) {
    if (text.size() > 19) return Iso8601::parse(text);
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    const auto year = number(text.substr(0, 4));
    const auto month = number(text.substr(5, 2));
    const auto day = number(text.substr(8, 2));
    const auto hour = number(text.substr(11, 2));
    const auto minute = number(text.substr(14, 2));
    const auto second = number(text.substr(17, 2));
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{*year}, std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    struct tm local {};
    local.tm_year = *year - 1900;
    local.tm_mon = *month - 1;
    local.tm_mday = *day;
    local.tm_hour = *hour;
    local.tm_min = *minute;
    local.tm_sec = *second;
    local.tm_isdst = -1;
    const std::time_t seconds = ::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds);
}

TimePoint timeOf(const struct statx_timestamp& stamp) {
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(std::chrono::seconds(stamp.tv_sec) +
                                                                     std::chrono::nanoseconds(stamp.tv_nsec))};
}

FileType typeOf(mode_t mode) {
    if (S_ISREG(mode)) return FileType::regular;
    if (S_ISDIR(mode)) return FileType::directory;
    if (S_ISLNK(mode)) return FileType::symbolicLink;
    return FileType::other;
}

// The info file's text; nothing when there is none; an error when there is one that cannot be read.
std::expected<std::optional<std::string>, FileError> infoText(int infoFd, const std::string& name, const std::string& path) {
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::openat(infoFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (!fd) {
        if (errno == ENOENT) return std::optional<std::string>();
        return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
    if (!S_ISREG(info.st_mode)) return std::unexpected(FileError::fromErrno(EINVAL, FileOperation::read, path));
    if (info.st_size > static_cast<off_t>(TrashListing::maxInfoBytes)) {
        return std::unexpected(FileError::fromErrno(EFBIG, FileOperation::read, path));
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), text.data() + done, text.size() - done); });
        if (got < 0) return std::unexpected(FileError::fromErrno(errno, FileOperation::read, path));
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return std::optional<std::string>(std::move(text));
}

}  // namespace

std::vector<std::string> TrashListing::mountPoints() {
    std::vector<std::string> points;
    // A file of the kernel's that says it has no size: read to its end.
    const FileDescriptor fd(retryOnInterrupt([] { return ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC); }));
    if (!fd) return points;
    std::string text;
    char buffer[16 * 1024];
    while (text.size() < maxMountInfoBytes) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    std::string_view rest = text;
    while (!rest.empty() && points.size() < maxMountPoints) {
        const auto end = rest.find('\n');
        const auto line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // id, parent id, major:minor, root, mount point, ...
        std::size_t start = 0;
        for (int field = 0; field < 4 && start != std::string_view::npos; ++field) {
            start = line.find(' ', start);
            if (start != std::string_view::npos) ++start;
        }
        if (start == std::string_view::npos) continue;
        const auto stop = line.find(' ', start);
        const auto point = unescapeMountField(line.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start));
        if (!point.empty() && point.front() == '/') points.push_back(point);
    }
    return points;
}

std::vector<TrashListing::Folder> TrashListing::folders(const std::filesystem::path& homeTrash, uid_t user,
                                                        std::span<const std::string> mountPoints) {
    std::vector<Folder> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    const auto add = [&](const std::string& path, const std::string& top) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !seen.emplace(info.st_dev, info.st_ino).second) return;
        if (isSafeTrash(path, user)) found.push_back(Folder{path, top});
    };
    add(FileManager::standardizedPath(homeTrash.native()), "");
    const std::string uid = std::to_string(user);
    for (const auto& top : mountPoints) {
        if (const auto shared = joined(top, ".Trash"); isStickyFolder(shared)) add(joined(shared, uid), top);
        add(joined(top, ".Trash-" + uid), top);
    }
    return found;
}

std::expected<TrashListing::Contents, FileError> TrashListing::contents(const Folder& folder, uid_t user) {
    const FileDescriptor trash = openOwnedFolder(AT_FDCWD, folder.path.c_str(), user);
    const std::string filesPath = joined(folder.path, "files");
    const FileDescriptor files = trash ? openOwnedFolder(trash.get(), "files", user) : FileDescriptor();
    if (!files) return std::unexpected(FileError::fromErrno(errno == 0 ? EACCES : errno, FileOperation::read, filesPath));
    const FileDescriptor info = openOwnedFolder(trash.get(), "info", user);

    Contents contents;
    std::vector<char> buffer;
    DirectoryStream stream(files.get(), buffer);
    DirectoryStreamEntry entry{};
    for (;;) {
        const auto step = stream.next(entry);
        if (step == DirectoryStream::Step::end) break;
        if (step == DirectoryStream::Step::error) {
            contents.problems.emplace_back(filesPath, FileError::fromErrno(stream.error(), FileOperation::read, filesPath));
            break;
        }
        Item item;
        item.name = std::string(entry.name);
        item.path = joined(filesPath, item.name);
        struct statx status {};
        if (::statx(files.get(), item.name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                    STATX_TYPE | STATX_INO | STATX_BLOCKS | STATX_NLINK | STATX_MTIME, &status) != 0) {
            contents.problems.emplace_back(item.path, FileError::fromErrno(errno, FileOperation::read, item.path));
            continue;
        }
        item.type = typeOf(status.stx_mode);
        item.allocatedSize = item.type == FileType::regular ? static_cast<std::int64_t>(status.stx_blocks) * 512 : 0;
        item.fileNumber = status.stx_ino;
        item.device = makedev(status.stx_dev_major, status.stx_dev_minor);
        item.linkCount = status.stx_nlink;
        item.modificationDate = timeOf(status.stx_mtime);
        if (info) {
            const auto infoName = TrashInfo::fileName(item.name);
            const auto text = infoText(info.get(), infoName, joined(joined(folder.path, "info"), infoName));
            if (!text) {
                contents.problems.emplace_back(item.path, text.error());
            } else if (*text) {
                item.hasInfo = true;
                item.record = parseInfo(**text, folder.topDirectory);
            }
        }
        contents.items.push_back(std::move(item));
    }
    return contents;
}

TrashListing::Record TrashListing::parseInfo(std::string_view text, std::string_view topDirectory) {
    Record record;
    bool inGroup = false;
    bool sawGroup = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // The record is the first group, and it must be this one.
            if (sawGroup || line != "[Trash Info]") break;
            inGroup = sawGroup = true;
            continue;
        }
        if (!inGroup) break;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const auto key = line.substr(0, equals);
        const auto value = line.substr(equals + 1);
        if (key == "Path" && !record.originalPath) {
            auto decoded = percentDecoded(value);
            if (!decoded || decoded->empty()) continue;
            if (decoded->front() != '/') {
                if (topDirectory.empty()) continue;  // a relative path means nothing in the home Trash
                decoded = joined(topDirectory, *decoded);
            }
            record.originalPath = FileManager::standardizedPath(*decoded);
        } else if (key == "DeletionDate" && !record.deletionDate) {
            record.deletionDate = deletionDate(value);
        }
    }
    return record;
}

}  // namespace vornelo::platform
