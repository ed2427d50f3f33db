#include "Platform/FileManager.h"

#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

namespace vornelo::platform {
namespace {

using test::readFile;
using test::writeFile;

namespace fs = std::filesystem;

FileManager& files() { return FileManager::defaultManager(); }

struct stat statOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info;
}

TEST(FileManagerMove, MovesWithinAFileSystem) {
    test::TempDirectory directory;
    writeFile(directory / "from" / "inner", "inner");
    const auto inode = statOf(directory / "from").st_ino;
    ASSERT_TRUE(files().moveItem(directory / "from", directory / "to"));
    EXPECT_EQ(readFile(directory / "to" / "inner"), "inner");
    EXPECT_EQ(statOf(directory / "to").st_ino, inode);
    EXPECT_FALSE(fs::exists(directory / "from"));
}

TEST(FileManagerMove, NeverReplacesWhatIsAtTheDestination) {
    test::TempDirectory directory;
    writeFile(directory / "source", "source");
    writeFile(directory / "file", "file");
    fs::create_directories(directory / "empty-folder");
    fs::create_symlink("nowhere", directory / "dangling");
    for (const char* taken : {"file", "empty-folder", "dangling"}) {
        const auto moved = files().moveItem(directory / "source", directory / taken);
        ASSERT_FALSE(moved) << taken;
        EXPECT_TRUE(moved.error().isCocoa(FileError::writeFileExists)) << moved.error().description;
        EXPECT_EQ(readFile(directory / "source"), "source");
    }
    EXPECT_EQ(readFile(directory / "file"), "file");
    EXPECT_TRUE(fs::is_symlink(directory / "dangling"));

    const auto vanished = files().moveItem(directory / "no-source", directory / "anywhere");
    ASSERT_FALSE(vanished);
    EXPECT_TRUE(vanished.error().isCocoa(FileError::noSuchFile));
}

// Runs the body with a tmpfs on `volume`, so that moves between it and the rest are cross-device.
test::ChildOutcome withVolume(const fs::path& volume, const std::function<std::string()>& body) {
    return test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=16m") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        return body();
    });
}

TEST(FileManagerMove, AcrossFileSystemsCopiesEverythingThenRemovesTheSource) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto volume = directory / "volume";
    fs::create_directories(volume);
    const auto account = test::unprivilegedAccount();
    const auto outcome = withVolume(volume, [&]() -> std::string {
        const auto source = volume / "App.app";
        writeFile(source / "Contents" / "binary", std::string(300000, 'b'));
        writeFile(source / "Contents" / "owned", "owned");
        fs::create_directories(source / "Empty");
        fs::create_symlink("Contents/binary", source / "link");
        ::chmod((source / "Contents" / "binary").c_str(), 0751);
        ::chown((source / "Contents" / "owned").c_str(), account.uid, account.gid);
        if (::setxattr((source / "Contents" / "binary").c_str(), "user.origin", "download", 8, 0) != 0) {
            return std::string("setxattr failed: ") + std::strerror(errno);
        }
        const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimensat(AT_FDCWD, (source / "Contents" / "binary").c_str(), past, 0);
        ::chmod(source.c_str(), 0705);
        ::utimensat(AT_FDCWD, source.c_str(), past, 0);

        const auto target = directory / "moved.app";
        const auto moved = files().moveItem(source, target);
        if (!moved) return "move failed: " + moved.error().description;
        if (fs::exists(source)) return "the source is still there";
        if (readFile(target / "Contents" / "binary") != std::string(300000, 'b')) return "contents differ";
        const auto binary = statOf(target / "Contents" / "binary");
        if ((binary.st_mode & 07777) != 0751) return "mode not kept";
        if (binary.st_mtim.tv_sec != 1000000000) return "modification time not kept";
        if (statOf(target / "Contents" / "owned").st_uid != account.uid) return "owner not kept";
        if ((statOf(target).st_mode & 07777) != 0705 || statOf(target).st_mtim.tv_sec != 1000000000) {
            return "the folder's own mode or time not kept";
        }
        char value[16] = {};
        if (::getxattr((target / "Contents" / "binary").c_str(), "user.origin", value, sizeof value) != 8 ||
            std::string(value) != "download") {
            return "extended attribute not kept";
        }
        if (!fs::is_symlink(target / "link") || fs::read_symlink(target / "link") != "Contents/binary") {
            return "link not copied as a link";
        }
        if (!fs::is_directory(target / "Empty")) return "empty folder lost";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST(FileManagerMove, AcrossFileSystemsATakenDestinationLeavesBothAlone) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto volume = directory / "volume";
    fs::create_directories(volume);
    writeFile(directory / "taken" / "mine", "mine");
    const auto outcome = withVolume(volume, [&]() -> std::string {
        writeFile(volume / "item" / "data", "data");
        const auto moved = files().moveItem(volume / "item", directory / "taken");
        if (moved) return "replaced the destination";
        if (!moved.error().isCocoa(FileError::writeFileExists)) return "unexpected error: " + moved.error().description;
        if (readFile(volume / "item" / "data") != "data") return "source damaged";
        if (readFile(directory / "taken" / "mine") != "mine") return "destination damaged";

        // A volume mounted inside the source cannot be carried along; nothing is left behind.
        writeFile(volume / "holder" / "own", "own");
        fs::create_directories(volume / "holder" / "inner");
        if (::mount("tmpfs", (volume / "holder" / "inner").c_str(), "tmpfs", 0, "size=1m") != 0) return "inner mount failed";
        const auto refused = files().moveItem(volume / "holder", directory / "holder");
        if (refused) return "moved a folder with a volume inside";
        if (fs::exists(directory / "holder")) return "left a destination behind";
        if (readFile(volume / "holder" / "own") != "own") return "source damaged";
        for (const auto& entry : fs::directory_iterator(directory.path())) {
            if (entry.path().filename().native().starts_with(".vornelo-move")) return "left a temporary copy";
        }
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::platform
