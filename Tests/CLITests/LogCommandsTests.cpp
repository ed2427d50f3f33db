#include "Core/OperationLog.h"
#include "Platform/Encoding/PropertyList.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/ManagedPreferences.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <tuple>

namespace vornelo {
namespace {

using nlohmann::json;
using Entry = OperationLog::Entry;
using test::contains;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

class LogCommandsTest : public test::CliTest {
protected:
    // The CLI has no producer of its own: entries are written here, where the CLI will read them.
    void writeEntries(int count) const {
        OperationLog log(logPath(), true);
        for (int i = 1; i <= count; ++i) {
            log.append(Entry(noon + std::chrono::seconds(i), std::nullopt, "clean", "/home/u/file-" + std::to_string(i),
                             100 * i, i % 2 ? OperationLog::Mode::trash : OperationLog::Mode::permanent,
                             OperationLog::Outcome::success, false));
        }
    }
    std::filesystem::path totalsPath() const { return path(".local/state/vornelo/operations.totals.json"); }
};

TEST_F(LogCommandsTest, TheLogLivesInTheUsersStateFolderIsOnByDefaultAndItsSwitchIsSaved) {
    EXPECT_EQ(says({"log", "path"}, {}).out, logPath().native() + "\n");
    const auto status = cliJson({"log", "status"});
    EXPECT_EQ(std::tuple(status["enabled"], status["forced"], status["totalsPath"]), std::tuple(true, false, totalsPath().native()));
    EXPECT_EQ(cliJson({"log", "path"})["rotatedPaths"][4], path(".local/state/vornelo/operations.5.log").native());
    EXPECT_FALSE(std::filesystem::exists(path(".local")));  // reading creates nothing

    EXPECT_EQ(cliJson({"log", "disable"})["enabled"], false);
    EXPECT_EQ(home.defaults()->object("Vornelo.operationLogEnabled"), platform::PlistValue(false));
    says({"log", "status"}, {"Operation logging is off."});
    EXPECT_EQ(cliJson({"log", "enable"})["enabled"], true);
    EXPECT_EQ(home.defaults()->object("Vornelo.operationLogEnabled"), platform::PlistValue(true));
}

TEST_F(LogCommandsTest, RecentListsTheNewestEntriesFirstTotalsFollowTheAccountingAndClearRemovesBoth) {
    EXPECT_EQ(says({"log", "recent"}, {}).out, "The operation log has no entries.\n");
    writeEntries(3);
    EXPECT_EQ(says({"log", "recent", "-n", "2"}, {}).out,
              "2024-05-01 12:00:03  success  clean  trash  300 bytes  /home/u/file-3\n"
              "2024-05-01 12:00:02  success  clean  permanent  200 bytes  /home/u/file-2\n");

    auto entries = cliJson({"log", "recent", "-n", "5"});
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].contains("prevHash") && !entries[2].contains("prevHash")) << entries.dump(1);
    entries[0].erase("prevHash");
    EXPECT_EQ(entries[0], json::parse(R"({"action": "clean", "dryRun": false, "id": "1714564803.0-clean-/home/u/file-3",
        "mode": "trash", "outcome": "success", "path": "/home/u/file-3", "sizeBytes": 300, "timestamp": "2024-05-01T12:00:03Z"})"));
    for (const auto* limit : {"-1", "0"}) complains({"log", "recent", "-n", limit}, 2, {"must be 1 or more, not " + std::string(limit)});

    const auto totals = cliJson({"log", "totals"});
    EXPECT_EQ(std::tuple(totals["operations"], totals["trashedBytes"], totals["freedBytes"], totals["accountingVersion"]),
              std::tuple(3, 400, 200, 2)) << totals;
    // Without a terminal to ask on, only --yes clears.
    complains({"log", "clear"}, 2, {"pass --yes"});
    EXPECT_TRUE(std::filesystem::exists(logPath()));
    EXPECT_EQ(cliJson({"log", "clear", "--yes"})["cleared"], true);
    EXPECT_FALSE(std::filesystem::exists(logPath()));
    EXPECT_FALSE(std::filesystem::exists(totalsPath()));
    EXPECT_EQ(cliJson({"log", "totals"})["operations"], 0);
}

TEST_F(LogCommandsTest, ExportWritesTheChosenFormatAndVerifyFailsWithExitCodeOneOnceTheLogIsAltered) {
    writeEntries(3);
    const auto csv = path("out.csv");
    EXPECT_EQ(cliJson({"log", "export", "--format", "csv", csv.native()})["exported"], 3);
    const auto text = test::readFile(csv);
    EXPECT_TRUE(text.starts_with("timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n"));
    EXPECT_TRUE(contains(text, "2024-05-01T12:00:02Z,clean,success,permanent,false,200,/home/u/file-2,,,\n")) << text;
    const auto jsonl = path("out.jsonl");
    EXPECT_EQ(cli({"log", "export", jsonl.native()}).exitCode, 0);
    EXPECT_EQ(test::readFile(jsonl), test::readFile(logPath()));
    complains({"log", "export", "--format", "xml", csv.native()}, 2, {"xml"});
    complains({"log", "export", path("missing/out.csv").native()}, 1, {path("missing/out.csv").native()});

    const auto intact = cliJson({"log", "verify"});
    EXPECT_EQ(std::tuple(intact["isIntact"], intact["verified"], intact["unchained"], intact["firstBrokenLine"]),
              std::tuple(true, 2, 1, nullptr)) << intact;
    // The first broken link is line 3's, but the totals vouch for line 3: line 2 was changed.
    auto log = test::readFile(logPath());
    log.replace(log.find("file-2"), 6, "file-X");
    test::writeFile(logPath(), log);
    const auto broken = cliJson({"log", "verify"}, 1);
    EXPECT_EQ(std::tuple(broken["isIntact"], broken["firstBrokenLine"], broken["changedLine"]), std::tuple(false, 3, 2));
    says({"log", "verify"}, {"line 2 of " + logPath().native() + " was changed, as line 3"}, 1);
    // Without totals nothing vouches for the last line.
    std::filesystem::remove(totalsPath());
    says({"log", "verify"}, {"line 3 of " + logPath().native() + " or the one before it was changed."}, 1);
}

// "-" is standard output, holding the export alone; /dev/stdout and a device are written into,
// never replaced (in a /dev of the test's own: a regression must not replace the machine's).
TEST_F(LogCommandsTest, ExportToStandardOutputOrADeviceWritesIntoItAndNeverReplacesIt) {
    writeEntries(2);
    const auto csv = cli({"log", "export", "--format", "csv", "-"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(std::ranges::count(csv.out, '\n'), 3) << csv.out;
    EXPECT_TRUE(csv.out.starts_with("timestamp,action,")) << csv.out;
    complains({"--json", "log", "export", "-"}, 2, {"-"});
    VORNELO_REQUIRE_ROOT();
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) return "no tmpfs for /dev";
        if (::mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0 || ::symlink("/proc/self/fd/1", "/dev/stdout") != 0) return "no devices";
        const auto viaLink = cli({"log", "export", "/dev/stdout"});
        if (viaLink.exitCode != 0 || viaLink.out.substr(0, viaLink.out.find("Exported")) != test::readFile(logPath())) {
            return "/dev/stdout: " + viaLink.out + viaLink.err;
        }
        const auto discarded = cli({"log", "export", "--format", "csv", "/dev/null"});
        struct stat null {};
        if (discarded.exitCode != 0 || ::lstat("/dev/null", &null) != 0 || !S_ISCHR(null.st_mode)) return "/dev/null was replaced: " + discarded.err;
        return std::filesystem::is_symlink("/dev/stdout") ? "" : "/dev/stdout was replaced";
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

TEST_F(LogCommandsTest, AForcedLogStaysOnAndCannotBeCleared) {
    VORNELO_REQUIRE_ROOT();
    writeEntries(1);
    const platform::PlistValue::Dictionary keys{{"ForceOperationLog", platform::PlistValue(true)}};
    const auto outcome = test::withManagedPreferences(keys, 0644, [&]() -> std::string {
        const auto status = json::parse(cli({"--json", "log", "disable"}).out);
        if (status["enabled"] != true || status["forced"] != true || status["storedEnabled"] != false) {
            return "the force was not shown: " + status.dump();
        }
        const auto cleared = cli({"log", "clear"});
        if (cleared.exitCode != 1 || !contains(cleared.err, "administrator")) return "clear was not refused: " + cleared.err;
        return std::filesystem::exists(logPath()) ? "" : "the forced log was removed";
    });
    if (outcome.starts_with("SKIP")) GTEST_SKIP() << outcome;
    EXPECT_EQ(outcome, "");
}

}  // namespace
}  // namespace vornelo
