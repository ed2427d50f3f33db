#include "Platform/UserDefaults.h"

#include "Platform/FileDescriptor.h"
#include "Platform/FileManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdlib>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxDefaultsFileBytes = 16u << 20;

long long nanoseconds(const struct timespec& time) {
    return static_cast<long long>(time.tv_sec) * 1'000'000'000LL + time.tv_nsec;
}

std::optional<PlistValue::Dictionary> readDictionary(int fd, const struct stat& info) {
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > maxDefaultsFileBytes) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[16384];
    for (;;) {
        const auto got = retryOnInterrupt([&] { return ::read(fd, chunk, sizeof chunk); });
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        if (bytes.size() + static_cast<std::size_t>(got) > maxDefaultsFileBytes) return std::nullopt;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    auto parsed = PropertyList::parse(bytes);
    if (!parsed) return std::nullopt;
    if (const auto* dictionary = parsed->get<PlistValue::Dictionary>()) return *dictionary;
    return std::nullopt;
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

std::shared_ptr<const UserDefaults::Dictionary> UserDefaults::refresh(Snapshot& cache, const std::filesystem::path& file,
                                                                      bool managed) const {
    const int flags = O_RDONLY | O_CLOEXEC | (managed ? O_NOFOLLOW : 0);
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(file.c_str(), flags); }));
    struct stat info {};
    std::optional<Identity> identity;
    if (fd && ::fstat(fd.get(), &info) == 0) {
        identity = Identity{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim),
                            nanoseconds(info.st_ctim), info.st_uid, info.st_mode};
    }
    {
        std::lock_guard lock(mutex_);
        if (cache.identity == identity) return cache.values;
    }
    auto values = std::make_shared<Dictionary>();
    const bool trusted = !managed || (identity && identity->owner == locations_.managedOwner &&
                                      (identity->mode & (S_IWGRP | S_IWOTH)) == 0);
    if (identity && trusted) {
        if (auto read = readDictionary(fd.get(), info)) *values = std::move(*read);
    }
    std::lock_guard lock(mutex_);
    cache.identity = identity;
    cache.values = values;
    return values;
}

std::shared_ptr<const UserDefaults::Dictionary> UserDefaults::userValues() const {
    return refresh(user_, locations_.userFile, false);
}

std::shared_ptr<const UserDefaults::Dictionary> UserDefaults::managedValues() const {
    return refresh(managed_, locations_.managedFile, true);
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

bool UserDefaults::set(const std::string& key, const PlistValue& value) { return update(key, value); }

bool UserDefaults::removeObject(const std::string& key) { return update(key, std::nullopt); }

bool UserDefaults::update(const std::string& key, const std::optional<PlistValue>& value) {
    const auto& file = locations_.userFile;
    auto& files = FileManager::defaultManager();
    if (file.has_parent_path() && !files.createDirectory(file.parent_path(), true, 0700)) return false;

    // The lock file serialises writers across threads and processes without holding a mutex
    // over file work.
    const std::string lockPath = file.native() + ".lock";
    FileDescriptor lockFd(retryOnInterrupt([&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); }));
    if (!lockFd || retryOnInterrupt([&] { return ::flock(lockFd.get(), LOCK_EX); }) != 0) return false;

    Dictionary current;
    FileDescriptor fd(retryOnInterrupt([&] { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }));
    struct stat info {};
    if (fd && ::fstat(fd.get(), &info) == 0) {
        if (auto read = readDictionary(fd.get(), info)) current = std::move(*read);
    }
    fd.reset();
    if (value) {
        current.insert_or_assign(key, *value);
    } else if (current.erase(key) == 0) {
        return true;
    }
    const auto bytes = PropertyList::serialize(PlistValue(current), PlistFormat::xml);
    if (!files.writeAtomically(file, bytes, AtomicWriteOptions{0600, true})) return false;
    // The replacement has a new inode, so the next read parses it again.
    return true;
}

}  // namespace vornelo::platform
