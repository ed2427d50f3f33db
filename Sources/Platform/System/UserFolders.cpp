#include "Platform/System/UserFolders.h"

#include "Platform/Files/FileManager.h"

#include <cstdlib>

namespace vornelo::platform {

namespace {

using Base = UserFolders::Base;

const char* variableOf(Base base) {
    switch (base) {
        case Base::home: return "HOME";
        case Base::config: return "XDG_CONFIG_HOME";
        case Base::data: return "XDG_DATA_HOME";
        case Base::state: return "XDG_STATE_HOME";
        case Base::cache: return "XDG_CACHE_HOME";
    }
    return "HOME";
}

std::string below(std::string_view home, Base base) {
    return FileManager::joinedPath(std::string(home), UserFolders::defaultRelativePath(base));
}

UserFolders make(std::string home, bool useEnvironment) {
    const auto base = [&](Base which) { return useEnvironment ? UserFolders::fromEnvironment(which, home) : below(home, which); };
    UserFolders folders{home, base(Base::config), base(Base::data), base(Base::state), base(Base::cache), {}, {}};
    auto reading = UserDirsFile::read(FileManager::joinedPath(folders.configHome, UserDirsFile::fileName), home);
    folders.userDirectories = std::move(reading.folders);
    folders.userDirsProblem = std::move(reading.problem);
    return folders;
}

}  // namespace

std::string_view UserFolders::defaultRelativePath(Base base) {
    switch (base) {
        case Base::home: return "";
        case Base::config: return ".config";
        case Base::data: return ".local/share";
        case Base::state: return ".local/state";
        case Base::cache: return ".cache";
    }
    return "";
}

std::string UserFolders::fromEnvironment(Base base, std::string_view home) {
    if (base == Base::home) return std::string(home);
    if (const char* value = std::getenv(variableOf(base)); value && value[0] == '/') {
        return FileManager::standardizedPath(value);
    }
    return below(home, base);
}

UserFolders UserFolders::standard(std::string_view home) {
    return make(FileManager::standardizedPath(home), false);
}

UserFolders UserFolders::currentUser() {
    return make(FileManager::absoluteStandardizedPath(FileManager::defaultManager().homeDirectoryForCurrentUser()), true);
}

const std::string& UserFolders::folder(Base base) const {
    switch (base) {
        case Base::home: return home;
        case Base::config: return configHome;
        case Base::data: return dataHome;
        case Base::state: return stateHome;
        case Base::cache: return cacheHome;
    }
    return home;
}

const UserDirectory* UserFolders::userDirectory(std::string_view key) const {
    for (const auto& directory : userDirectories) {
        if (directory.key == key) return &directory;
    }
    return nullptr;
}

}  // namespace vornelo::platform
