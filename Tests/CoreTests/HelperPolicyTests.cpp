#include "Core/HelperPolicy.h"
#include "Platform/PropertyList.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using platform::PlistFormat;
using platform::PlistValue;
using test::writeFile;

void writeApplication(const fs::path& bundle, const PlistValue& identifier, PlistFormat format = PlistFormat::xml) {
    const auto bytes = platform::PropertyList::serialize(PlistValue::Dictionary{{"CFBundleIdentifier", identifier}}, format);
    writeFile(bundle / "Contents/Info.plist", std::string(bytes.begin(), bytes.end()));
}

// Temporary Applications and Library roots holding one item of every shape the policy meets.
class HelperPolicyTest : public ::testing::Test {
protected:
    HelperPolicyTest() {
        writeApplication(apps / "Editor.app", "com.example.editor");
        writeApplication(apps / "Utilities/Binary.app", "com.example.binary", PlistFormat::binary);
        writeApplication(apps / "Sample.app", "com.apple.example");
        writeApplication(apps / "Safari.app", "com.apple.Safari", PlistFormat::binary);
        writeApplication(apps / "Falcon.app", "com.crowdstrike.falcon.App");
        writeApplication(apps / "Vornelo.app", "com.tessaldon.Vornelo");
        writeApplication(apps / "Number.app", PlistValue(7));
        writeApplication(root / "elsewhere/Real.app", "com.example.real");
        fs::create_directories(apps / "Linked.app");
        fs::create_symlink(root / "elsewhere/Real.app/Contents", apps / "Linked.app/Contents");
        writeFile(apps / "Huge.app/Contents/Info.plist", std::string(HelperPolicy::maxInfoPlistBytes + 1, ' '));
        for (const auto* folder : {"Bare.app", "Shout.APP", "../Library/PrivilegedHelperTools/com.example.folder"}) {
            fs::create_directories(apps / folder);
        }
        fs::create_symlink(apps / "Loop.app", apps / "Loop.app");
        fs::create_directory_symlink(apps, root / "apps-link");
        for (const auto* name : {"Applications/Plain.app", "Library/LaunchDaemons/com.example.daemon.plist",
                                 "Library/LaunchAgents/COM.APPLE.foo.plist", "Library/LaunchDaemons/daemon.plist",
                                 "Library/LaunchDaemons/com.tessaldon.Vornelo.helper.plist",
                                 "Library/LaunchDaemons/com..x.plist", "Library/LaunchDaemons/com.example.txt",
                                 "Library/LaunchDaemons/keychain.sync.plist",
                                 "Library/LaunchDaemons/com.crowdstrike.falcond.plist",
                                 "Library/PrivilegedHelperTools/com.example.helper"}) {
            writeFile(root / name);
        }
    }

    // The kind's raw value when accepted, otherwise the reason. "@" stands for the temporary root.
    std::string verdict(std::string path, const std::string& applicationsRoot) const {
        if (path.starts_with('@')) path = root.native() + path.substr(1);
        const auto result = HelperPolicy::validateRemoval(path, applicationsRoot, (root / "Library").native());
        return result ? std::string(HelperPolicy::rawValue(*result)) : result.error().reason;
    }

    test::TempDirectory directory{"vornelo-policy"};
    fs::path root = directory.path();
    fs::path apps = root / "Applications";
};

TEST_F(HelperPolicyTest, EveryReasonInTheOrderOfTheSteps) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Applications/Editor.app", "Not an absolute path."},
        {std::string("@/Applications/Editor.app\0x", 26), "Not an absolute path."},
        {"@/Applications/./Editor.app", "Path is not in canonical form."},
        {"@/Applications/Utilities/../Editor.app", "Path is not in canonical form."},
        {"@/Applications/Editor.app/", "Path is not in canonical form."},
        {"/", "Path is not in canonical form."},
        {"@/apps-link/Editor.app", "Path goes through a symbolic link."},
        {"@/Library/LaunchDaemons/com.crowdstrike.gone.plist", "No longer exists."},
        {"@/Applications/Loop.app", "Is a symbolic link."},
        {"@/Library/LaunchDaemons/com.crowdstrike.falcond.plist", "Protected path."},
        {"@/Applications/Editor.app/Contents/Info.plist", "Outside the locations the helper may modify."},
        {"@/Library/LaunchDaemons", "Outside the locations the helper may modify."},
        {"@/Applications/Shout.APP", "Only application bundles can be removed from Applications."},
        {"@/Applications/Plain.app", "Only application bundles can be removed from Applications."},
        {"@/Applications/Bare.app", "Not a valid application bundle."},
        {"@/Applications/Number.app", "Not a valid application bundle."},
        {"@/Applications/Huge.app", "Not a valid application bundle."},
        {"@/Applications/Linked.app", "Not a valid application bundle."},
        {"@/Applications/Vornelo.app", "Vornelo can't remove itself."},
        {"@/Applications/Safari.app", "Part of macOS."},
        {"@/Library/LaunchAgents/COM.APPLE.foo.plist", "Part of macOS."},
        {"@/Applications/Falcon.app", "Security or device-management software."},
        {"@/Library/LaunchDaemons/com.example.txt", "Not a launch plist."},
        {"@/Library/PrivilegedHelperTools/com.example.folder", "Not a helper tool."},
        {"@/Library/LaunchDaemons/daemon.plist", "Not named after a bundle identifier."},
        {"@/Library/LaunchDaemons/com..x.plist", "Not named after a bundle identifier."},
        {"@/Library/LaunchDaemons/com.tessaldon.Vornelo.helper.plist", "Vornelo can't remove its own helper."},
        {"@/Library/LaunchDaemons/keychain.sync.plist", "Protected item."},
        {"@/Applications/Editor.app", "application"},
        {"@/Applications/Utilities/Binary.app", "application"},
        {"@/Applications/Sample.app", "application"},
        {"@/Library/LaunchDaemons/com.example.daemon.plist", "launchItem"},
        {"@/Library/PrivilegedHelperTools/com.example.helper", "helperTool"},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(verdict(path, apps.native()), expected) << path;
    EXPECT_EQ(verdict("@/Applications/Editor.app", apps.native() + "/"), "application") << "roots are normalised";
}

TEST_F(HelperPolicyTest, TheHelpersOwnRulesAndAJudgementOfTheItemExamined) {
    EXPECT_EQ(HelperPolicy::defaultProtection().home(), "/var/empty");
    EXPECT_EQ(HelperPolicy::validateRemoval("/usr/bin/env", "/Applications", "/Library").error().reason, "Protected path.");

    const auto path = (apps / "Utilities/Binary.app").native();
    const auto judged = HelperPolicy::judgeRemoval(path, apps.native(), (root / "Library").native());
    ASSERT_TRUE(judged) << judged.error().reason;
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(std::tuple(judged->location, judged->parent, judged->name, judged->device, judged->fileNumber),
              std::tuple(fs::path(path), apps / "Utilities", "Binary.app", info.st_dev, info.st_ino));
}

}  // namespace
}  // namespace vornelo
