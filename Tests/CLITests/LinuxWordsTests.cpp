#include "Core/OperationLog.h"
#include "Core/SafeFileDeleter.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/PrivateRoot.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <ranges>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::contains;
using test::missingFrom;
using test::readFile;
using test::writeFile;

// The first word of the other platform in a command's output, with what surrounds it; empty when
// there is none. "Part of macOS." is literally true of an Apple bundle and may stand.
std::string foreignWords(std::string text, const std::string& command) {
    for (std::size_t at; (at = text.find("Part of macOS.")) != std::string::npos;) text.erase(at, 14);
    for (const std::string_view word : {"Finder", "App Store", "macOS"}) {
        if (const auto at = text.find(word); at != std::string::npos) {
            return command + " says \"" + text.substr(at < 60 ? 0 : at - 60, 140) + "\"";
        }
    }
    return {};
}

// Runs vornelo-cli in `home`, collects what it says and keeps the first foreign word found.
struct Sweep {
    fs::path home;
    std::map<std::string, std::string> environment{};
    std::string complaint{};
    std::string everything{};

    test::ProgramResult run(const std::vector<std::string>& arguments) {
        auto result = test::runCli(arguments, home, environment);
        everything += result.out + result.err;
        if (complaint.empty()) complaint = foreignWords(result.out + result.err, ::testing::PrintToString(arguments));
        return result;
    }
};

void writeBundle(const fs::path& bundle, const std::string& identifier) {
    writeFile(bundle / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                                                  identifier + "</string></dict></plist>");
}

using LinuxWordsTest = test::CliTest;

// The whole command set in a scratch home, as the test's user (root here): nothing names the other
// platform's programs, and no command makes a ~/Library.
TEST_F(LinuxWordsTest, EveryCommandSpeaksLinuxAndNoneCreatesALibraryFolder) {
    Sweep sweep{home.home()};
    writeFile(path("Junk/a.txt"), "a");
    writeFile(path("Junk/folder/b.txt"), "b");
    // The secrets and containers a cleanup must never take, and the caches it may.
    std::vector<std::string> kept;
    for (const auto* place : {".local/share/keyrings/login.keyring", ".password-store/mail.gpg", ".aws/credentials",
                              ".kube/config", ".docker/config.json", ".netrc", ".git-credentials", ".config/gh/hosts.yml",
                              ".pki/nssdb/cert9.db", ".mozilla/firefox/profiles.ini", ".thunderbird/profiles.ini",
                              ".config/google-chrome/Default/Login Data", ".config/chromium/Local State",
                              ".config/BraveSoftware/Brave-Browser/Local State", ".var/app/org.mozilla.firefox/.mozilla/x"}) {
        writeFile(path(place), "secret");
        kept.push_back(path(place).native());
    }
    for (const auto* container : {".config", ".local", ".local/share", ".local/state", ".cache", ".var/app", "snap",
                                  ".local/share/Trash", ".local/share/Trash/files", ".local/share/Trash/info"}) {
        fs::create_directories(path(container));
        kept.push_back(path(container).native());
    }
    writeFile(path(".cache/mozilla/firefox/cache2/entry"), "cache");
    writeFile(path(".cache/google-chrome/Default/Cache/data_0"), "cache");
    writeBundle(home.root() / "Applications/Safari.app", "com.apple.Safari");
    writeBundle(home.root() / "Applications/Editor.app", "com.example.editor");
    const auto apps = (home.root() / "Applications").native();
    const auto library = (home.root() / "SystemLibrary").native();
    fs::create_directories(library);

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--help-all"}, {"check", path("Library/Caches/x").native(), path(".local/share/keyrings").native(), "/System", "/"},
             {"bundle-id", "com.apple.finder", "com.apple.AppStore"}, {"exclusions", "add", path("Keep").native()},
             {"exclusions", "list"}, {"exclusions", "remove", path("Keep").native()}, {"exclusions", "remove", "/never"},
             {"policy"}, {"format", "bytes", "1234567"}, {"format", "percent", "half"}, {"access"}, {"--json", "access"},
             {"login-item", "status"}, {"login-item", "enable"}, {"login-item", "disable"},
             {"run", "--", "/bin/false"}, {"run", "--", "/no/such/program"}, {"run", "--timeout", "0.2", "--", "/bin/sleep", "5"},
             {"size", path("Junk").native(), path("Gone").native()}, {"preview", path("Junk").native(), "/usr/bin", path("Gone").native()},
             {"clean", "--dry-run", path("Junk/a.txt").native()}, {"clean", "--yes", path("Gone").native()},
             {"clean", path("Junk/a.txt").native()},
             {"helper", "check", "--applications-root", apps, "--library-root", library, apps + "/Safari.app", apps + "/Editor.app"},
             {"helper", "version"}, {"helper", "remove", apps + "/Editor.app"},
             {"log", "status"}, {"log", "path"}, {"log", "totals"}, {"log", "verify"}, {"log", "disable"}, {"log", "enable"}}) {
        (void)sweep.run(arguments);
    }
    EXPECT_TRUE(contains(sweep.everything, "Part of macOS.")) << "the helper's verdict on an Apple bundle stands";
    const auto cleaned = json::parse(sweep.run({"--json", "clean", "--yes", path("Junk").native()}).out);
    const auto session = cleaned.value("sessionID", "");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"sessions"}, {"restore", session, "--dry-run"}, {"restore", session}, {"restore", session},
             {"restore", "00000000-0000-4000-8000-000000000000"}, {"restore", "not-a-session"},
             {"log", "recent"}, {"log", "export", path("export.csv").native(), "--format", "csv"},
             {"log", "export", "/proc/no/such/export"}, {"log", "clear"}}) {
        (void)sweep.run(arguments);
    }
    std::vector<std::string> places{"--json", "preview"};
    places.insert(places.end(), kept.begin(), kept.end());
    const auto plan = json::parse(sweep.run(places).out)["plan"];
    EXPECT_EQ(std::tuple(plan["protectedItems"].size(), plan["items"].size()), std::tuple(kept.size(), 0u));
    for (const std::string reason : plan["protectedItems"] | std::views::transform([](auto& item) { return item["reason"]; })) {
        EXPECT_TRUE(contains(reason, ": it ") || contains(reason, ", which ")) << reason;  // says why
    }
    places.assign({"--json", "clean", "--yes", path(".cache/mozilla").native(), path(".cache/google-chrome").native()});
    places.insert(places.end(), kept.begin(), kept.end());
    const auto result = json::parse(sweep.run(places).out)["result"];
    EXPECT_EQ(std::tuple(result["skipped"], result["succeeded"]), std::tuple(kept.size(), 2));
    for (const auto& place : kept) EXPECT_TRUE(fs::exists(place)) << place;
    EXPECT_EQ(sweep.complaint, "");
    EXPECT_FALSE(fs::exists(path("Library")));
}

// The failures an ordinary user meets: an item root owns (outside and inside the Trash), an
// unreadable folder, a Trash that cannot be made. The commands the advice names work for root.
TEST_F(LinuxWordsTest, FailuresOfAnOrdinaryUserSpeakLinuxAndTheAdministratorsCommandsTheyNameWork) {
    VORNELO_REQUIRE_ROOT();
    const auto account = test::unprivilegedAccount();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto user = directory / "home";
    const auto tool = user / "Tools/root/bin";
    const auto trashed = user / ".local/share/Trash/files/root/data";
    for (const auto& file : {tool, trashed, user / "Shut/inner/file", user / "Broken/item"}) writeFile(file, "x");
    for (const auto& entry : fs::recursive_directory_iterator(user)) {
        const bool roots = contains(entry.path().native().substr(user.native().size()), "/root");
        ::lchown(entry.path().c_str(), roots ? 0 : account.uid, roots ? 0 : account.gid);
    }
    ::chown(user.c_str(), account.uid, account.gid);
    ::chmod((user / "Shut/inner").c_str(), 0);

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        Sweep sweep{user};
        const auto cleaned = sweep.run({"clean", "--yes", tool.native(), trashed.native()});
        if (auto missing = missingFrom(cleaned.out, {"Owned by another user (usually installed by the package manager",
                                                     "\u201Csudo vornelo-cli clean '" + tool.native() + "'\u201D",
                                                     "\u201Csudo vornelo-cli clean --mode permanent '" + trashed.native() + "'\u201D"});
            cleaned.exitCode != 1 || !missing.empty()) {
            return "clean exit code " + std::to_string(cleaned.exitCode) + ": " + missing;
        }
        (void)sweep.run({"size", (user / "Shut").native()});
        (void)sweep.run({"clean", "--yes", (user / "Shut/inner/file").native()});
        sweep.environment["XDG_DATA_HOME"] = (user / "Broken/item").native() + "x";  // a file's place: no Trash there
        writeFile(user / "Broken/itemx", "a file");
        if (sweep.run({"clean", "--yes", (user / "Broken/item").native()}).exitCode != 1) return "clean without a Trash succeeded";
        if (!sweep.complaint.empty()) return sweep.complaint;
        return fs::exists(user / "Library") ? "a Library folder was made" : "";
    });
    ASSERT_TRUE(outcome.succeeded) << outcome.message;

    // What the advice says an administrator runs, run as root with root's own (scratch) home.
    const auto administrator = directory / "root-home";
    fs::create_directories(administrator);
    EXPECT_EQ(test::runCli({"clean", "--yes", "--mode", "permanent", trashed.native()}, administrator).exitCode, 0);
    EXPECT_EQ(test::runCli({"clean", "--yes", tool.native()}, administrator).exitCode, 0);
    EXPECT_EQ(std::tuple(fs::exists(trashed), fs::exists(tool), readFile(administrator / ".local/share/Trash/files/bin")),
              std::tuple(false, false, "x"));
}

// In a private mount namespace: a small volume, whose top holds its own Trash and which then fills
// up, and a simulated Flatpak sandbox (its marker file in a root of the test's own).
TEST_F(LinuxWordsTest, AVolumesTopAFullDiskAndAFlatpakSandboxAreReportedInLinuxWords) {
    fs::create_directories(path("Desktop"));
    const auto open = cliJson({"access"});
    EXPECT_EQ(std::tuple(open["fullDiskAccess"], open["confinement"], open["protectedFolders"][0]["path"], open["deniedFolders"]),
              std::tuple(true, "none", path("Desktop").native(), json::array()));
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    const auto volume = directory / "volume";
    fs::create_directories(volume);
    fs::create_directories(directory / "root");
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=64k,nr_inodes=64") != 0) return "no tmpfs";
        Sweep sweep{home.home()};
        const auto top = sweep.run({"clean", "--yes", volume.native()});
        if (top.exitCode != 1 || !contains(top.out, SafeFileDeleter::holdsItsTrashReason)) return "the top: " + top.out;
        writeFile(volume / "item.txt", "item");
        std::ofstream filler(volume / "filler", std::ios::binary);
        for (const std::string block(4096, 'f'); filler.write(block.data(), block.size());) continue;
        filler.close();
        const auto full = sweep.run({"clean", "--yes", (volume / "item.txt").native()});
        if (full.exitCode != 1 || !contains(full.out, "enough space")) return "a full disk: " + full.out + full.err;
        if (!sweep.complaint.empty()) return sweep.complaint;

        if (auto entered = test::enterPrivateRoot({}, directory / "root"); !entered.empty()) return entered;
        writeFile("/.flatpak-info", "[Application]\nname=org.example.Vornelo\n\n[Instance]\ninstance-id=1\n");
        const auto document = json::parse(test::runCli({"--json", "access"}, home.home()).out, nullptr, false);
        if (document.is_discarded() || document["fullDiskAccess"] != false || document["confinement"] != "flatpak" ||
            document["confinementDetail"] != "org.example.Vornelo") {
            return "in a sandbox: " + document.dump();
        }
        return missingFrom(test::runCli({"access"}, home.home()).out, {"Full disk access: no", "Flatpak sandbox (org.example.Vornelo)"});
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

// When both places hold a log, the command says what to do, and doing it works.
TEST_F(LinuxWordsTest, TwoLogsAreExplainedWithACommandThatWorks) {
    const auto earlier = path("Library/Logs/Vornelo/operations.log");
    for (const auto* item : {"/h/later", "/h/earlier"}) {
        OperationLog log(std::string(item) == "/h/later" ? logPath() : earlier, true);
        log.append(OperationLog::Entry(std::chrono::system_clock::now(), Uuid(), "clean", item, 1, OperationLog::Mode::trash,
                                       OperationLog::Outcome::failed, false, std::string("No longer exists.")));
        ASSERT_TRUE(log.flush());
    }
    const auto both = cli({"log", "recent"});
    EXPECT_EQ(both.exitCode, 0);
    ASSERT_TRUE(contains(both.err, "so Vornelo moved neither")) << both.err;
    EXPECT_TRUE(fs::exists(earlier)) << "neither is touched";
    const auto start = both.err.find("\u201Cmv ");
    const auto end = both.err.find("\u201D", start);
    ASSERT_NE(end, std::string::npos) << both.err;
    ASSERT_EQ(test::runProgram("/bin/sh", {"-c", both.err.substr(start + 3, end - start - 3)}).exitCode, 0);
    const auto moved = cli({"--json", "log", "recent"});
    EXPECT_EQ(std::tuple(moved.err, json::parse(moved.out)[0]["path"]), std::tuple("", "/h/earlier"));
    EXPECT_FALSE(fs::exists(home.home() / "Library"));
    EXPECT_TRUE(fs::exists(logPath().parent_path().native() + ".later/operations.log")) << "the later log is kept aside";
}

}  // namespace
}  // namespace vornelo
