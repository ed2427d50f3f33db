#include "Support/CliFixture.h"

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using AppServiceCommands = test::CliTest;

TEST_F(AppServiceCommands, FormatPrintsOneTextPerValueAndRefusesValuesThatAreNotNumbersBeforePrintingAny) {
    EXPECT_EQ(says({"format", "bytes", "999950", "-1500000", "0"}, {}).out, "1 MB\n-1.5 MB\n0 KB\n");
    EXPECT_EQ(cli({"format", "percent", "7.25"}).out, "7.2%\n");
    const auto document = cliJson({"format", "bytes", "1500"});
    EXPECT_EQ(document["results"][0]["bytes"], 1500);
    EXPECT_EQ(document["results"][0]["text"], "2 KB");
    const auto percents = cliJson({"format", "percent", "nan"});
    EXPECT_TRUE(percents["results"][0]["percent"].is_null());
    EXPECT_EQ(percents["results"][0]["text"], "NaN%");

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"format", "bytes", "12", "1.5"}, {"format", "bytes", "9223372036854775808"}, {"format", "rounded", "12MB"},
             {"format", "percent", "half"}}) {
        EXPECT_TRUE(complains(bad, 2, {"\u201C" + bad.back() + "\u201D"}).out.empty()) << bad.back();
    }
}

TEST_F(AppServiceCommands, AccessReportsBothProbes) {
    fs::create_directories(path("Desktop"));
    const auto document = cliJson({"access"});
    ASSERT_EQ(document["probePaths"].size(), 2u);
    EXPECT_EQ(document["probePaths"][1], path("Library/Safari/CloudTabs.db").native());
    EXPECT_EQ(document["deniedFolders"], nlohmann::json::array());
    EXPECT_EQ(document["protectedFolderAccess"], true);
    EXPECT_TRUE(document["fullDiskAccess"].is_boolean());
    says({"access"}, {"CloudTabs.db: not present"});
}

TEST_F(AppServiceCommands, LoginItemTurnsOnAndOffAndReportsFailure) {
    const auto entry = path(".config/autostart/com.tessaldon.Vornelo.desktop");
    auto status = cliJson({"login-item", "status"});
    EXPECT_EQ(status["status"], "notRegistered");
    EXPECT_EQ(status["entryPath"], entry.native());
    EXPECT_EQ(cliJson({"login-item", "enable"})["isEnabled"], true);
    EXPECT_TRUE(fs::is_regular_file(entry));
    says({"login-item", "status"}, {"Launch at login: on."});
    EXPECT_EQ(cliJson({"login-item", "disable"})["status"], "notRegistered");
    EXPECT_FALSE(fs::exists(entry));

    fs::remove(entry.parent_path());
    test::writeFile(entry.parent_path(), "in the way");
    complains({"login-item", "enable"}, 1, {"Could not enable launch at login at " + entry.native()});
    EXPECT_TRUE(cliJson({"login-item", "enable"}, 1).contains("error"));
}

}  // namespace
}  // namespace vornelo
