#include "Platform/Encoding/PropertyList.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/ManagedPreferences.h"

namespace vornelo {
namespace {

using nlohmann::json;

using ProtectionCommandsTest = test::CliTest;

TEST_F(ProtectionCommandsTest, CheckNamesTheRuleForEachPathBundleIdentifiersAreClassifiedAndNoProfileIsUnmanaged) {
    says({"check", "/usr/local/bin/tool", "/Applications/Example.app"},
         {"/usr/local/bin/tool: protected. Inside the protected system folder /usr.",
          "/Applications/Example.app: not protected."});
    const auto ssh = path(".ssh").native();
    EXPECT_EQ(cliJson({"check", ssh + "/config", "/opt/tool"})["results"],
              json::array({{{"judgedPath", ssh + "/config"}, {"match", ssh}, {"path", ssh + "/config"}, {"protected", true},
                            {"reason", "Inside the protected home folder " + ssh + "."}, {"rule", "homeSubtree"},
                            {"throughSymbolicLink", false}},
                           {{"path", "/opt/tool"}, {"protected", false}}}));
    EXPECT_EQ(cli({"check", "--json", "/"}).out, cli({"--json", "check", "/"}).out) << "--json may follow the command too";

    EXPECT_EQ(cliJson({"bundle-id", "com.apple.finder", "com.sophos.scan", "com.example.app"})["results"], json::parse(R"([
        {"bundleID": "com.apple.finder", "isEndpointSecurityBundle": false, "isSystemCriticalBundle": true},
        {"bundleID": "com.sophos.scan", "isEndpointSecurityBundle": true, "isSystemCriticalBundle": false},
        {"bundleID": "com.example.app", "isEndpointSecurityBundle": false, "isSystemCriticalBundle": false}])"));
    EXPECT_EQ(cliJson({"policy"}), json::parse(R"({"disableAutomaticUpdates": false, "disablePrivilegedTools": false,
        "disabledFeatures": [], "forceOperationLog": false, "isManaged": false, "protectedBundlePrefixes": [],
        "protectedPaths": [], "managedPreferencesFile": "/etc/managed-preferences/com.tessaldon.Vornelo.plist",
        "scheduledScanIntervalHours": null})"));

    // A home reached through a link keeps its keys: the CLI hands protection HOME as it is spelled.
    std::filesystem::create_directory_symlink(home.home(), home.root() / "link");
    const auto viaLink = test::runCli({"--json", "check", ssh}, home.root() / "link");
    EXPECT_EQ(json::parse(viaLink.out)["results"][0]["rule"], "homeSubtree") << viaLink.out << viaLink.err;

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"check"}, {"frobnicate"}, {"exclusions"}, {"check", "--no-such-flag", "/"}}) {
        EXPECT_EQ(cli(arguments).exitCode, 2) << ::testing::PrintToString(arguments);
    }
    says({"check", "--help"}, {"PATH"});
}

TEST_F(ProtectionCommandsTest, ExclusionsCanBeAddedListedAndRemovedAndRelativeOnesAreStoredAsAbsolutePaths) {
    const auto added = cliJson({"exclusions", "add", "~/Projects/", "/srv/data"});
    EXPECT_EQ(added, json({{"managedPaths", json::array()}, {"normalisedPaths", {path("Projects").native(), "/srv/data"}},
                           {"userPaths", {"~/Projects/", "/srv/data"}}}));
    EXPECT_EQ(cliJson({"check", path("projects/site").native()})["results"][0]["rule"], "exclusion");
    EXPECT_EQ(cliJson({"exclusions", "remove", path("Projects").native()})["userPaths"], json({"/srv/data"}))
        << "any spelling of the same place removes it";
    complains({"exclusions", "remove", "/never/added"}, 1, {"/never/added"});

    const auto relative = test::runProgram("/bin/sh", {"-c", std::string("cd / && ") + VORNELO_CLI_PATH + " exclusions add srv/x"},
                                           {{"HOME", home.home().native()}, {"XDG_CONFIG_HOME", path(".config").native()}});
    ASSERT_EQ(relative.exitCode, 0) << relative.err;
    EXPECT_EQ(cliJson({"exclusions", "list"})["userPaths"], json({"/srv/data", "/srv/x"}));
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
        return bundle["results"][0]["isEndpointSecurityBundle"] == true ? "" : "managed prefix ignored";
    });
    if (honoured.starts_with("SKIP")) GTEST_SKIP() << honoured;
    EXPECT_EQ(honoured, "");
    EXPECT_EQ(test::withManagedPreferences(keys, 0666, [&]() -> std::string {
                  return json::parse(cli({"--json", "policy"}).out)["isManaged"] == false ? "" : "a world-writable profile was honoured";
              }),
              "");
}

// MARK: helper check

using HelperCheckCommandTest = test::CliTest;

TEST_F(HelperCheckCommandTest, VerdictsKindsReasonsAndExitCodes) {
    const auto apps = home.root() / "Applications";
    const auto library = home.root() / "Library";
    test::writeFile(apps / "Editor.app/Contents/Info.plist",
                    "<plist><dict><key>CFBundleIdentifier</key><string>com.example.editor</string></dict></plist>");
    test::writeFile(library / "LaunchAgents/com.example.agent.plist");
    const auto check = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--applications-root", apps.native(), "--library-root", library.native()});
        return arguments;
    };
    const auto editor = (apps / "Editor.app").native();
    const auto agent = (library / "LaunchAgents/com.example.agent.plist").native();

    EXPECT_EQ(says(check({"helper", "check", editor, agent}), {}).out,
              editor + ": accepted as application.\n" + agent + ": accepted as launchItem.\n");
    EXPECT_EQ(cliJson(check({"helper", "check", editor, editor + "/Contents", "/usr/bin/env"}), 1)["results"],
              json::parse(R"([{"path": ")" + editor + R"(", "kind": "application", "reason": null},
                              {"path": ")" + editor + R"(/Contents", "kind": null,
                               "reason": "Outside the locations the helper may modify."},
                              {"path": "/usr/bin/env", "kind": null, "reason": "Protected path."}])"));
    EXPECT_EQ(says({"helper", "check", editor}, {}, 1).out, editor + ": refused. Outside the locations the helper may modify.\n")
        << "the real roots by default";
    EXPECT_EQ(complains({"helper", "check", "--library-root", "Library", agent}, 2).err,
              "vornelo-cli: The library root \u201CLibrary\u201D is not an absolute path.\n");
}

}  // namespace
}  // namespace vornelo
