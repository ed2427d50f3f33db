#include "Core/OperationLog.h"
#include "Platform/Files/FileDescriptor.h"
#include "Support/CliFixture.h"
#include "Support/TmuxSession.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <ranges>
#include <thread>
#include <tuple>

namespace vornelo {
namespace {

using nlohmann::json;
using test::contains;
using test::missingFrom;
using test::readFile;
using test::writeFile;
using Entry = OperationLog::Entry;
using namespace std::chrono_literals;

class TrashCommandsTest : public test::CliTest {
protected:
    // An item another tool put in the home Trash, deleted at `date` (local time, as such tools write it).
    void peerTrashed(const std::string& name, const std::string& original, const std::string& date) const {
        writeFile(trash(name), "from a peer");
        writeFile(path(".local/share/Trash/info") / (name + ".trashinfo"),
                  "[Trash Info]\nPath=" + original + "\nDeletionDate=" + date + "\n");
    }
    // The items `trash list` shows in this home's Trash, by original path.
    std::map<std::string, json> listed() const {
        std::map<std::string, json> items;
        const auto document = cliJson({"trash", "list"});
        for (const auto& item : document["items"]) {
            if (item["trashFolder"] == path(".local/share/Trash").native()) items[item["originalPath"]] = item;
        }
        return items;
    }
    std::map<std::string, std::string> environment() const {
        return {{"HOME", home.home().native()}, {"XDG_CONFIG_HOME", path(".config").native()}, {"NO_COLOR", "1"}};
    }
};

TEST_F(TrashCommandsTest, ListShowsEveryItemEmptyRemovesOnlyTheOldOnesThroughTheLogAndRestorePutsOneBack) {
    EXPECT_EQ(says({"trash", "list"}, {}).out, "The Trash is empty.\n");
    writeFile(path("Junk/new.txt"), std::string(5000, 'n'));
    writeFile(path("Junk/kept.txt"), "kept");
    const auto session = cleaned({path("Junk/new.txt").native(), path("Junk/kept.txt").native()});
    peerTrashed("old.txt", "/srv/old%20file.txt", "2020-01-02T10:30:00");

    auto items = listed();
    ASSERT_EQ(items.size(), 3u);
    const auto& peer = items["/srv/old file.txt"];
    EXPECT_EQ(std::tuple(peer["name"], peer["trashedPath"], peer["sessionID"]), std::tuple("old.txt", trash("old.txt").native(), nullptr));
    EXPECT_GE(items[path("Junk/new.txt").native()]["sizeBytes"].get<std::int64_t>(), 5000);
    EXPECT_EQ(items[path("Junk/new.txt").native()]["sessionID"], session);
    says({"trash", "list"}, {"2020-01-02 10:30:00", "/srv/old file.txt\n", "3 items, "});  // local time, as written

    // Emptying asks, or needs --yes; a dry run and a limit by age keep what they must.
    complains({"trash", "empty"}, 2, {"pass --yes"});
    complains({"trash", "empty", "--older-than", "-1", "--yes"}, 2, {"-1"});
    says({"trash", "empty", "--dry-run", "--older-than", "30"}, {"Dry run, nothing was changed: cleaning would remove 1 item"});
    EXPECT_TRUE(std::filesystem::exists(trash("old.txt")));
    says({"trash", "empty", "--yes", "--older-than", "100000"}, {"Nothing in the Trash was deleted more than 100000 days ago."});
    const auto emptied = cliJson({"trash", "empty", "--yes", "--older-than", "30"});
    EXPECT_EQ(emptied["result"]["succeeded"], 1);
    EXPECT_FALSE(std::filesystem::exists(trash("old.txt")));
    EXPECT_FALSE(std::filesystem::exists(path(".local/share/Trash/info/old.txt.trashinfo")));
    EXPECT_EQ(listed().size(), 2u);
    // Logged as a removal for good, in a session of its own.
    const auto recent = cliJson({"log", "recent", "-n", "1"});
    EXPECT_EQ(std::tuple(recent[0]["path"], recent[0]["mode"], recent[0]["action"], recent[0]["sessionID"]),
              std::tuple(trash("old.txt").native(), "permanent", "emptyTrash", emptied["sessionID"]));
    const auto runs = cliJson({"sessions"});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(std::tuple(runs[0]["action"], runs[0]["removed"]), std::tuple("emptyTrash", 1));

    // One item back by its original path; one by its Trash name, refused while its place is taken.
    says({"trash", "restore", path("Junk/new.txt").native()}, {"Restored  " + path("Junk/new.txt").native() + "\n"});
    EXPECT_EQ(readFile(path("Junk/new.txt")), std::string(5000, 'n'));
    writeFile(path("Junk/kept.txt"), "a newer file");
    const auto refused = cliJson({"trash", "restore", "kept.txt"}, 1);
    EXPECT_EQ(std::tuple(refused["results"][0]["restored"], refused["results"][0]["message"]),
              std::tuple(false, "Something else now exists at the original location."));
    EXPECT_EQ(std::tuple(readFile(path("Junk/kept.txt")), readFile(trash("kept.txt"))), std::tuple("a newer file", "kept"));
    complains({"trash", "restore", path("Junk/never.txt").native()}, 1, {"Nothing in the Trash was at"});

    // The same place trashed twice: the original path is ambiguous, the place in the Trash is not.
    std::filesystem::remove(path("Junk/kept.txt"));
    writeFile(path("Junk/kept.txt"), "second");
    cleaned({path("Junk/kept.txt").native()});
    complains({"trash", "restore", path("Junk/kept.txt").native()}, 2, {"names 2 items", trash("kept.txt").native(), trash("kept 2.txt").native()});
    says({"trash", "restore", trash("kept 2.txt").native()}, {"Restored"});
    EXPECT_EQ(readFile(path("Junk/kept.txt")), "second");
    // The put-back counts for its run: sessions sees that item back in its place.
    const auto latest = cliJson({"sessions", "-n", "1"})[0];
    EXPECT_EQ(std::tuple(latest["putBack"], latest["inTrash"], latest["gone"]), std::tuple(1, 0, 0)) << latest.dump();
}

TEST_F(TrashCommandsTest, RestoreTakesTheLatestRunAUniquePrefixOrSomeOfItsItemsAndSessionsTellsWhatBecameOfThem) {
    std::vector<std::string> paths;
    for (const auto* name : {"a", "b", "c"}) {
        paths.push_back(path(std::string("Run/") + name).native());
        writeFile(paths.back(), name);
    }
    const auto session = cleaned(paths);
    // Two earlier runs whose identifiers share their start, written straight into the log.
    const auto first = *Uuid::fromString("1BF79400-0000-4000-8000-000000000001");
    const auto second = *Uuid::fromString("1BF79411-0000-4000-8000-000000000002");
    {
        OperationLog log(logPath(), true);
        for (const auto& id : {first, second}) {
            log.append(Entry(std::chrono::system_clock::now() - 48h, id, "clean", "/srv/x", 1, OperationLog::Mode::permanent,
                             OperationLog::Outcome::success, false));
        }
    }
    complains({"restore", "1bf794"}, 2, {"starts 2 cleanup sessions", first.uuidString(), second.uuidString()});
    EXPECT_EQ(cli({"restore", "--dry-run", "1bf79411"}).exitCode, 0);
    complains({"restore", "1BF7949"}, 2, {"No cleanup session"});
    complains({"restore"}, 2, {"--last"});
    complains({"restore", session, path("Run/elsewhere").native()}, 2, {"is not an item of cleanup session " + session});

    // Some items of a run, then what sessions says of them.
    const auto some = cliJson({"restore", session.substr(0, 13), paths[1]});
    EXPECT_EQ(std::tuple(some["id"], some["results"].size(), some["results"][0]["path"]), std::tuple(session, 1u, paths[1]));
    EXPECT_EQ(readFile(paths[1]), "b");
    EXPECT_FALSE(std::filesystem::exists(paths[0]));
    std::filesystem::remove(trash("c"));  // emptied by someone else
    const auto fate = cliJson({"sessions", "-n", "1"})[0];
    EXPECT_EQ(std::tuple(fate["id"], fate["inTrash"], fate["putBack"], fate["gone"]), std::tuple(session, 1, 1, 1));
    says({"sessions", "-n", "1"}, {"3 trashed", "; now 1 in the Trash, 1 put back, 1 gone\n"});

    // --last is the latest run; what is gone is named, and makes it exit 1.
    const auto last = cliJson({"restore", "--last"}, 1);
    EXPECT_EQ(std::tuple(last["id"], last["notPutBack"]), std::tuple(session, json::array({paths[2]})));
    EXPECT_EQ(readFile(paths[0]), "a");
    says({"restore", "--last", "--dry-run", paths[0]}, {"0 of 1 item can be put back:"});
}

// As a person meets them on a terminal: log clear asks first, and Ctrl-C in the middle of a large
// folder stops at once, saying what went and what is left, with exit code 1.
TEST_F(TrashCommandsTest, OnATerminalClearAsksAndCtrlCStopsTheRemovalOfALargeFolder) {
    writeFile(path("Junk/a"), "a");
    cleaned({path("Junk/a").native()});
    {
        test::TmuxSession declined({VORNELO_CLI_PATH, "log", "clear"}, 120, 20, environment());
        if (!declined.started()) GTEST_SKIP() << "tmux cannot start here";
        declined.waitFor({"Delete the operation log", "[y/N]"});
        declined.keys({"n", "Enter"});
        EXPECT_EQ(declined.exitCode(), 0);
        declined.waitFor({"The operation log was kept."});
        EXPECT_TRUE(std::filesystem::exists(logPath()));
    }
    {
        test::TmuxSession accepted({VORNELO_CLI_PATH, "log", "clear"}, 120, 20, environment());
        accepted.waitFor({"[y/N]"});
        accepted.keys({"y", "e", "s", "Enter"});
        EXPECT_EQ(accepted.exitCode(), 0);
        EXPECT_FALSE(std::filesystem::exists(logPath()));
    }

    // Only the large folder is left in the Trash, so the run has one item.
    std::filesystem::remove(trash("a"));
    std::filesystem::remove(path(".local/share/Trash/info/a.trashinfo"));
    for (int folder = 0; folder < 30; ++folder) {
        const auto inside = trash("big") / std::to_string(folder);
        std::filesystem::create_directories(inside);
        for (int index = 0; index < 1000; ++index) platform::FileDescriptor(::open((inside / std::to_string(index)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    }
    writeFile(path(".local/share/Trash/info/big.trashinfo"), "[Trash Info]\nPath=" + path("big").native() + "\nDeletionDate=2020-01-01T00:00:00\n");
    // The exit status through bash, which outlives a Ctrl-C its child handled (sh would not).
    const auto status = path("status");
    test::TmuxSession run({"/bin/bash", "-c", "\"$@\"; echo $? > " + status.native(), "bash", VORNELO_CLI_PATH, "trash", "empty", "--yes"},
                          250, 30, environment());
    run.waitFor({"0/1  "});  // the progress line of the one item
    const auto folders = [&] { return std::distance(std::filesystem::directory_iterator(trash("big")), std::filesystem::directory_iterator()); };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (folders() == 30 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const auto interrupted = std::chrono::steady_clock::now();
    run.keys({"C-c"});
    while (!readFile(status).ends_with('\n') && std::chrono::steady_clock::now() < interrupted + 20s) std::this_thread::sleep_for(10ms);
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 1s);
    EXPECT_EQ(readFile(status), "1\n");
    const auto screen = run.waitFor({"Cancelled during its removal: ", " of it went for good, and the rest is still in the Trash."});
    ASSERT_TRUE(std::filesystem::exists(trash("big"))) << screen;
    const auto left = std::distance(std::filesystem::recursive_directory_iterator(trash("big")), std::filesystem::recursive_directory_iterator());
    EXPECT_GT(left, 0);
    const auto entry = cliJson({"log", "recent", "-n", "1"})[0];
    EXPECT_EQ(std::tuple(entry["outcome"], entry["path"]), std::tuple("failed", trash("big").native()));
    EXPECT_TRUE(contains(entry["detail"].get<std::string>(), "Cancelled during its removal")) << entry.dump();
}

}  // namespace
}  // namespace vornelo
