#include "Support/CliFixture.h"

#include <tuple>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using AppServiceCommands = test::CliTest;

TEST_F(AppServiceCommands, FormatPrintsOneTextPerValueAndRefusesValuesThatAreNotNumbersBeforePrintingAny) {
    EXPECT_EQ(says({"format", "bytes", "999950", "-1500000", "0"}, {}).out, "1 MB\n-1.5 MB\n0 KB\n");
    EXPECT_EQ(cli({"format", "percent", "7.25"}).out, "7.2%\n");
    EXPECT_EQ(cliJson({"format", "bytes", "1500"})["results"], nlohmann::json::parse(R"([{"bytes": 1500, "text": "2 KB"}])"));
    EXPECT_EQ(cliJson({"format", "percent", "nan"})["results"], nlohmann::json::parse(R"([{"percent": null, "text": "NaN%"}])"));
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"format", "bytes", "12", "1.5"}, {"format", "bytes", "9223372036854775808"}, {"format", "rounded", "12MB"},
             {"format", "percent", "half"}}) {
        EXPECT_TRUE(complains(bad, 2, {"\u201C" + bad.back() + "\u201D"}).out.empty()) << bad.back();
    }
}

TEST_F(AppServiceCommands, LoginItemTurnsOnAndOffAndReportsFailure) {
    const auto entry = path(".config/autostart/com.tessaldon.Vornelo.desktop");
    EXPECT_EQ(cliJson({"login-item", "status"}),
              nlohmann::json({{"entryPath", entry.native()}, {"isEnabled", false}, {"status", "notRegistered"}}));
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
