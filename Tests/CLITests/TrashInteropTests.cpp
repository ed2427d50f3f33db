// What vornelo-cli puts in the Trash, other Trash tools (trash-cli, gio) must see, and what they
// put there, vornelo-cli must be able to empty; items trashed by earlier versions still count.

#include "Core/OperationLog.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/FileChecks.h"

#include <chrono>
#include <cstdio>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::readFile;
using test::writeFile;

class TrashInteropTest : public test::CliTest {
protected:
    std::map<std::string, std::string> environment() const {
        return {{"HOME", home.home().native()}, {"XDG_DATA_HOME", (home.home() / ".local/share").native()},
                {"XDG_CONFIG_HOME", (home.home() / ".config").native()}};
    }
    std::string trashList() const { return test::runProgram("/usr/bin/trash-list", {}, environment()).out; }
    // Each trashed item as "<name in the Trash> ... trash::orig-path=<original path>".
    std::string gioList() const {
        return test::runProgram("/usr/bin/dbus-run-session", {"--", "gio", "list", "-a", "trash::orig-path", "trash:///"},
                                environment())
            .out;
    }
    fs::path info(const std::string& name = "") const { return path(".local/share/Trash/info") / name; }
};

// A path as gio prints a byte-string attribute: bytes past ASCII as "\\xNN".
std::string gioPath(const fs::path& path) {
    std::string text;
    char escaped[5];
    for (const unsigned char byte : path.native()) {
        std::snprintf(escaped, sizeof escaped, byte < 0x80 ? "%c" : "\\x%02x", byte);
        text += escaped;
    }
    return text;
}

TEST_F(TrashInteropTest, PeersListWhatWeCleanedAndWePutItBackAfterwards) {
    const auto first = home.home() / "Junk/caf\xC3\xA9 menu #1.txt";
    const auto second = home.home() / "Other/caf\xC3\xA9 menu #1.txt";
    writeFile(first, "first");
    writeFile(second, "second");
    const auto session = cleaned({first, second});
    EXPECT_EQ(readFile(trash("caf\xC3\xA9 menu #1 2.txt")), "second");

    const auto listed = trashList();
    const auto gio = gioList();
    for (const auto& item : {first, second}) {
        EXPECT_TRUE(contains(listed, " " + item.native() + "\n")) << listed;
        EXPECT_TRUE(contains(gio, "trash::orig-path=" + gioPath(item) + "\n")) << gio;
    }

    const auto restored = cli({"restore", session});
    EXPECT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(readFile(first), "first");
    EXPECT_EQ(readFile(second), "second");
    EXPECT_TRUE(fs::is_empty(info())) << "put back, yet still listed by the peers";
    EXPECT_EQ(trashList(), "");
}

TEST_F(TrashInteropTest, APeersItemsAndThoseOfEarlierVersionsAreEmptiedAndPutBack) {
    writeFile(home.home() / "peer.txt", "peer");
    writeFile(home.home() / "damaged.txt", "damaged");
    const auto gio = test::runProgram("/usr/bin/gio", {"trash", home.home() / "peer.txt", home.home() / "damaged.txt"},
                                      environment());
    ASSERT_EQ(gio.exitCode, 0) << gio.err;
    ASSERT_TRUE(fs::exists(info("peer.txt.trashinfo")));
    writeFile(info("damaged.txt.trashinfo"), std::string("\xFF\0[Trash", 8));
    const auto legacy = home.home() / ".Trash";
    writeFile(legacy / "old.txt", "old");

    const auto emptied = cli({"clean", "--yes", "--category", "trash", trash("peer.txt"),
                              trash("damaged.txt"), legacy / "old.txt"});
    EXPECT_EQ(emptied.exitCode, 0) << emptied.out << emptied.err;
    EXPECT_TRUE(contains(emptied.out, "3 items inside a Trash for good")) << emptied.out;
    EXPECT_TRUE(fs::is_empty(trash("")));
    EXPECT_TRUE(fs::is_empty(info()));
    EXPECT_FALSE(fs::exists(legacy / "old.txt"));

    // A run of an earlier version left its item in ~/.Trash, with no info file.
    writeFile(legacy / "kept.txt", "kept");
    struct stat info {};
    ASSERT_EQ(::lstat((legacy / "kept.txt").c_str(), &info), 0);
    const Uuid session;
    {
        OperationLog log(logPath(), true);
        log.append(OperationLog::Entry(std::chrono::system_clock::now(), session, "clean", home.home() / "Docs/kept.txt",
                                       5, OperationLog::Mode::trash, OperationLog::Outcome::success, false, std::nullopt,
                                       legacy / "kept.txt", info.st_ino));
    }
    const auto restored = cli({"restore", session.uuidString()});
    EXPECT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(readFile(home.home() / "Docs/kept.txt"), "kept");
}

TEST_F(TrashInteropTest, ItemsOnOtherFileSystemsAreListedByPeersAndComeBack) {
    VORNELO_REQUIRE_ROOT();
    // gio leaves a tmpfs alone (a "system internal" mount for it), so it looks at a disk image.
    const auto memory = home.root() / "memory";
    const auto disk = home.root() / "disk";
    const auto image = home.root() / "disk.img";
    fs::create_directories(memory);
    fs::create_directories(disk);
    fs::resize_file((writeFile(image, ""), image), 8 << 20);
    ASSERT_EQ(test::runProgram("/sbin/mkfs.ext4", {"-q", "-F", image}).exitCode, 0);
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", memory.c_str(), "tmpfs", 0, "size=8m") != 0) return std::string("tmpfs: ") + std::strerror(errno);
        const auto mounted = test::runProgram("/bin/mount", {"-o", "loop", image, disk});
        if (mounted.exitCode != 0) return "mounting the image failed: " + mounted.err;
        writeFile(memory / "work/a.txt", "a");
        writeFile(disk / "work/b.txt", "b");
        const auto session = cleaned({memory / "work/a.txt", disk / "work/b.txt"});
        const auto listed = trashList();
        const auto gio = gioList();
        for (const auto& item : {memory / "work/a.txt", disk / "work/b.txt"}) {
            if (!contains(listed, " " + item.native() + "\n")) return "trash-list misses " + item.native() + ":\n" + listed;
        }
        if (!contains(gio, "trash::orig-path=" + (disk / "work/b.txt").native())) return "gio misses b.txt:\n" + gio;
        const auto restored = cli({"restore", session});
        if (restored.exitCode != 0) return "restore failed: " + restored.out + restored.err;
        if (readFile(memory / "work/a.txt") != "a" || readFile(disk / "work/b.txt") != "b") return "not put back";
        if (!trashList().empty()) return "still listed after restore";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
