#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/FileChecks.h"

#include <tuple>

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
    const auto& [item, link, coverage] = std::tuple(document["items"][0], document["items"][1], document["coverage"]);
    EXPECT_EQ(std::tuple(item["path"], item["sizeBytes"], link["sizeBytes"], link["isSymbolicLink"], document["totalBytes"],
                         document["cancelled"]),
              std::tuple(caches.native(), expected, 0, true, expected, false)) << document.dump(1);
    EXPECT_EQ(std::tuple(coverage["missingCount"], coverage["isPartial"], coverage["issues"][0]["kind"],
                         coverage["issues"][0]["path"], coverage["checkedPaths"].size()),
              std::tuple(1, false, "missing", path("gone").native(), 2u));

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
        return test::missingFrom(result.out, {"Could not read 1 item", (directory / "tree" / "locked").native()});
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo
