#include "Core/OperationLog.h"
#include "Platform/PropertyList.h"
#include "Support/ChildProcess.h"
#include "Support/ManagedPreferences.h"
#include "Support/Subprocess.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>


#include <chrono>

namespace vornelo {
namespace {

using nlohmann::json;
using Entry = OperationLog::Entry;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

class LogCommandsTest : public ::testing::Test {
protected:
    test::ProgramResult cli(const std::vector<std::string>& arguments) { return test::runCli(arguments, home.home()); }
    json cliJson(std::vector<std::string> arguments, int exitCode = 0) {
        arguments.insert(arguments.begin(), "--json");
        const auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        return json::parse(result.out);
    }
    std::filesystem::path logPath() const { return home.home() / "Library/Logs/Vornelo/operations.log"; }
    // The CLI has no producer of its own: entries are written here, where the CLI will read them.
    void writeEntries(int count) {
        OperationLog log(logPath(), true);
        for (int i = 1; i <= count; ++i) {
            log.append(Entry(noon + std::chrono::seconds(i), std::nullopt, "clean", "/home/u/file-" + std::to_string(i),
                             100 * i, i % 2 ? OperationLog::Mode::trash : OperationLog::Mode::permanent,
                             OperationLog::Outcome::success, false));
        }
    }
    test::TestHome home;
};

TEST_F(LogCommandsTest, TheLogLivesInTheUsersLibraryAndIsOnByDefault) {
    const auto path = cli({"log", "path"});
    EXPECT_EQ(path.exitCode, 0);
    EXPECT_EQ(path.out, logPath().native() + "\n");
    const auto status = cliJson({"log", "status"});
    EXPECT_EQ(status["enabled"], true);
    EXPECT_EQ(status["forced"], false);
    EXPECT_EQ(status["totalsPath"], (home.home() / "Library/Logs/Vornelo/operations.totals.json").native());
    EXPECT_EQ(cliJson({"log", "path"})["rotatedPaths"][4], (home.home() / "Library/Logs/Vornelo/operations.5.log").native());
    EXPECT_FALSE(std::filesystem::exists(home.home() / "Library"));  // reading creates nothing
}

TEST_F(LogCommandsTest, DisableAndEnableAreSavedInTheUsersSettings) {
    EXPECT_EQ(cliJson({"log", "disable"})["enabled"], false);
    EXPECT_EQ(home.defaults()->object("Vornelo.operationLogEnabled"), platform::PlistValue(false));
    const auto status = cli({"log", "status"});
    EXPECT_NE(status.out.find("Operation logging is off."), std::string::npos) << status.out;
    EXPECT_EQ(cliJson({"log", "enable"})["enabled"], true);
    EXPECT_EQ(home.defaults()->object("Vornelo.operationLogEnabled"), platform::PlistValue(true));
}

TEST_F(LogCommandsTest, RecentListsTheNewestEntriesFirst) {
    const auto empty = cli({"log", "recent"});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "The operation log has no entries.\n");
    writeEntries(3);
    const auto text = cli({"log", "recent", "-n", "2"});
    EXPECT_EQ(text.exitCode, 0);
    const auto third = text.out.find("/home/u/file-3");
    ASSERT_NE(third, std::string::npos) << text.out;
    EXPECT_LT(third, text.out.find("/home/u/file-2"));
    EXPECT_EQ(text.out.find("/home/u/file-1"), std::string::npos);

    const auto entries = cliJson({"log", "recent", "-n", "5"});
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]["path"], "/home/u/file-3");
    EXPECT_EQ(entries[0]["sizeBytes"], 300);
    EXPECT_EQ(entries[0]["mode"], "trash");
    EXPECT_EQ(entries[0]["timestamp"], "2024-05-01T12:00:03Z");
    EXPECT_EQ(entries[0]["id"], "1714564803.0-clean-/home/u/file-3");
    EXPECT_TRUE(entries[0].contains("prevHash"));
    EXPECT_FALSE(entries[2].contains("prevHash"));

    const auto negative = cli({"log", "recent", "-n", "-1"});
    EXPECT_EQ(negative.exitCode, 2);
    EXPECT_NE(negative.err.find("-1"), std::string::npos) << negative.err;
}

TEST_F(LogCommandsTest, VerifyFailsWithExitCodeOneOnceTheLogIsAltered) {
    writeEntries(3);
    const auto intact = cliJson({"log", "verify"});
    EXPECT_EQ(intact["isIntact"], true);
    EXPECT_EQ(intact["verified"], 2);
    EXPECT_EQ(intact["unchained"], 1);
    EXPECT_TRUE(intact["firstBrokenLine"].is_null());

    auto text = test::readFile(logPath());
    text.replace(text.find("file-2"), 6, "file-X");
    test::writeFile(logPath(), text);
    const auto broken = cliJson({"log", "verify"}, 1);
    EXPECT_EQ(broken["isIntact"], false);
    EXPECT_EQ(broken["firstBrokenLine"], 3);
    const auto prose = cli({"log", "verify"});
    EXPECT_EQ(prose.exitCode, 1);
    EXPECT_NE(prose.out.find("line 3 of " + logPath().native()), std::string::npos) << prose.out;
}

TEST_F(LogCommandsTest, TotalsFollowTheAccounting) {
    writeEntries(4);
    const auto totals = cliJson({"log", "totals"});
    EXPECT_EQ(totals["operations"], 4);
    EXPECT_EQ(totals["trashedBytes"], 400);
    EXPECT_EQ(totals["freedBytes"], 600);
    EXPECT_EQ(totals["accountingVersion"], 2);
}

TEST_F(LogCommandsTest, ExportWritesTheChosenFormatAndRefusesUnknownOnes) {
    writeEntries(2);
    const auto csv = home.home() / "out.csv";
    const auto done = cliJson({"log", "export", "--format", "csv", csv.native()});
    EXPECT_EQ(done["exported"], 2);
    const auto text = test::readFile(csv);
    EXPECT_TRUE(text.starts_with("timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n"));
    EXPECT_NE(text.find("2024-05-01T12:00:02Z,clean,success,permanent,false,200,/home/u/file-2,,,\n"), std::string::npos);

    const auto jsonl = home.home() / "out.jsonl";
    EXPECT_EQ(cli({"log", "export", jsonl.native()}).exitCode, 0);
    EXPECT_EQ(test::readFile(jsonl), test::readFile(logPath()));

    const auto unknown = cli({"log", "export", "--format", "xml", csv.native()});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("xml"), std::string::npos);
    const auto nowhere = cli({"log", "export", (home.home() / "missing/out.csv").native()});
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_NE(nowhere.err.find((home.home() / "missing/out.csv").native()), std::string::npos) << nowhere.err;
}

TEST_F(LogCommandsTest, ClearRemovesTheLogAndItsTotals) {
    writeEntries(2);
    EXPECT_EQ(cliJson({"log", "clear"})["cleared"], true);
    EXPECT_FALSE(std::filesystem::exists(logPath()));
    EXPECT_FALSE(std::filesystem::exists(home.home() / "Library/Logs/Vornelo/operations.totals.json"));
    EXPECT_EQ(cliJson({"log", "totals"})["operations"], 0);
}

TEST_F(LogCommandsTest, AForcedLogStaysOnAndCannotBeCleared) {
    VORNELO_REQUIRE_ROOT();
    writeEntries(1);
    const platform::PlistValue::Dictionary keys{{"ForceOperationLog", platform::PlistValue(true)}};
    const auto outcome = test::withManagedPreferences(keys, 0644, [&]() -> std::string {
        const auto disabled = cli({"--json", "log", "disable"});
        const auto status = json::parse(disabled.out);
        if (status["enabled"] != true || status["forced"] != true || status["storedEnabled"] != false) {
            return "the force was not shown: " + disabled.out;
        }
        const auto cleared = cli({"log", "clear"});
        if (cleared.exitCode != 1 || cleared.err.find("administrator") == std::string::npos) {
            return "clear was not refused: " + cleared.err;
        }
        if (!std::filesystem::exists(logPath())) return "the forced log was removed";
        return "";
    });
    if (outcome.starts_with("SKIP")) GTEST_SKIP() << outcome;
    EXPECT_EQ(outcome, "");
}

}  // namespace
}  // namespace vornelo
