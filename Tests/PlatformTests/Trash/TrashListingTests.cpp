#include "Platform/Trash/TrashInfo.h"
#include "Platform/Trash/TrashListing.h"
#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

TimePoint localNoon() {
    struct tm local {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 14;
    local.tm_hour = 12;
    local.tm_min = 30;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(::mktime(&local));
}

TEST(TrashListing, InfoFilesAreReadAsHostileInput) {
    const auto noon = localNoon();
    using Record = TrashListing::Record;
    const std::tuple<std::string, std::string, Record> cases[] = {
        {TrashInfo::contents("/home/ada/r\xC3\xA9sum\xC3\xA9 2026.pdf", noon), "", {"/home/ada/r\xC3\xA9sum\xC3\xA9 2026.pdf", noon}},
        {"[Trash Info]\r\nPath=work/data.bin\r\nDeletionDate=2026-03-14T12:30:00\r\n", "/media/usb", {"/media/usb/work/data.bin", noon}},
        {"[Trash Info]\nPath=work/data.bin\n", "", {}},                       // relative in the home Trash: no place
        {"[Trash Info]\nPath=%2Fetc%2Fpasswd\nPath=/other\n", "", {"/etc/passwd", std::nullopt}},  // the first wins
        {"[Trash Info]\nPath=/a%2\nDeletionDate=2026-13-01T00:00:00\n", "", {}},  // bad escape, impossible date
        {"[Trash Info]\nPath=/a%00b\n", "", {}},                              // no NUL inside a path
        {"[Other]\nPath=/x\n[Trash Info]\nPath=/y\n", "", {}},                // the record is the first group
        {"Path=/x\n", "", {}},
        {"# made by hand\n\n[Trash Info]\nPath=/a/../b\nDeletionDate=2026-03-14T11:30:00Z\n", "",
         {"/b", TimePoint(std::chrono::sys_days{std::chrono::year{2026} / 3 / 14} + std::chrono::hours(11) + std::chrono::minutes(30))}},
        {"[Trash Info]\nX-Vornelo-Session=ABC\nPath=/kept\n", "", {"/kept", std::nullopt}},
    };
    for (const auto& [text, top, expected] : cases) EXPECT_EQ(TrashListing::parseInfo(text, top), expected) << text;
}

// The home Trash and the Trashes at the top of other file systems, each safe one once; each item
// with its record, what cannot be read reported beside them.
TEST(TrashListing, ListsEverySafeTrashAndWhatItHolds) {
    test::TempDirectory root;
    const uid_t user = ::getuid();
    const auto home = root / "home/.local/share/Trash";
    fs::create_directories(home / "files");
    fs::create_directories(home / "info");
    writeFile(home / "files/report.txt", "x");
    writeFile(home / "info/report.txt.trashinfo", TrashInfo::contents("/home/ada/report.txt", localNoon()));
    fs::create_directories(home / "files/folder/inner");
    writeFile(home / "files/no-record", "x");
    writeFile(home / "files/huge-record", "x");
    writeFile(home / "info/huge-record.trashinfo", std::string(TrashListing::maxInfoBytes + 1, 'x'));
    writeFile(home / "files/pipe-record", "x");
    ::mkfifo((home / "info/pipe-record.trashinfo").c_str(), 0600);
    writeFile(root / "elsewhere", "[Trash Info]\nPath=/etc/shadow\n");
    writeFile(home / "files/linked-record", "x");
    fs::create_symlink(root / "elsewhere", home / "info/linked-record.trashinfo");

    const auto usb = root / "usb";
    fs::create_directories(usb / (".Trash-" + std::to_string(user)) / "files");
    fs::create_directories(usb / (".Trash-" + std::to_string(user)) / "info");
    fs::create_directories(usb / ".Trash" / std::to_string(user) / "files");
    fs::create_directories(usb / ".Trash" / std::to_string(user) / "info");
    ::chmod((usb / ".Trash").c_str(), 01777);
    const auto disk = root / "disk";  // a Trash that is a link to somewhere else is passed over
    fs::create_directories(root / "real-trash/files");
    fs::create_directories(root / "real-trash/info");
    fs::create_directories(disk);
    fs::create_symlink(root / "real-trash", disk / (".Trash-" + std::to_string(user)));

    const std::vector<std::string> mounts{usb.native(), disk.native(), usb.native(), root.path() / "nothing"};
    const auto folders = TrashListing::folders(home, user, mounts);
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& folder : folders) found.emplace_back(folder.path, folder.topDirectory);
    EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                         {home.native(), ""},
                         {(usb / ".Trash" / std::to_string(user)).native(), usb.native()},
                         {(usb / (".Trash-" + std::to_string(user))).native(), usb.native()}}));

    const auto contents = TrashListing::contents(folders.front(), user);
    ASSERT_TRUE(contents);
    std::map<std::string, const TrashListing::Item*> items;
    for (const auto& item : contents->items) items[item.name] = &item;
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items["report.txt"]->record.originalPath, "/home/ada/report.txt");
    EXPECT_EQ(items["report.txt"]->path, (home / "files/report.txt").native());
    EXPECT_EQ(items["folder"]->type, FileType::directory);
    EXPECT_FALSE(items["no-record"]->hasInfo);
    for (const auto* name : {"huge-record", "pipe-record", "linked-record"}) {
        EXPECT_FALSE(items[name]->hasInfo) << name;
        EXPECT_FALSE(items[name]->record.originalPath) << name;
    }
    std::vector<std::string> problems;
    for (const auto& [path, error] : contents->problems) problems.push_back(fs::path(path).filename());
    std::sort(problems.begin(), problems.end());
    EXPECT_EQ(problems, (std::vector<std::string>{"huge-record", "linked-record", "pipe-record"}));

    EXPECT_FALSE(TrashListing::contents({(root / "nothing").native(), ""}, user));
    const auto points = TrashListing::mountPoints();
    EXPECT_NE(std::find(points.begin(), points.end(), "/"), points.end());
}

TEST(TrashListing, AnotherUsersTrashIsNotTheUsers) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory root;
    const auto nobody = test::unprivilegedAccount();
    const auto trash = root / (".Trash-" + std::to_string(nobody.uid));
    fs::create_directories(trash / "files");
    fs::create_directories(trash / "info");
    EXPECT_TRUE(TrashListing::folders(root / "none", nobody.uid, std::vector<std::string>{root.path()}).empty())
        << "made by root, so not nobody's";
    ::chown(trash.c_str(), nobody.uid, nobody.gid);
    ::chown((trash / "files").c_str(), nobody.uid, nobody.gid);
    ::chown((trash / "info").c_str(), nobody.uid, nobody.gid);
    EXPECT_EQ(TrashListing::folders(root / "none", nobody.uid, std::vector<std::string>{root.path()}).size(), 1u);
}

}  // namespace
}  // namespace vornelo::platform
