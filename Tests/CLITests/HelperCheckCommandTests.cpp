#include "Support/CliFixture.h"

namespace vornelo {
namespace {

using nlohmann::json;
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
