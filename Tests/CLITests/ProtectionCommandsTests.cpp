#include "Platform/PropertyList.h"
#include "Platform/SystemLocations.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/ManagedPreferences.h"

#include <set>

namespace vornelo {
namespace {

using nlohmann::json;

using ProtectionCommandsTest = test::CliTest;

TEST_F(ProtectionCommandsTest, CheckNamesTheRuleForEachPathBundleIdentifiersAreClassifiedAndNoProfileIsUnmanaged) {
    says({"check", "/usr/local/bin/tool", "/Applications/Example.app"},
         {"/usr/local/bin/tool: protected. Inside the protected system folder /usr.",
          "/Applications/Example.app: not protected."});

    const auto document = cliJson({"check", (home.home() / ".ssh/config").native(), "/opt/tool"});
    ASSERT_EQ(document["results"].size(), 2u);
    EXPECT_EQ(document["results"][0]["protected"], true);
    EXPECT_EQ(document["results"][0]["rule"], "homeSubtree");
    EXPECT_EQ(document["results"][0]["match"], (home.home() / ".ssh").native());
    EXPECT_EQ(document["results"][1]["protected"], false);
    EXPECT_FALSE(document["results"][1].contains("rule"));
    const auto late = cli({"check", "--json", "/"});  // --json may follow the command too
    ASSERT_EQ(late.exitCode, 0) << late.err;
    EXPECT_EQ(json::parse(late.out)["results"][0]["rule"], "protectedContainer");

    EXPECT_EQ(cliJson({"bundle-id", "com.apple.finder", "com.sophos.scan", "com.example.app"})["results"], json::parse(R"([
        {"bundleID": "com.apple.finder", "isEndpointSecurityBundle": false, "isSystemCriticalBundle": true},
        {"bundleID": "com.sophos.scan", "isEndpointSecurityBundle": true, "isSystemCriticalBundle": false},
        {"bundleID": "com.example.app", "isEndpointSecurityBundle": false, "isSystemCriticalBundle": false}])"));
    const auto policy = cliJson({"policy"});
    EXPECT_EQ(policy["isManaged"], false);
    EXPECT_EQ(policy["disabledFeatures"], json::array());
    EXPECT_EQ(policy["scheduledScanIntervalHours"], nullptr);
    EXPECT_EQ(policy["managedPreferencesFile"], "/etc/managed-preferences/com.tessaldon.Vornelo.plist");

    // A home reached through a link keeps its keys: the CLI hands protection HOME as it is spelled.
    std::filesystem::create_directory_symlink(home.home(), home.root() / "link");
    const auto viaLink = test::runCli({"--json", "check", (home.home() / ".ssh").native()}, home.root() / "link");
    EXPECT_EQ(json::parse(viaLink.out)["results"][0]["rule"], "homeSubtree") << viaLink.out << viaLink.err;

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"check"}, {"frobnicate"}, {"exclusions"}, {"check", "--no-such-flag", "/"}}) {
        EXPECT_EQ(cli(arguments).exitCode, 2) << ::testing::PrintToString(arguments);
    }
    says({"check", "--help"}, {"PATH"});
}

// The paths of a plan's protected items, and anything left eligible.
std::set<std::string> protectedURLs(const json& plan) {
    std::set<std::string> urls;
    for (const auto& item : plan["protectedItems"]) urls.insert(item["url"].get<std::string>());
    if (!plan["items"].empty()) urls.insert("eligible: " + plan["items"].dump());
    return urls;
}

TEST_F(ProtectionCommandsTest, OperatingSystemFoldersAreRefusedByCheckPreviewAndClean) {
    std::vector<std::string> paths, eligible{"/var/library"};
    for (const auto& location : platform::SystemLocations::containers()) {
        paths.emplace_back(location.path);
        eligible.push_back(std::string(location.path) + "/vornelo-probe");
    }
    for (const auto& location : platform::SystemLocations::subtrees()) {
        paths.insert(paths.end(), {std::string(location.path), std::string(location.path) + "/vornelo-probe"});
        eligible.push_back(std::string(location.path) + "x");
    }
    const auto command = [&](std::vector<std::string> words, const std::vector<std::string>& more) {
        words.insert(words.end(), more.begin(), more.end());
        return cliJson(words);
    };
    const auto check = command({"check"}, paths);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(check["results"][i]["match"], paths[i].substr(0, paths[i].find("/vornelo-probe"))) << paths[i];
        EXPECT_TRUE(check["results"][i]["rule"].get<std::string>().starts_with("platform")) << check["results"][i];
    }
    const auto unprotected = command({"check"}, eligible);
    for (const auto& result : unprotected["results"]) EXPECT_EQ(result["protected"], false) << result;
    const std::set<std::string> expected(paths.begin(), paths.end());
    EXPECT_EQ(protectedURLs(command({"preview"}, paths)["plan"]), expected);
    const auto clean = command({"clean", "--dry-run", "--yes"}, paths);
    EXPECT_EQ(protectedURLs(clean["plan"]), expected);
    EXPECT_EQ(clean["result"]["skipped"], paths.size());
}

TEST_F(ProtectionCommandsTest, ExclusionsCanBeAddedListedAndRemovedAndRelativeOnesAreStoredAsAbsolutePaths) {
    const auto added = cliJson({"exclusions", "add", "~/Projects/", "/srv/data"});
    EXPECT_EQ(added["userPaths"], json({"~/Projects/", "/srv/data"}));
    EXPECT_EQ(added["normalisedPaths"], json({(home.home() / "Projects").native(), "/srv/data"}));

    const auto protectedNow = cliJson({"check", (home.home() / "projects/site").native()});
    EXPECT_EQ(protectedNow["results"][0]["rule"], "exclusion");

    const auto removed = cliJson({"exclusions", "remove", (home.home() / "Projects").native()});
    EXPECT_EQ(removed["userPaths"], json({"/srv/data"})) << "any spelling of the same place removes it";

    complains({"exclusions", "remove", "/never/added"}, 1, {"/never/added"});
    EXPECT_EQ(cliJson({"exclusions", "list"})["userPaths"], json({"/srv/data"}));

    const auto result = test::runProgram("/bin/sh", {"-c", std::string("cd / && ") + VORNELO_CLI_PATH + " --json exclusions add srv/x"},
                                         {{"HOME", home.home().native()},
                                          {"XDG_CONFIG_HOME", (home.home() / ".config").native()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(json::parse(result.out)["userPaths"], json({"/srv/data", "/srv/x"}));
}

TEST_F(ProtectionCommandsTest, AnAdministratorsProfileIsHonouredOnlyWhenSafe) {
    VORNELO_REQUIRE_ROOT();
    using platform::PlistValue;
    const PlistValue::Dictionary keys{{"ForceOperationLog", PlistValue(true)},
                                      {"ProtectedPaths", PlistValue::strings({"/srv/keep"})},
                                      {"ProtectedBundlePrefixes", PlistValue::strings({"org.example."})}};
    const auto honoured = test::withManagedPreferences(keys, 0644, [&]() -> std::string {
        const auto policy = json::parse(cli({"--json", "policy"}).out);
        if (policy["isManaged"] != true || policy["forceOperationLog"] != true) return "profile ignored: " + policy.dump();
        const auto check = json::parse(cli({"--json", "check", "/srv/keep/file"}).out);
        if (check["results"][0]["rule"] != "exclusion") return "managed path not protected: " + check.dump();
        const auto bundle = json::parse(cli({"--json", "bundle-id", "org.example.guard"}).out);
        if (bundle["results"][0]["isEndpointSecurityBundle"] != true) return "managed prefix ignored";
        return "";
    });
    if (honoured.starts_with("SKIP")) GTEST_SKIP() << honoured;
    EXPECT_EQ(honoured, "");

    const auto unsafe = test::withManagedPreferences(keys, 0666, [&]() -> std::string {
        const auto policy = json::parse(cli({"--json", "policy"}).out);
        return policy["isManaged"] == false ? "" : "a world-writable profile was honoured";
    });
    EXPECT_EQ(unsafe, "");
}

}  // namespace
}  // namespace vornelo
