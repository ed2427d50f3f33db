#include "Core/OperationLog.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/Encoding/Text.h"
#include "Platform/System/PlatformTexts.h"
#include "Support/ChildProcess.h"
#include "Support/CliFixture.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Platform/Processes/Subprocess.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <fstream>
#include <tuple>

namespace vornelo {
namespace {

using nlohmann::json;
using test::allocatedBytes;
using test::contains;
using test::eventually;
using test::missingFrom;
using test::readFile;
using test::writeFile;
using Entry = OperationLog::Entry;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

// vornelo-cli with standard input, output and error on a pseudo-terminal, for what happens only
// on a terminal: the question before cleaning and the progress line. It inherits the environment,
// whose HOME the test's TestHome has set.
class TerminalRun {
public:
    explicit TerminalRun(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), VORNELO_CLI_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ != 0) return;
        termios modes{};
        ::tcgetattr(STDIN_FILENO, &modes);
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);  // the answers typed are not output
        modes.c_iflag |= IXON;                           // ^S and ^Q stop and start the output
        ::tcsetattr(STDIN_FILENO, TCSANOW, &modes);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    ~TerminalRun() {
        if (pid_ > 0 && !reaped_) { ::kill(pid_, SIGKILL); ::waitpid(pid_, nullptr, 0); }
        if (master_ >= 0) ::close(master_);
    }

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    const std::string& output() const { return output_; }

    void type(std::string_view text) const { [[maybe_unused]] auto written = ::write(master_, text.data(), text.size()); }

    // Reads the terminal until `text` has appeared; false when the output ended first.
    bool waitFor(std::string_view text) {
        while (!contains(output_, text)) if (!readSome()) return false;
        return true;
    }

    // Reads everything left and returns the exit code (-1 when ended by a signal).
    int finish() {
        while (readSome()) continue;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) continue;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The program's main thread is waiting in a write to standard output.
    bool isBlockedWritingOutput() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/syscall");
        long number = -1;
        std::string descriptor;
        file >> number >> descriptor;
        return number == SYS_write && descriptor == "0x1";
    }

    // The program catches SIGINT (rather than leaving it to end the process).
    bool catchesInterrupt() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(file, line);) {
            if (line.starts_with("SigCgt:")) return (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) != 0;
        }
        return false;
    }

private:
    bool readSome() {
        pollfd descriptor{master_, POLLIN, 0};
        if (::poll(&descriptor, 1, 60'000) <= 0) return false;
        char buffer[4096];
        const auto got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) return false;  // EIO once the program has closed the terminal
        output_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

class CleanCommandsTest : public test::CliTest {
protected:
    std::vector<Entry> logged() const { return OperationLog(logPath(), true).retainedEntries(); }
};

// MARK: preview

TEST_F(CleanCommandsTest, PreviewSetsProtectedAndMissingItemsApartAndCleanMovesTheRestAndLogsOneSession) {
    writeFile(path("Junk/big.bin"), std::string(20000, 'b'));
    writeFile(path("Junk/folder/inner.bin"), std::string(9000, 'i'));
    const auto big = path("Junk/big.bin").native();
    const auto folder = path("Junk/folder").native();
    const auto gone = path("Junk/gone").native();
    const auto total = allocatedBytes(big) + allocatedBytes(path("Junk/folder/inner.bin"));

    const auto document = cliJson({"preview", big, folder, "/usr/bin", gone, big});
    const auto& plan = document["plan"];
    ASSERT_EQ(plan["items"].size(), 2u) << document.dump(1);  // the repeat is dropped
    EXPECT_EQ(plan["items"][0], (json{{"category", "cache"}, {"id", big}, {"permanent", false}, {"protected", false},
                                      {"sizeBytes", allocatedBytes(big)}, {"url", big}}));
    EXPECT_EQ(std::tuple(plan["items"][1]["id"], plan["totalReclaimable"]), std::tuple(folder, total));
    EXPECT_EQ(plan["protectedItems"], json::parse(R"([{"category": "cache", "id": "/usr/bin", "protected": true,
        "reason": "Inside the protected system folder /usr.", "sizeBytes": 0, "url": "/usr/bin"}])"));
    EXPECT_EQ(std::tuple(plan["missingItems"].size(), plan["missingItems"][0]["id"], document["coverage"]["missingCount"],
                         document["cancelled"]),
              std::tuple(1u, gone, 1, false));

    says({"preview", big, folder, "/usr/bin", gone},
         {"2 items to clean, ", "(" + std::to_string(total) + " bytes) in all:",
          "Protected, never touched (1):\n  /usr/bin\n    Inside the protected system folder /usr.",
          "Missing, already gone (1):\n  " + gone + "\n"});

    // Looking neither moves nor logs anything; cleaning then moves the items and logs one session.
    EXPECT_EQ(std::tuple(std::filesystem::exists(big), std::filesystem::exists(path(".local/share/Trash")),
                         std::filesystem::exists(logPath())),
              std::tuple(true, false, false));
    writeFile(path("Junk/big.bin.d/keep"), "not named");
    const auto result = says({"clean", "--yes", big, folder, "/usr/bin"}, {"Moved 2 items to the Trash", "Skipped 1 protected item."});
    EXPECT_EQ(std::tuple(readFile(trash("big.bin")), readFile(trash("folder/inner.bin")), std::filesystem::exists(big),
                         std::filesystem::exists(path("Junk/big.bin.d/keep")), std::filesystem::exists("/usr/bin")),
              std::tuple(std::string(20000, 'b'), std::string(9000, 'i'), false, true, true));

    const auto sessions = cliJson({"sessions"});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]["itemCount"], 3);  // the skipped one is logged under the run too
    EXPECT_TRUE(contains(result.out, "Session " + sessions[0]["id"].get<std::string>())) << result.out;
}

TEST_F(CleanCommandsTest, UsageErrorsAndADryRunChangeNothingAndOnlyWhatIsAlreadyInATrashIsRemovedForGood) {
    writeFile(path("Junk/a.txt"), "alpha");
    writeFile(trash("old.txt"), "old");
    const auto a = path("Junk/a.txt").native();
    const auto old = trash("old.txt").native();
    const std::vector<std::pair<std::vector<std::string>, std::string>> usageErrors{
        {{"clean", a}, "pass --yes"},  // standard input is a pipe: there is no one to ask
        {{"clean", "--yes", "--category", "caches", a}, "\u201Ccaches\u201D is not a category"},
        {{"clean", "--yes", "--mode", "shred", a}, "\u201Cshred\u201D is not a mode"},
        {{"preview", "--category", "Cache", a}, ""},
        {{"clean", "--yes", ""}, ""},
        {{"clean", "--yes"}, ""},
    };
    for (const auto& [arguments, message] : usageErrors) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        complains(arguments, 2, {message});
    }
    EXPECT_FALSE(std::filesystem::exists(logPath()));
    says({"preview", "--category", "trash", old}, {"(inside a Trash: removed for good)"});
    says({"clean", "--dry-run", "--category", "trash", a, old},
         {"Dry run, nothing was changed: cleaning would move 1 item to the Trash and remove 1 item inside a Trash for good"});
    EXPECT_EQ(std::tuple(readFile(a), readFile(old)), std::tuple("alpha", "old"));
    ASSERT_EQ(logged().size(), 2u);
    EXPECT_TRUE(logged()[0].dryRun() && logged()[1].dryRun());
    EXPECT_EQ(cliJson({"sessions"}), json::array());  // a rehearsal is no session to restore

    // Asked to remove for good, what is outside a Trash still only goes into it.
    const auto document = cliJson({"clean", "--yes", "--mode", "permanent", a, old});
    const auto& result = document["result"];
    EXPECT_EQ(std::tuple(result["succeeded"], result["recoverable"], result["failed"], result["dryRun"],
                         result["removedIDs"].size(), document["plan"]["items"][1]["permanent"]),
              std::tuple(2, 1, 0, false, 2u, true)) << document.dump(1);
    EXPECT_EQ(std::tuple(readFile(trash("a.txt")), std::filesystem::exists(old), cliJson({"sessions"})[0]["id"]),
              std::tuple("alpha", false, document["sessionID"]));
}

TEST_F(CleanCommandsTest, AnItemThatCannotBeMovedPutBackOrSizedGivesExitOneWithTheReasonAndWhatToDo) {
    VORNELO_REQUIRE_ROOT();
    // As an ordinary user, an item in a folder it may not write stays where it is.
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto root = directory / "home";
    const auto account = test::unprivilegedAccount();
    for (const auto* name : {"Free/ok.txt", "Free/a.txt", "Locked/stuck.txt", "Shut/b.txt", "Sized/hidden/secret"}) writeFile(root / name, name);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) ::lchown(entry.path().c_str(), account.uid, account.gid);
    ::chown(root.c_str(), account.uid, account.gid);
    const auto user = [&](const std::string& relative) { return (root / relative).native(); };
    ::chmod(user("Locked").c_str(), 0555);
    ::chmod(user("Sized/hidden").c_str(), 0);
    const auto stuck = user("Locked/stuck.txt");
    const std::string reason = stuck + ": " + std::string(platform::PlatformTexts::permissionDenied);

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto text = test::runCli({"clean", "--yes", user("Free/ok.txt"), stuck}, root);
        if (text.exitCode != 1) return "exit code " + std::to_string(text.exitCode) + ": " + text.out + text.err;
        const auto missing = missingFrom(
            text.out, {"Moved 1 item to the Trash", "Could not remove 1 item:", "  " + reason + "\n",
                       "    " + platform::PlatformTexts::moveToTrashSuggestion(stuck) + "\n"});
        if (!missing.empty()) return missing;
        const auto document = json::parse(test::runCli({"--json", "clean", "--yes", stuck}, root).out);
        const auto& failure = document["result"]["failures"][0];
        if (document["result"]["failed"] != 1 || failure["path"] != stuck || failure["needsAdministrator"] != false ||
            document["result"]["errors"][0] != reason) {
            return "unexpected result: " + document.dump();
        }
        const auto sized = test::runCli({"size", user("Sized")}, root);
        if (sized.exitCode != 1) return "size exit code " + std::to_string(sized.exitCode);
        if (const auto unlisted = missingFrom(sized.out, {"Could not read 1 item", user("Sized/hidden")}); !unlisted.empty()) {
            return unlisted;
        }

        // Restore offers what is free, but the folder no longer lets this user put anything in it.
        const auto cleaned = test::runCli({"--json", "clean", "--yes", user("Shut/b.txt"), user("Free/a.txt")}, root);
        if (cleaned.exitCode != 0) return "clean failed: " + cleaned.out + cleaned.err;
        ::chmod(user("Shut").c_str(), 0555);
        const auto restored = test::runCli({"restore", json::parse(cleaned.out)["sessionID"].get<std::string>()}, root);
        if (restored.exitCode != 1) return "exit code " + std::to_string(restored.exitCode) + ": " + restored.out + restored.err;
        return missingFrom(restored.out, {"2 of 2 items can be put back:", "Not restored  " + user("Shut/b.txt") + ": ",
                                          "Restored  " + user("Free/a.txt") + "\n"});
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(std::tuple(readFile(stuck), readFile(user(".local/share/Trash/files/b.txt")), readFile(user("Free/a.txt")),
                         readFile(user(".local/share/Trash/files/ok.txt"))),
              std::tuple("Locked/stuck.txt", "Shut/b.txt", "Free/a.txt", "Free/ok.txt"));
}

// A file whose path is longer than the system takes is there, but no call by path reaches it:
// cleaning it is a failure that says so, never "already gone"; a path that is gone is no failure.
TEST_F(CleanCommandsTest, AnItemThatIsThereButCannotBeReachedIsAFailureNotAMissingOne) {
    const auto deep = path("deep");
    ASSERT_TRUE(test::makeDeepChain(deep, 20, 250, "file", false));
    std::string far = deep.native();
    for (int level = 0; level < 20; ++level) far += "/" + std::string(250, 'd');
    far += "/file";
    const auto gone = path("gone.txt").native();
    for (const auto& command : {std::vector<std::string>{"preview"}, std::vector<std::string>{"clean", "--yes"}}) {
        auto arguments = command;
        arguments.insert(arguments.end(), {far, gone});
        const auto text = cli(arguments);
        EXPECT_EQ(text.exitCode, 1) << command[0] << ": " << text.out;
        EXPECT_EQ(missingFrom(text.out, {"Missing, already gone (1):\n  " + gone + "\n", "Could not be reached, left as they are (1):\n  " + far +
                                         "\n    The operation on \u201Cfile\u201D couldn\u2019t be completed. (File name too long)\n"}), "") << command[0];
        EXPECT_FALSE(contains(text.out, "Could not read")) << command[0] << ": said twice";
    }
    const auto document = cliJson({"clean", "--yes", far, gone}, 1);
    const auto& plan = document["plan"];
    EXPECT_EQ(std::tuple(plan["unreachableItems"].size(), plan["unreachableItems"][0]["id"], plan["missingItems"].size(),
                         plan["missingItems"][0]["id"], document["result"]["succeeded"]),
              std::tuple(1u, far, 1u, gone, 0)) << plan.dump(1).substr(0, 400);
    EXPECT_EQ(test::runProgram("/usr/bin/find", {deep.native(), "-name", "file"}).out, far + "\n");  // still there
    EXPECT_EQ(cli({"clean", "--yes", gone}).exitCode, 0);
}

TEST_F(CleanCommandsTest, SettingsThatCannotBeReadStopACleanAndAreNeverReplaced) {
    writeFile(path("Keep/precious"), "mine");
    ASSERT_EQ(cli({"exclusions", "add", path("Keep").native()}).exitCode, 0);
    const auto settings = home.defaults()->locations().userFile;
    auto damaged = readFile(settings);
    damaged.replace(damaged.find("<array>"), 7, "<arr>");
    writeFile(settings, damaged);
    complains({"clean", "--yes", path("Keep").native()}, 1,
              {"Nothing was cleaned, because your exclusions cannot be read", settings.native() + " is not a property list"});
    EXPECT_EQ(readFile(path("Keep/precious")), "mine");
    complains({"preview", path("Keep").native()}, 1, {"This plan may hold what you excluded"});
    complains({"exclusions", "add", path("Other").native()}, 1,
              {"Your exclusions were not changed: the settings file " + settings.native()});
    EXPECT_EQ(readFile(settings), damaged);
}

TEST_F(CleanCommandsTest, ControlCharactersInNamesAreShownEscapedAndKeptInJson) {
    const std::string name = "a\x1B[2J\x1B]0;title\x07\u202Eb\n";
    writeFile(path("Junk") / name, "x");
    const auto file = (path("Junk") / name).native();
    const auto shown = path("Junk").native() + "/a\\x1B[2J\\x1B]0;title\\x07\\u202Eb\\n";
    const auto preview = says({"preview", file}, {shown + "\n"});
    EXPECT_EQ(cliJson({"preview", file})["plan"]["items"][0]["id"], file);

    const auto clean = says({"clean", "--yes", file}, {"Moved 1 item to the Trash"});
    const auto recent = says({"log", "recent"}, {shown + "\n", "/Trash/files/a\\x1B[2J"});
    const std::string session = cliJson({"sessions"})[0]["id"];
    const auto restore = says({"restore", "--dry-run", session}, {"available    " + shown + "\n"});
    // Bytes that are not UTF-8 are shown by value too.
    const auto missing = cli({"preview", file, path("Junk/c\xFF").native()});
    EXPECT_EQ(missingFrom(missing.out, {"Missing, already gone (2):\n  " + shown + "\n", "/Junk/c\\xFF\n"}), "");
    for (const auto* text : {&preview.out, &clean.out, &recent.out, &restore.out, &missing.out}) {
        EXPECT_EQ(text->find_first_of("\x1B\x07"), std::string::npos) << *text;
    }
}

// MARK: sessions and restore

using SessionCommandsTest = CleanCommandsTest;

TEST_F(SessionCommandsTest, SessionsAreListedLatestFirstAndRestoreTakesOnlyTheirIdentifiers) {
    EXPECT_EQ(says({"sessions"}, {}).out, "The operation log holds no cleanup sessions.\n");
    // Two runs written straight into the CLI's log, an hour apart, the later one first.
    const Uuid morning, evening;
    {
        OperationLog log(logPath(), true);
        using enum OperationLog::Mode;
        using enum OperationLog::Outcome;
        log.append(Entry(noon + 1h, evening, "clean", "/home/u/e1", 5, trash, success, false, std::nullopt,
                         "/home/u/.Trash/e1", 17));
        log.append(Entry(noon, morning, "uninstall", "/home/u/m1", 5, permanent, success, false));
        log.append(Entry(noon + 2s, morning, "uninstall", "/home/u/m2", 5, trash, failed, false, "No longer exists."));
        log.append(Entry(noon + 3s, morning, "uninstall", "/home/u/m3", 0, trash, skipped, false, "Protected path"));
    }
    const auto eveningLine = evening.uuidString() +
                             "  2024-05-01 13:00:00  clean  1 item: 1 trashed, 0 removed for good, 0 failed, 0 skipped; now 0 in "
                             "the Trash, 0 put back, 1 gone\n";  // its Trash path holds nothing
    const auto morningLine = morning.uuidString() +
                             "  2024-05-01 12:00:00  uninstall  3 items: 0 trashed, 1 removed for good, 1 failed, 1 skipped\n";
    EXPECT_EQ(says({"sessions"}, {}).out, eveningLine + morningLine);
    EXPECT_EQ(says({"sessions", "-n", "1"}, {}).out, eveningLine);
    EXPECT_EQ(says({"sessions", "-n", "0"}, {}).out, "");  // not "no sessions": there are two
    complains({"sessions", "-n", "-3"}, 2);

    const auto document = cliJson({"sessions"});
    ASSERT_EQ(document.size(), 2u);
    EXPECT_EQ(document[0]["id"], evening.uuidString());
    EXPECT_EQ(document[1], (json{{"id", morning.uuidString()}, {"date", "2024-05-01T12:00:00Z"}, {"action", "uninstall"},
                                 {"itemCount", 3}, {"trashed", 0}, {"removed", 1}, {"failed", 1}, {"skipped", 1}, {"unlogged", 0},
                                 {"inTrash", 0}, {"putBack", 0}, {"gone", 0}, {"fateUnknown", 0}}));

    // Restore takes a listed identifier whatever its case, as a user may copy it, and nothing else.
    const Uuid unknown;
    complains({"restore", "not-a-session"}, 2, {"\u201Cnot-a-session\u201D is not a session identifier"});
    complains({"restore", unknown.uuidString()}, 2, {"Neither the operation log nor the Trash holds a cleanup session " + unknown.uuidString()});
    complains({"restore"}, 2);
    EXPECT_EQ(cli({"restore", platform::Text::lowercased(evening.uuidString()), "--dry-run"}).exitCode, 0);
}


TEST_F(SessionCommandsTest, RestoreShowsAvailabilityThenPutsTheTrashedItemsBackOnlyForLoggedRuns) {
    writeFile(path("Junk/a.txt"), "alpha");
    writeFile(path("Junk/folder/b.txt"), "beta");
    writeFile(trash("old.txt"), "old");
    const auto session = cleaned({path("Junk/a.txt").native(), path("Junk/folder").native(), "/usr/bin"});
    const auto removedForGood = cleaned({"--category", "trash", trash("old.txt").native()});

    const auto rehearsal = cliJson({"restore", session, "--dry-run"});
    ASSERT_EQ(rehearsal["items"].size(), 3u) << rehearsal.dump(1);
    const auto& items = rehearsal["items"];
    EXPECT_EQ(std::tuple(items[0]["isAvailable"], items[0]["entry"]["trashedPath"], items[2]["isAvailable"],
                         items[2]["unavailableReason"], rehearsal["results"], rehearsal["dryRun"]),
              std::tuple(true, trash("a.txt").native(), false, "This item was not removed.", json::array(), true));
    says({"restore", session, "--dry-run"}, {"2 of 3 items can be put back:", "Dry run: nothing was put back."});
    EXPECT_FALSE(std::filesystem::exists(path("Junk/a.txt")));

    std::filesystem::remove_all(path("Junk"));
    says({"restore", session},
         {"Restored  " + path("Junk/a.txt").native() + "\n", "Restored  " + path("Junk/folder").native() + "\n"});
    EXPECT_EQ(readFile(path("Junk/a.txt")), "alpha");
    EXPECT_EQ(readFile(path("Junk/folder/b.txt")), "beta");

    // Once back, there is nothing left to do, and that is no failure.
    EXPECT_EQ(cliJson({"restore", session})["results"], json::array());
    says({"restore", removedForGood}, {"Permanently removed \u2014 cannot be restored.", "Nothing was put back."});

    // With the log off a clean still works but offers no restore.
    ASSERT_EQ(cli({"log", "disable"}).exitCode, 0);
    writeFile(path("Junk/c.txt"), "gamma");
    const auto unlogged = says({"clean", "--yes", path("Junk/c.txt").native()},
                               {"Moved 1 item to the Trash",
                                "The operation log is off, so this run cannot be undone with restore"});
    EXPECT_FALSE(contains(unlogged.out, "vornelo-cli restore")) << unlogged.out;
    EXPECT_EQ(cliJson({"sessions"}).size(), 2u);  // neither that run nor the put-backs start a session
}

// A run cut short after its items moved and before their lines were written (as kill -9 leaves
// it, here made by dropping the lines): the items are found by the session in their Trash records,
// put back and logged, and an item that cannot go back is named with exit code 1.
TEST_F(SessionCommandsTest, ItemsWhoseLogLinesNeverCameAreFoundByTheirTrashRecordsAndPutBack) {
    std::vector<std::string> paths;
    for (int index = 0; index < 5; ++index) {
        paths.push_back(path("Run/f" + std::to_string(index)).native());
        writeFile(paths.back(), "data " + std::to_string(index));
    }
    const auto session = cleaned(paths);
    const auto lines = readFile(logPath());
    test::writeFile(logPath(), lines.substr(0, lines.find('\n', lines.find('\n') + 1) + 1));  // the first two items' lines
    const auto listed = cliJson({"sessions"});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(std::tuple(listed[0]["id"], listed[0]["itemCount"], listed[0]["trashed"], listed[0]["unlogged"]), std::tuple(session, 5, 5, 3));
    says({"sessions"}, {"(3 of the trashed found in the Trash, not in the log)"});
    writeFile(paths[4], "came back meanwhile");
    const auto restored = cliJson({"restore", session}, 1);
    EXPECT_EQ(restored["notPutBack"], json::array({paths[4]})) << restored.dump(1);
    for (int index = 0; index < 4; ++index) EXPECT_EQ(readFile(paths[static_cast<std::size_t>(index)]), "data " + std::to_string(index));
    EXPECT_EQ(std::ranges::count(readFile(logPath()), '\n'), 2 + 4) << "each put-back is logged";

    // With no line at all, the run is listed from the Trash alone, and put back whole.
    std::filesystem::remove(paths[4]);
    std::filesystem::remove(logPath());
    std::filesystem::remove(logPath().parent_path() / "operations.totals.json");
    const auto alone = cliJson({"sessions"});
    EXPECT_EQ(std::tuple(alone.size(), alone[0]["id"], alone[0]["action"], alone[0]["unlogged"]), std::tuple(1u, session, "clean", 1));
    says({"restore", session}, {"Restored  " + paths[4] + "\n"});
    EXPECT_EQ(readFile(paths[4]), "data 4");
}

// A few cleans killed at random moments: whatever left its place comes back.
TEST_F(SessionCommandsTest, ACleanKilledAtAnyMomentIsPutBackWhole) {
    std::vector<std::string> paths;
    for (int index = 0; index < 300; ++index) paths.push_back(path("Kill/f" + std::to_string(index)).native());
    const auto started = [&] {
        for (const auto& file : paths) writeFile(file, "x");
        std::vector<std::string> arguments{"HOME=" + home.home().native(), "XDG_CONFIG_HOME=" + path(".config").native(),
                                           "XDG_DATA_HOME=" + path(".local/share").native(), VORNELO_CLI_PATH, "clean", "--yes"};
        arguments.insert(arguments.end(), paths.begin(), paths.end());
        return platform::Subprocess::spawn("/usr/bin/env", arguments);
    };
    auto whole = started();
    ASSERT_TRUE(whole);
    const auto began = std::chrono::steady_clock::now();
    while (whole->isRunning()) std::this_thread::sleep_for(1ms);
    const auto duration = std::chrono::steady_clock::now() - began;
    cliJson({"restore", cliJson({"sessions"})[0]["id"].get<std::string>()});
    for (int run = 0; run < 3; ++run) {
        auto cut = started();
        ASSERT_TRUE(cut);
        std::this_thread::sleep_for(duration * (run + 1) / 4);
        cut->kill();
        while (cut->isRunning()) std::this_thread::sleep_for(1ms);
        const auto gone = std::ranges::count_if(paths, [](const std::string& file) { return !std::filesystem::exists(file); });
        const auto sessions = cliJson({"sessions", "-n", "1"});
        if (gone == 0) continue;
        ASSERT_EQ(sessions.size(), 1u) << gone << " moved, no session";
        const auto restored = cli({"restore", sessions[0]["id"].get<std::string>()});
        EXPECT_EQ(restored.exitCode, 0) << restored.out.substr(0, 2000);
        EXPECT_TRUE(std::ranges::all_of(paths, [](const std::string& file) { return std::filesystem::exists(file); })) << run;
    }
}

// MARK: On a terminal

TEST_F(CleanCommandsTest, OnATerminalCleanAsksFirstNoAnswerChangesNothingAndCtrlCStopsBeforeTheNextItem) {
    std::vector<std::string> arguments{"clean"};
    for (int i = 0; i < 5; ++i) {
        writeFile(path("Junk/file-" + std::to_string(i)), "data");
        arguments.push_back(path("Junk/file-" + std::to_string(i)).native());
    }
    TerminalRun declined(arguments);
    if (!declined.started()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
    ASSERT_TRUE(declined.waitFor("Move 5 items to the Trash (")) << declined.output();
    ASSERT_TRUE(declined.waitFor("? [y/N] ")) << declined.output();
    declined.type("\n");
    EXPECT_EQ(declined.finish(), 0);
    EXPECT_TRUE(contains(declined.output(), "Nothing was changed.")) << declined.output();
    EXPECT_FALSE(std::filesystem::exists(path(".local/share/Trash")));

    if (!std::ifstream("/proc/self/syscall")) GTEST_SKIP() << "/proc/PID/syscall, which shows where the run waits, is missing";
    TerminalRun run(arguments);
    ASSERT_TRUE(run.waitFor("[y/N] ")) << run.output();
    // The whole word is a yes too. ^S holds the terminal's output, so the run stops in its first
    // progress line, before its first item; Ctrl-C arrives there, and ^Q lets it go on.
    run.type("\x13yes\n");
    ASSERT_TRUE(eventually([&] { return run.isBlockedWritingOutput(); })) << run.output();
    ASSERT_TRUE(run.catchesInterrupt());
    ::kill(run.pid(), SIGINT);
    ASSERT_TRUE(eventually([&] { return !run.catchesInterrupt(); }));  // taken: a second Ctrl-C would end it
    run.type("\x11");
    EXPECT_EQ(run.finish(), 1) << run.output();
    EXPECT_EQ(missingFrom(run.output(), {"Moved 1 item to the Trash", "Cancelled: 4 items were left as before."}), "");
    EXPECT_EQ(readFile(trash("file-0")), "data");
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(std::filesystem::exists(path("Junk/file-" + std::to_string(i)))) << i;
    const auto entries = logged();
    ASSERT_EQ(entries.size(), 1u);  // items not reached are not logged either
    EXPECT_EQ(entries[0].path(), path("Junk/file-0").native());
}

// MARK: size

using SizeCommand = CleanCommandsTest;

TEST_F(SizeCommand, EachPathGetsItsTotalAndTheCoverageAndItExitsOneWhenSomethingWasMissing) {
    const auto caches = path("Library/Caches").native();
    const auto shortcut = path("shortcut").native();
    const auto gone = path("gone").native();
    writeFile(caches + "/one/blob", std::string(30000, 'a'));
    writeFile(caches + "/two", std::string(5000, 'b'));
    std::filesystem::create_symlink(caches, shortcut);
    const auto total = allocatedBytes(caches + "/one/blob") + allocatedBytes(caches + "/two");

    auto document = cliJson({"size", caches, shortcut, gone}, 1);
    document["coverage"]["issues"][0].erase("detail");
    const auto item = [](const std::string& path, std::int64_t bytes, bool link) {
        return json{{"isSymbolicLink", link}, {"path", path}, {"sizeBytes", bytes}};
    };
    EXPECT_EQ(document, (json{{"cancelled", false}, {"totalBytes", total},
                              {"items", json::array({item(caches, total, false), item(shortcut, 0, true), item(gone, 0, false)})},
                              {"coverage", {{"additionalIssueCount", 0}, {"checkedPaths", json::array({caches, shortcut})},
                                            {"isPartial", false}, {"issues", json::array({{{"kind", "missing"}, {"path", gone}}})},
                                            {"missingCount", 1}, {"skippedCloudOnly", 0}, {"unavailableCount", 0}}}}))
        << document.dump(1);
    const auto human = says({"size", caches}, {" bytes  " + caches});
    EXPECT_FALSE(contains(human.out, "\033[")) << "progress drawn into a pipe";
    says({"size", gone}, {"Missing 1 item:"}, 1);
    complains({"size"}, 2);
    complains({"size", ""}, 2);
}

}  // namespace
}  // namespace vornelo
