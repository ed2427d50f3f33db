#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/FileChecks.h"

namespace vornelo {
namespace {

using test::runCli;
using test::writeFile;
using SizeCommand = test::CliTest;

TEST_F(SizeCommand, EachPathGetsItsTotalAndTheCoverageAndItExitsOneWhenSomethingWasMissing) {
    const auto caches = path("Library/Caches");
    writeFile(caches / "one" / "blob", std::string(30000, 'a'));
    writeFile(caches / "two", std::string(5000, 'b'));
    std::filesystem::create_symlink(caches, path("shortcut"));

    // One path is missing.
    const auto document = cliJson({"size", caches.native(), path("shortcut").native(), path("gone").native()}, 1);
    const auto expected = test::allocatedBytes(caches / "one" / "blob") + test::allocatedBytes(caches / "two");
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
    EXPECT_EQ(coverage["issues"][0]["path"], path("gone").native());
    EXPECT_EQ(coverage["checkedPaths"].size(), 2u);

    const auto human = says({"size", caches.native()}, {" bytes  " + caches.native()});
    EXPECT_FALSE(test::contains(human.out, "\033[")) << "progress drawn into a pipe";
    says({"size", path("nothing-here").native()}, {"Missing 1 item:"}, 1);
    complains({"size"}, 2);
    complains({"size", ""}, 2);
}

TEST_F(SizeCommand, UnreadableFoldersAreListed) {
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
