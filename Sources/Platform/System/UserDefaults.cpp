#include "Platform/System/UserDefaults.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/FileManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxDefaultsFileBytes = 16u << 20;

long long nanoseconds(const struct timespec& time) {
    return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
}

bool isAbsent(int error) { return error == ENOENT || error == ENOTDIR; }

std::string withoutFinalStop(std::string text) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

// Why `path` could not be opened or read, as the end of a clause about the file.
std::string failureReason(int error, const std::filesystem::path& path) {
    return "cannot be read (" + withoutFinalStop(FileError::fromErrno(error, FileOperation::read, path.native()).description) + ")";
}

std::string aboutFile(const std::filesystem::path& path, const std::string& reason) {
    return "the settings file " + path.native() + " " + reason;
}

// The dictionary a settings file holds, or the end of a clause saying why it cannot be had.
std::expected<PlistValue::Dictionary, std::string> readDictionary(int fd, const struct stat& info,
                                                                  const std::filesystem::path& path) {
    if (!S_ISREG(info.st_mode)) return std::unexpected("is not a regular file");
    if (static_cast<std::uint64_t>(info.st_size) > maxDefaultsFileBytes) return std::unexpected("is larger than 16 MiB");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[16384];
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::read(fd, chunk, sizeof chunk); });
        if (got < 0) return std::unexpected(failureReason(errno, path));
        if (got == 0) break;
        if (bytes.size() + static_cast<std::size_t>(got) > maxDefaultsFileBytes) {
            return std::unexpected("is larger than 16 MiB");
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    auto parsed = PropertyList::parse(bytes);
    if (!parsed) return std::unexpected("is not a property list (or nests deeper than 64 levels)");
    if (const auto* dictionary = parsed->get<PlistValue::Dictionary>()) return *dictionary;
    return std::unexpected("does not hold a dictionary at its top level");
}

// Opened without blocking, so that a FIFO put in the file's place is judged by its type instead
// of waiting for a writer.
int openForReading(const std::filesystem::path& path, bool noFollow) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0);
    return retryOnInterrupt([&] { return ::open(path.c_str(), flags); });
}

std::optional<PlistValue> lookup(const PlistValue::Dictionary& values, const std::string& key) {
    const auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

}  // namespace

UserDefaults::Locations UserDefaults::locationsForDomain(const std::string& domain) {
    std::filesystem::path configHome;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        configHome = xdg;
    } else {
        configHome = std::filesystem::path(FileManager::defaultManager().homeDirectoryForCurrentUser()) / ".config";
    }
    return Locations{configHome / (domain + ".plist"),
                     std::filesystem::path("/etc/managed-preferences") / (domain + ".plist"), 0};
}

UserDefaults::UserDefaults(Locations locations) : locations_(std::move(locations)) {}

UserDefaults::Snapshot UserDefaults::refresh(Snapshot& cache, const std::filesystem::path& file, bool managed) const {
    const auto identityOf = [](const struct stat& info) {
        return Identity{info.st_dev,           info.st_ino, info.st_size, nanoseconds(info.st_mtim),
                        nanoseconds(info.st_ctim), info.st_uid, info.st_mode};
    };
    // A look at the file first, so that an unchanged file is neither opened nor parsed again.
    Snapshot fresh;
    struct stat info {};
    if ((managed ? ::lstat(file.c_str(), &info) : ::stat(file.c_str(), &info)) != 0) {
        fresh.openError = isAbsent(errno) ? 0 : errno;
    } else {
        fresh.identity = identityOf(info);
    }
    {
        std::lock_guard lock(mutex_);
        if (cache.identity == fresh.identity && cache.openError == fresh.openError) return cache;
    }
    const auto trusted = [&](const Identity& identity) {
        // A link (never followed here) or a file others may write cannot carry the administrator's word.
        return !managed || (S_ISREG(identity.mode) && identity.owner == locations_.managedOwner &&
                            (identity.mode & (S_IWGRP | S_IWOTH)) == 0);
    };
    if (fresh.openError != 0) {
        fresh.problem = aboutFile(file, failureReason(fresh.openError, file));
    } else if (fresh.identity && trusted(*fresh.identity)) {
        FileDescriptor fd(S_ISREG(fresh.identity->mode) ? openForReading(file, managed) : -1);
        std::expected<Dictionary, std::string> read = std::unexpected("is not a regular file");
        if (S_ISREG(fresh.identity->mode) && (!fd || ::fstat(fd.get(), &info) != 0)) {
            read = std::unexpected(failureReason(errno, file));
        } else if (fd) {
            // What was opened is what is judged, even if the file was swapped since the look.
            fresh.identity = identityOf(info);
            read = trusted(*fresh.identity) ? readDictionary(fd.get(), info, file) : Dictionary{};
        }
        if (read) {
            fresh.values = std::make_shared<const Dictionary>(std::move(*read));
        } else {
            fresh.problem = aboutFile(file, read.error());
        }
    }
    std::lock_guard lock(mutex_);
    cache = fresh;
    return fresh;
}

std::shared_ptr<const UserDefaults::Dictionary> UserDefaults::userValues() const {
    return refresh(user_, locations_.userFile, false).values;
}

std::shared_ptr<const UserDefaults::Dictionary> UserDefaults::managedValues() const {
    return refresh(managed_, locations_.managedFile, true).values;
}

std::optional<std::string> UserDefaults::readProblem() const {
    if (auto problem = refresh(user_, locations_.userFile, false).problem) return problem;
    return refresh(managed_, locations_.managedFile, true).problem;
}

std::optional<PlistValue> UserDefaults::object(const std::string& key) const {
    if (auto forced = lookup(*managedValues(), key)) return forced;
    return lookup(*userValues(), key);
}

bool UserDefaults::objectIsForced(const std::string& key) const { return managedValues()->contains(key); }

std::optional<std::vector<std::string>> UserDefaults::stringArray(const std::string& key) const {
    const auto value = object(key);
    if (!value) return std::nullopt;
    return value->asStringArray();
}

std::optional<PlistValue> UserDefaults::userObject(const std::string& key) const {
    return lookup(*userValues(), key);
}

bool UserDefaults::set(const std::string& key, const PlistValue& value) { return write(key, value).has_value(); }

bool UserDefaults::removeObject(const std::string& key) { return write(key, std::nullopt).has_value(); }

std::expected<void, std::string> UserDefaults::write(const std::string& key, const std::optional<PlistValue>& value) {
    const auto& file = locations_.userFile;
    const auto failed = [&](const std::string& why) {
        return std::unexpected("Could not save the setting \u201C" + key + "\u201D: " + why + ".");
    };
    auto& files = FileManager::defaultManager();
    if (file.has_parent_path()) {
        if (const auto made = files.createDirectory(file.parent_path(), true, 0700); !made) {
            return failed(withoutFinalStop(made.error().description));
        }
    }

    // The lock file serialises writers across threads and processes without holding a mutex
    // over file work.
    const std::string lockPath = file.native() + ".lock";
    FileDescriptor lockFd(retryOnInterrupt(
        [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600); }));
    if (!lockFd || retryOnInterrupt([&] { return ::flock(lockFd.get(), LOCK_EX); }) != 0) {
        return failed("the lock file " + lockPath + " " + failureReason(errno, lockPath));
    }

    // Replacing a file that could not be read would lose whatever it holds.
    Dictionary current;
    FileDescriptor fd(openForReading(file, false));
    struct stat info {};
    if (!fd && !isAbsent(errno)) return failed(aboutFile(file, failureReason(errno, file)) + ", so it was left as it is");
    if (fd) {
        if (::fstat(fd.get(), &info) != 0) return failed(aboutFile(file, failureReason(errno, file)));
        auto read = readDictionary(fd.get(), info, file);
        if (!read) return failed(aboutFile(file, read.error()) + ", so it was left as it is");
        current = std::move(*read);
    }
    fd.reset();
    if (value) {
        current.insert_or_assign(key, *value);
    } else if (current.erase(key) == 0) {
        return {};
    }
    const auto bytes = PropertyList::serialize(PlistValue(current), PlistFormat::xml);
    if (const auto written = files.writeAtomically(file, bytes, AtomicWriteOptions{0600, true}); !written) {
        return failed(withoutFinalStop(written.error().description));
    }
    // The replacement has a new inode, so the next read parses it again.
    return {};
}

}  // namespace vornelo::platform
