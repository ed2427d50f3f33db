#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace vornelo {
namespace {

using test::runCli;
using test::writeFile;

std::int64_t allocated(const std::filesystem::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

TEST(SizeCommand, JsonGivesEachPathTheTotalAndTheCoverage) {
    test::TestHome home;
    const auto caches = home.home() / "Library" / "Caches";
    writeFile(caches / "one" / "blob", std::string(30000, 'a'));
    writeFile(caches / "two", std::string(5000, 'b'));
    std::filesystem::create_symlink(caches, home.home() / "shortcut");

    const auto result = runCli({"--json", "size", caches.native(), (home.home() / "shortcut").native(),
                                (home.home() / "gone").native()},
                               home.home());
    EXPECT_EQ(result.exitCode, 1) << result.err;  // one path is missing
    const auto document = nlohmann::json::parse(result.out);
    const auto expected = allocated(caches / "one" / "blob") + allocated(caches / "two");
    ASSERT_EQ(document["items"].size(), 3u);
    EXPECT_EQ(document["items"][0]["path"], caches.native());
    EXPECT_EQ(document["items"][0]["sizeBytes"], expected);
    EXPECT_EQ(document["items"][1]["sizeBytes"], 0);
    EXPECT_EQ(document["items"][1]["isSymbolicLink"], true);
    EXPECT_EQ(document["totalBytes"], expected);
    EXPECT_EQ(document["cancelled"], false);
    const auto& coverage = document["coverage"];
    EXPECT_EQ(coverage["missingCount"], 1);
    EXPECT_EQ(coverage["isPartial"], false);
    EXPECT_EQ(coverage["issues"][0]["kind"], "missing");
    EXPECT_EQ(coverage["issues"][0]["path"], (home.home() / "gone").native());
    EXPECT_EQ(coverage["checkedPaths"].size(), 2u);
}

TEST(SizeCommand, HumanOutputListsSizesAndSucceedsWhenEverythingWasRead) {
    test::TestHome home;
    writeFile(home.home() / "Downloads" / "file", std::string(10000, 'd'));
    const auto result = runCli({"size", (home.home() / "Downloads").native()}, home.home());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find(" bytes  " + (home.home() / "Downloads").native()), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("\033["), std::string::npos) << "progress drawn into a pipe";

    const auto missing = runCli({"size", (home.home() / "nothing-here").native()}, home.home());
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.out.find("Missing 1 item:"), std::string::npos) << missing.out;

    EXPECT_EQ(runCli({"size"}, home.home()).exitCode, 2);
    EXPECT_EQ(runCli({"size", ""}, home.home()).exitCode, 2);
}

TEST(SizeCommand, UnreadableFoldersAreListed) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    writeFile(directory / "tree" / "locked" / "secret", "s");
    writeFile(directory / "tree" / "open", "o");
    ::chmod((directory / "tree").c_str(), 0755);
    ::chmod((directory / "tree" / "locked").c_str(), 0);
    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto result = runCli({"size", (directory / "tree").native()}, directory.path());
        if (result.exitCode != 1) return "exit code " + std::to_string(result.exitCode);
        if (result.out.find("Could not read 1 item") == std::string::npos) return "no summary in: " + result.out;
        if (result.out.find((directory / "tree" / "locked").native()) == std::string::npos) return "folder not named";
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
