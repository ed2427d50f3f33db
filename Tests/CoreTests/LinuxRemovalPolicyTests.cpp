// The helper's Linux places: the policy's verdicts, the package manager's answers and the items
// related to an application folder.
#include "Core/HelperPolicy.h"
#include "Core/PackageOwnership.h"
#include "Core/RelatedItems.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

// Linux roots inside a temporary folder, holding an item of every shape the policy meets.
class LinuxPolicyTest : public ::testing::Test {
protected:
    LinuxPolicyTest() {
        for (const char* folder : {"opt/Vendor/bin", "opt/vornelo", "usr/local/sbin/folder", "etc/systemd/system/vendor.service.d",
                                   "var/lib/flatpak/app/org.example.App/current", "var/lib/flatpak/repo", "snap/firefox/123",
                                   "snap/bin", "usr/lib/systemd/system", "usr/share/applications", "usr/local/share/applications",
                                   "elsewhere"}) {
            fs::create_directories(root / folder);
        }
        for (const char* file : {"opt/plain", "usr/local/bin/tool", "usr/local/bin/vornelo-cli", "usr/local/bin/com.crowdstrike.falcon",
                                 "etc/systemd/system/vendor.service", "etc/systemd/system/vendor.conf",
                                 "etc/systemd/system/getty@tty1.service", "etc/systemd/system/systemd-journald.service",
                                 "etc/systemd/system/dbus.socket", "etc/systemd/system/polkit.service",
                                 "etc/systemd/system/NetworkManager-wait-online.service", "etc/systemd/system/ssh.service",
                                 "etc/systemd/system/multi-user.target", "etc/systemd/system/vornelo-helper.socket",
                                 "etc/systemd/system/vendor-sync.timer", "usr/share/applications/app.desktop",
                                 "usr/local/share/applications/readme.txt", "usr/local/share/applications/vornelo.desktop",
                                 "snap/bin/firefox.geckodriver", "usr/lib/systemd/system/x.service", "elsewhere/tool"}) {
            writeFile(root / file);
        }
        fs::create_directory_symlink(root / "elsewhere", root / "opt/Linked");
    }

    std::string verdict(const std::string& path, bool withLinux = true) const {
        const HelperPolicy::Roots roots{(root / "Applications").native(), (root / "Library").native(),
                                        withLinux ? std::optional(places) : std::nullopt};
        const auto result = HelperPolicy::validateRemoval((root / path).native(), roots);
        return result ? std::string(HelperPolicy::rawValue(*result)) : result.error().reason;
    }

    test::TempDirectory directory{"vornelo-linux-policy"};
    fs::path root = directory.path();
    HelperPolicy::LinuxRoots places = HelperPolicy::LinuxRoots{}.under(root.native());
};

TEST_F(LinuxPolicyTest, EachPlaceAcceptsItsOwnShapeAndRefusesTheSystemsAndVornelosItems) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"opt/Vendor", "application"},
        {"opt/plain", "Only application folders can be removed from /opt."},
        {"opt/vornelo", "Vornelo can't remove itself."},
        {"opt", "Outside the locations the helper may modify."},
        {"opt/Vendor/bin", "Outside the locations the helper may modify."},
        {"opt/Linked/tool", "Path goes through a symbolic link."},
        {"opt/Gone", "No longer exists."},
        {"usr/local/bin/tool", "helperTool"},
        {"usr/local/sbin/folder", "Not a program file."},
        {"usr/local/bin/vornelo-cli", "Vornelo can't remove itself."},
        {"usr/local/bin/com.crowdstrike.falcon", "Protected path."},
        {"etc/systemd/system/vendor.service", "launchItem"},
        {"etc/systemd/system/vendor-sync.timer", "launchItem"},
        {"etc/systemd/system/vendor.conf", "Not a systemd unit file."},
        {"etc/systemd/system/vendor.service.d", "Not a systemd unit file."},
        {"etc/systemd/system/getty@tty1.service", "Needed by the system."},
        {"etc/systemd/system/systemd-journald.service", "Needed by the system."},
        {"etc/systemd/system/dbus.socket", "Needed by the system."},
        {"etc/systemd/system/polkit.service", "Needed by the system."},
        {"etc/systemd/system/NetworkManager-wait-online.service", "Needed by the system."},
        {"etc/systemd/system/ssh.service", "Needed by the system."},
        {"etc/systemd/system/multi-user.target", "Needed by the system."},
        {"etc/systemd/system/vornelo-helper.socket", "Vornelo can't remove its own helper."},
        {"usr/share/applications/app.desktop", "application"},
        {"usr/local/share/applications/readme.txt", "Not a desktop entry."},
        {"usr/local/share/applications/vornelo.desktop", "Vornelo can't remove itself."},
        {"var/lib/flatpak/app/org.example.App/current", "Installed by Flatpak; remove it with flatpak uninstall org.example.App."},
        {"var/lib/flatpak/repo", "Installed by Flatpak; remove it with flatpak uninstall."},
        {"snap/firefox/123", "Installed by Snap; remove it with snap remove firefox."},
        {"snap/bin/firefox.geckodriver", "Installed by Snap; remove it with snap remove firefox."},
        {"usr/lib/systemd/system/x.service", std::string(HelperPolicy::distributionUnit)},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(verdict(path), expected) << path;
    // The macOS roots alone know none of it.
    EXPECT_EQ(verdict("opt/Vendor", false), "Outside the locations the helper may modify.");
    EXPECT_EQ(verdict("usr/lib/systemd/system/x.service", false), "Outside the locations the helper may modify.");
}

TEST(LinuxInstallRootTest, OnlyTheSubtreeHoldingTheWholeRootStepsAsideAndOnlyForItemsDirectlyInIt) {
    const PathProtection& protection = HelperPolicy::defaultProtection();
    const struct { const char* path; const char* root; bool protects; } cases[] = {
        {"/usr/local/bin/tool", "/usr/local/bin", false},
        {"/etc/systemd/system/vendor.service", "/etc/systemd/system", false},
        {"/usr/share/applications/app.desktop", "/usr/share/applications", false},
        {"/opt/Vendor", "/opt", false},
        {"/usr/local/bin", "/usr/local/bin", true},                       // the root itself
        {"/usr/bin/env", "/usr/local/bin", true},                         // not in the root
        {"/usr/local/bin/com.crowdstrike.falcon", "/usr/local/bin", true},  // security software still is
        {"/usr/local/bin/tool", "", true},
    };
    for (const auto& c : cases) EXPECT_EQ(protection.shouldProtectInInstallRoot(c.path, c.root), c.protects) << c.path << " in " << c.root;
    const HelperPolicy::LinuxRoots places;
    EXPECT_TRUE(places.holds("/usr/local/sbin/tool") && places.holds("/etc/systemd/system/x.service") && places.inApplications("/opt/x"));
    EXPECT_FALSE(places.holds("/opt") || places.holds("/opt/x/y") || places.holds("/usr/local/bin/") || places.inApplications("/usr/local/bin/x"));
}

TEST(PackageOwnershipTest, ReadsTheToolsAnswersAndEscapesWildcards) {
    const auto owners = PackageOwnership::parseDpkgSearch(
        "dpkg, dpkg-dev: /usr/share/doc/dpkg\nlibc6:amd64: /opt/a: b\ndiversion by dash from: /bin/sh\n"
        "local diversion from: /usr/local/bin/x\ndpkg-query: no path found matching pattern /nowhere\n");
    EXPECT_EQ(owners, (std::map<std::string, std::vector<std::string>>{
                          {"/usr/share/doc/dpkg", {"dpkg", "dpkg-dev"}}, {"/opt/a: b", {"libc6:amd64"}}, {"/bin/sh", {"dash"}}}));
    EXPECT_EQ(PackageOwnership::dpkgPattern("/opt/a*b?[c]\\d"), "/opt/a\\*b\\?\\[c\\]\\\\d");

    const std::vector<std::string> paths{"/opt/a", "/opt/b", "/opt/c"};
    EXPECT_EQ(PackageOwnership::parseRpmQuery("vendor\nfile /opt/b is not owned by any package\nother\n", paths),
              (std::map<std::string, std::vector<std::string>>{{"/opt/a", {"vendor"}}, {"/opt/c", {"other"}}}));
    // Two owners of one path: the lines no longer pair up, so every path not said to be free is owned.
    EXPECT_EQ(PackageOwnership::parseRpmQuery("one\ntwo\nfile /opt/b is not owned by any package\nthree\n", paths),
              (std::map<std::string, std::vector<std::string>>{{"/opt/a", {}}, {"/opt/c", {}}}));
}

TEST(PackageOwnershipTest, ANameTheToolOwnsIsRefusedAndOneWhoseOwnerCannotBeLearntIsNeverPassed) {
    test::TempDirectory directory{"vornelo-packages"};
    const auto tool = [&](const std::string& name, const std::string& script) {
        const auto path = directory / name;
        writeFile(path, "#!/bin/sh\n" + script + "\n");
        ::chmod(path.c_str(), 0755);
        return path.native();
    };
    const auto arguments = directory / "arguments";
    const std::string folder = "Holds files of the package vendor, as dpkg-query --search reports; remove it with the package manager.";
    const std::string file = "Belongs to the package vendor, as dpkg-query --search reports; remove it with the package manager.";
    const std::string unchecked = "Whether a package owns this could not be checked: ";
    const struct {
        const char* what;
        PackageOwnership::Query query;
        std::map<std::string, std::string> refused;
    } cases[] = {
        {"owned and free", {PackageOwnership::Database::dpkg,
                            tool("owned", "printf '%s\\n' \"$@\" > " + arguments.native() +
                                              "; echo 'vendor: /opt/vendor'; echo 'vendor: /usr/local/bin/v*'; exit 1")},
         {{"/opt/vendor", folder}, {"/usr/local/bin/v*", file}}},
        {"a failing tool", {PackageOwnership::Database::dpkg, tool("failing", "exit 2")},
         {{"/opt/vendor", unchecked + "dpkg-query --search failed with exit status 2."},
          {"/usr/local/bin/v*", unchecked + "dpkg-query --search failed with exit status 2."},
          {"/opt/free", unchecked + "dpkg-query --search failed with exit status 2."}}},
        {"a hanging tool", {PackageOwnership::Database::dpkg, tool("hanging", "exec sleep 5"), 0.3},
         {{"/opt/vendor", unchecked + "dpkg-query --search did not answer within 0 seconds."},
          {"/usr/local/bin/v*", unchecked + "dpkg-query --search did not answer within 0 seconds."},
          {"/opt/free", unchecked + "dpkg-query --search did not answer within 0 seconds."}}},
        {"a missing tool", {PackageOwnership::Database::rpm, (directory / "missing").native()},
         {{"/opt/vendor", unchecked + "rpm -qf could not be started."}, {"/usr/local/bin/v*", unchecked + "rpm -qf could not be started."},
          {"/opt/free", unchecked + "rpm -qf could not be started."}}},
        {"no package manager", {},
         {{"/opt/vendor", unchecked + "this system has neither dpkg-query nor rpm."},
          {"/usr/local/bin/v*", unchecked + "this system has neither dpkg-query nor rpm."},
          {"/opt/free", unchecked + "this system has neither dpkg-query nor rpm."}}},
    };
    const std::vector<std::string> paths{"/opt/vendor", "/usr/local/bin/v*", "/opt/free", "/opt/vendor", "/opt/\xff"};
    for (const auto& c : cases) {
        auto expected = c.refused;
        expected["/opt/\xff"] = unchecked + "its name cannot be asked about.";
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(PackageOwnership(c.query).refusals(paths, [](const std::string& path) { return path == "/opt/vendor"; }), expected) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4)) << c.what;
    }
    // Asked once, each path once, its wildcard escaped.
    EXPECT_EQ(test::readFile(arguments), "--search\n/opt/vendor\n/usr/local/bin/v\\*\n/opt/free\n");
}

TEST(PackageOwnershipTest, TheRealDpkgQueryFindsAFolderByThePackagesFilesInside) {
    if (::access(PackageOwnership::dpkgQuery.data(), X_OK) != 0) GTEST_SKIP() << "dpkg-query is not installed.";
    test::TempDirectory directory{"vornelo-dpkg"};
    fs::create_directories(directory / "db/info");
    fs::create_directories(directory / "db/updates");
    writeFile(directory / "db/status", "Package: vendor\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n"
                                       "Maintainer: V <v@example.com>\nDescription: v\n\n");
    writeFile(directory / "db/info/vendor.list", "/opt\n/opt/vendor\n/opt/vendor/bin\n/opt/vendor/bin/run\n/opt/a*b\n");
    const auto wrapper = directory / "dpkg-query";
    writeFile(wrapper, "#!/bin/sh\nexec " + std::string(PackageOwnership::dpkgQuery) + " --admindir=" + (directory / "db").native() + " \"$@\"\n");
    ::chmod(wrapper.c_str(), 0755);
    const auto refused = PackageOwnership({PackageOwnership::Database::dpkg, wrapper.native()})
                             .refusals({"/opt/vendor", "/opt/vendorx", "/opt/a*b", "/opt/aXb"}, [](const std::string&) { return true; });
    const std::string folder = "Holds files of the package vendor, as dpkg-query --search reports; remove it with the package manager.";
    EXPECT_EQ(refused, (std::map<std::string, std::string>{{"/opt/vendor", folder}, {"/opt/a*b", folder}}));
}

TEST(RelatedItemsTest, FindsTheEntriesAndUnitsThatStartSomethingInTheFolderAndReadsNothingElse) {
    const struct { const char* text; bool points; } lines[] = {
        {"[Desktop Entry]\nExec=/opt/app/bin/run %U\n", true},
        {"Exec=\"/opt/app/bin/run\" --x\n", true},
        {"Exec=env A=1 /opt/app/run\n", true},
        {"TryExec=/opt/app\n", true},
        {"[Service]\nExecStart=-/opt/app/bin/daemon\n", true},
        {"ExecStartPre=+/usr/bin/true --config=/opt/app/conf\n", true},
        {"ExecStart=/opt/apple/run\n", false},
        {"Icon=/opt/app/icon.png\n", false},
        {"# Exec=/opt/app/run\n", false},
        {"Exec /opt/app/run\n", false},
    };
    for (const auto& line : lines) EXPECT_EQ(RelatedItems::pointsInto(line.text, "/opt/app"), line.points) << line.text;
    EXPECT_FALSE(RelatedItems::pointsInto("Exec=/x\n", "/"));

    test::TempDirectory directory{"vornelo-related"};
    const auto places = HelperPolicy::LinuxRoots{}.under(directory.path().native());
    const auto app = places.applications + "/app";
    for (const auto& folder : {places.units, places.desktopEntries[0], places.desktopEntries[1], places.units + "/x.service.d"}) fs::create_directories(folder);
    writeFile(places.desktopEntries[1] + "/b.desktop", "Exec=" + app + "/run\n");
    writeFile(places.desktopEntries[0] + "/a.desktop", "Exec=" + app + "/run\n");
    writeFile(places.desktopEntries[0] + "/other.desktop", "Exec=" + app + "le/run\n");
    writeFile(places.desktopEntries[0] + "/huge.desktop", "Exec=" + app + "/run\n" + std::string(RelatedItems::maxFileBytes, '#'));
    writeFile(directory / "elsewhere.desktop", "Exec=" + app + "/run\n");
    fs::create_symlink(directory / "elsewhere.desktop", places.desktopEntries[0] + "/linked.desktop");
    ASSERT_EQ(::mkfifo((places.desktopEntries[0] + "/fifo.desktop").c_str(), 0644), 0);
    writeFile(places.units + "/app.service", "[Service]\nExecStart=" + app + "/daemon\n");
    writeFile(places.units + "/x.service.d/override.conf", "[Service]\nExecStart=" + app + "/daemon\n");
    EXPECT_EQ(RelatedItems::of(app, places), (std::vector<std::string>{places.desktopEntries[0] + "/a.desktop", places.desktopEntries[1] + "/b.desktop",
                                                                      places.units + "/app.service"}));
}

}  // namespace
}  // namespace vornelo
