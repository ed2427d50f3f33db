#include "Platform/Trash/TrashContents.h"

#include "Platform/Trash/Trash.h"
#include "Platform/Trash/TrashInfo.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;
using test::writeFile;
using namespace std::chrono_literals;

// What other tools write is read as they mean it: local dates with or without fractions, and
// nothing taken from a date that is not one.
TEST(TrashContents, DeletionDatesAreReadInLocalTimeAndRoundTripWhatWeWrite) {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const auto written = TrashInfo::parse(TrashInfo::contents("/a b", now, "S"));
    ASSERT_TRUE(written);
    EXPECT_EQ(std::tuple(written->path, written->session, written->deletionDate), std::tuple("/a b", "S", std::optional<TimePoint>(now)));
    const auto plain = TrashInfo::parseLocalDate("2020-01-02T10:30:00");
    ASSERT_TRUE(plain);
    EXPECT_EQ(TrashInfo::parseLocalDate("2020-01-02T10:30:00.250"), plain);
    EXPECT_EQ(*TrashInfo::parseLocalDate("2020-01-02T10:30:05") - *plain, 5s);
    for (const auto* bad : {"", "2020-01-02", "2020-13-02T10:30:00", "2020-01-02 10:30:00", "20x0-01-02T10:30:00", "2020-01-02T25:00:00"}) {
        EXPECT_EQ(TrashInfo::parseLocalDate(bad), std::nullopt) << bad;
    }
}

// Only an item that is there with a readable info file of its own is listed; what other tools
// leave half-done, and links where folders or info files should be, are passed over.
TEST(TrashContents, ListsWholeItemsOnlyAndNeverFollowsALink) {
    test::TestHome home;
    const auto trash = Trash::homeTrash(home.home());
    const auto item = [&](const std::string& name, const std::string& info) {
        writeFile(trash / "files" / name, name);
        if (!info.empty()) writeFile(trash / "info" / (name + ".trashinfo"), info);
    };
    item("whole", "[Trash Info]\nPath=/srv/whole%20one\nDeletionDate=2020-01-02T10:30:00\nX-Vornelo-Session=ABC\n");
    item("no info", "");
    item("bad escape", "[Trash Info]\nPath=/srv/%zz\nDeletionDate=2020-01-02T10:30:00\n");
    item("no group", "Path=/srv/x\n");
    item("no date", "[Trash Info]\nPath=/srv/undated\n");
    item("relative", "[Trash Info]\nPath=srv/relative\nDeletionDate=2020-01-02T10:30:00\n");
    writeFile(trash / "info" / "orphan.trashinfo", "[Trash Info]\nPath=/srv/orphan\nDeletionDate=2020-01-02T10:30:00\n");
    writeFile(home.home() / "elsewhere.trashinfo", "[Trash Info]\nPath=/srv/linked\n");
    writeFile(trash / "files" / "linked", "x");
    fs::create_symlink(home.home() / "elsewhere.trashinfo", trash / "info" / "linked.trashinfo");

    std::map<std::string, TrashContents::Item> found;
    for (auto& entry : TrashContents::list(home.home(), ::geteuid())) {
        if (entry.trashFolder == trash.native()) found.emplace(entry.name, std::move(entry));
    }
    ASSERT_EQ(found.size(), 2u);
    const auto& whole = found.at("whole");
    EXPECT_EQ(std::tuple(whole.originalPath, whole.session, whole.trashedPath, whole.deletionDate),
              std::tuple("/srv/whole one", "ABC", trash / "files" / "whole", TrashInfo::parseLocalDate("2020-01-02T10:30:00")));
    struct stat info {};
    ASSERT_EQ(::lstat((trash / "files" / "whole").c_str(), &info), 0);
    EXPECT_EQ(whole.fileNumber, static_cast<std::uint64_t>(info.st_ino));
    EXPECT_EQ(std::tuple(found.at("no date").originalPath, found.at("no date").deletionDate), std::tuple("/srv/undated", std::nullopt));

    // A Trash folder that is a link is not the user's Trash.
    test::TempDirectory other;
    fs::rename(trash, other / "Trash");
    fs::create_symlink(other / "Trash", trash);
    EXPECT_TRUE(std::ranges::none_of(TrashContents::list(home.home(), ::geteuid()),
                                     [&](const auto& entry) { return entry.trashFolder == trash.native(); }));
}

}  // namespace
}  // namespace vornelo::platform
