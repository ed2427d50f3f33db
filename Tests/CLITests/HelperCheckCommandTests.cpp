#include "Support/Subprocess.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vornelo {
namespace {

using nlohmann::json;

TEST(HelperCheckCommandTest, VerdictsKindsReasonsAndExitCodes) {
    test::TestHome home;
    const auto apps = home.root() / "Applications";
    const auto library = home.root() / "Library";
    test::writeFile(apps / "Editor.app/Contents/Info.plist",
                    "<plist><dict><key>CFBundleIdentifier</key><string>com.example.editor</string></dict></plist>");
    test::writeFile(library / "LaunchAgents/com.example.agent.plist");
    const std::vector<std::string> roots{"--applications-root", apps.native(), "--library-root", library.native()};
    const auto cli = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), roots.begin(), roots.end());
        return test::runCli(arguments, home.home());
    };
    const auto editor = (apps / "Editor.app").native();
    const auto agent = (library / "LaunchAgents/com.example.agent.plist").native();

    const auto accepted = cli({"helper", "check", editor, agent});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(accepted.out, editor + ": accepted as application.\n" + agent + ": accepted as launchItem.\n");

    const auto mixed = cli({"--json", "helper", "check", editor, editor + "/Contents", "/usr/bin/env"});
    EXPECT_EQ(mixed.exitCode, 1) << mixed.err;
    EXPECT_EQ(json::parse(mixed.out)["results"],
              json::parse(R"([{"path": ")" + editor + R"(", "kind": "application", "reason": null},
                              {"path": ")" + editor + R"(/Contents", "kind": null,
                               "reason": "Outside the locations the helper may modify."},
                              {"path": "/usr/bin/env", "kind": null, "reason": "Protected path."}])"));
    EXPECT_EQ(test::runCli({"helper", "check", editor}, home.home()).out,
              editor + ": refused. Outside the locations the helper may modify.\n") << "the real roots by default";

    const auto relativeRoot = test::runCli({"helper", "check", "--library-root", "Library", agent}, home.home());
    EXPECT_EQ(std::pair(relativeRoot.exitCode, relativeRoot.err),
              std::pair(2, std::string("vornelo-cli: The library root \u201CLibrary\u201D is not an absolute path.\n")));
}

}  // namespace
}  // namespace vornelo
