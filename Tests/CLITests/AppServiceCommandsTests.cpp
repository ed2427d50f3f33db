#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vornelo {
namespace {

using test::runCli;
namespace fs = std::filesystem;

struct AppServiceCommands : ::testing::Test {
    test::TempDirectory root{"vornelo-cli"};
    fs::path home = root / "home";
    void SetUp() override { fs::create_directories(home); }

    test::ProgramResult run(const std::vector<std::string>& arguments) const { return runCli(arguments, home); }
    nlohmann::json json(const std::vector<std::string>& arguments, int exitCode = 0) const {
        auto withJson = arguments;
        withJson.insert(withJson.begin(), "--json");
        const auto result = run(withJson);
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        return nlohmann::json::parse(result.out);
    }
};

TEST_F(AppServiceCommands, FormatPrintsOneTextPerValue) {
    const auto bytes = run({"format", "bytes", "999950", "-1500000", "0"});
    EXPECT_EQ(bytes.exitCode, 0) << bytes.err;
    EXPECT_EQ(bytes.out, "1 MB\n-1.5 MB\n0 KB\n");
    EXPECT_EQ(run({"format", "percent", "7.25"}).out, "7.2%\n");

    const auto document = json({"format", "bytes", "1500"});
    EXPECT_EQ(document["results"][0]["bytes"], 1500);
    EXPECT_EQ(document["results"][0]["text"], "2 KB");
    const auto percents = json({"format", "percent", "nan"});
    EXPECT_TRUE(percents["results"][0]["percent"].is_null());
    EXPECT_EQ(percents["results"][0]["text"], "NaN%");
}

TEST_F(AppServiceCommands, FormatRefusesValuesThatAreNotNumbersBeforePrintingAny) {
    for (const auto& bad : std::vector<std::vector<std::string>>{{"bytes", "12", "1.5"},
                                                                  {"bytes", "9223372036854775808"},
                                                                  {"rounded", "12MB"},
                                                                  {"percent", "half"}}) {
        auto arguments = bad;
        arguments.insert(arguments.begin(), "format");
        const auto result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << bad.back();
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(result.err.find("\u201C" + bad.back() + "\u201D"), std::string::npos) << result.err;
    }
}

TEST_F(AppServiceCommands, AccessReportsBothProbes) {
    fs::create_directories(home / "Desktop");
    const auto document = json({"access"});
    ASSERT_EQ(document["probePaths"].size(), 2u);
    EXPECT_EQ(document["probePaths"][1], (home / "Library/Safari/CloudTabs.db").native());
    EXPECT_EQ(document["deniedFolders"], nlohmann::json::array());
    EXPECT_EQ(document["protectedFolderAccess"], true);
    EXPECT_TRUE(document["fullDiskAccess"].is_boolean());
    EXPECT_NE(run({"access"}).out.find("CloudTabs.db: not present"), std::string::npos);
}

TEST_F(AppServiceCommands, LoginItemTurnsOnAndOffAndReportsFailure) {
    const auto entry = home / ".config/autostart/com.tessaldon.Vornelo.desktop";
    auto status = json({"login-item", "status"});
    EXPECT_EQ(status["status"], "notRegistered");
    EXPECT_EQ(status["entryPath"], entry.native());

    status = json({"login-item", "enable"});
    EXPECT_EQ(status["isEnabled"], true);
    EXPECT_TRUE(fs::is_regular_file(entry));
    EXPECT_NE(run({"login-item", "status"}).out.find("Launch at login: on."), std::string::npos);

    status = json({"login-item", "disable"});
    EXPECT_EQ(status["status"], "notRegistered");
    EXPECT_FALSE(fs::exists(entry));

    fs::remove(entry.parent_path());
    test::writeFile(entry.parent_path(), "in the way");
    const auto result = run({"login-item", "enable"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Could not enable launch at login at " + entry.native()), std::string::npos) << result.err;
    EXPECT_TRUE(json({"login-item", "enable"}, 1).contains("error"));
}

}  // namespace
}  // namespace vornelo
