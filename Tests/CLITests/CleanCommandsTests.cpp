#include "Core/OperationLog.h"
#include "Platform/Iso8601.h"
#include "Support/ChildProcess.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vornelo {
namespace {

using nlohmann::json;
using test::readFile;
using test::writeFile;
using Entry = OperationLog::Entry;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

std::int64_t allocated(const std::filesystem::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// Waits for a state of another process that the test itself brings about; the bound only keeps a
// broken run from hanging the suite.
template <typename Condition>
bool eventually(Condition condition) {
    for (int attempt = 0; attempt < 6000; ++attempt) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// vornelo-cli with standard input, output and error on a pseudo-terminal, for what happens only
// on a terminal: the question before cleaning and the progress line.
class TerminalRun {
public:
    TerminalRun(const std::vector<std::string>& arguments, const std::filesystem::path& home) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const std::string slavePath = ::ptsname(master_);
        const int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) return;
        termios modes{};
        ::tcgetattr(slave, &modes);
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);  // the answers typed are not output
        modes.c_iflag |= IXON;                           // ^S and ^Q stop and start the output
        ::tcsetattr(slave, TCSANOW, &modes);

        std::vector<std::string> argv{VORNELO_CLI_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env{"HOME=" + home.native(), "XDG_CONFIG_HOME=" + (home / ".config").native()};
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("HOME=") && !text.starts_with("XDG_CONFIG_HOME=")) env.emplace_back(text);
        }
        auto argvPointers = pointers(argv);
        auto envPointers = pointers(env);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::dup2(slave, STDIN_FILENO);
            ::dup2(slave, STDOUT_FILENO);
            ::dup2(slave, STDERR_FILENO);
            ::execve(argv[0].c_str(), argvPointers.data(), envPointers.data());
            ::_exit(127);
        }
        ::close(slave);
    }

    ~TerminalRun() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    const std::string& output() const { return output_; }

    void type(std::string_view text) const { [[maybe_unused]] auto written = ::write(master_, text.data(), text.size()); }

    // Reads the terminal until `text` has appeared; false when the output ended first.
    bool waitFor(std::string_view text) {
        while (!contains(output_, text)) {
            if (!readSome()) return false;
        }
        return true;
    }

    // Reads everything left and returns the exit code (-1 when ended by a signal).
    int finish() {
        while (readSome()) {
        }
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
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
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& text : strings) result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    }

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

class CleanCommandsTest : public ::testing::Test {
protected:
    test::ProgramResult cli(const std::vector<std::string>& arguments) { return test::runCli(arguments, home.home()); }
    json cliJson(std::vector<std::string> arguments, int exitCode = 0) {
        arguments.insert(arguments.begin(), "--json");
        const auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.err << result.out;
        return json::parse(result.out, nullptr, false);
    }
    std::filesystem::path path(const std::string& relative) const { return home.home() / relative; }
    std::filesystem::path logPath() const { return path("Library/Logs/Vornelo/operations.log"); }
    std::vector<Entry> logged() const { return OperationLog(logPath(), true).retainedEntries(); }
    std::filesystem::path trash(const std::string& name) const { return path(".Trash") / name; }

    test::TestHome home;
};

// MARK: preview

TEST_F(CleanCommandsTest, PreviewSizesItemsAndSetsProtectedAndMissingOnesApart) {
    writeFile(path("Junk/big.bin"), std::string(20000, 'b'));
    writeFile(path("Junk/folder/inner.bin"), std::string(9000, 'i'));
    const auto big = path("Junk/big.bin").native();
    const auto folder = path("Junk/folder").native();
    const auto gone = path("Junk/gone").native();

    const auto document = cliJson({"preview", big, folder, "/usr/bin", gone, big});
    const auto& plan = document["plan"];
    ASSERT_EQ(plan["items"].size(), 2u) << document.dump(1);  // the repeat is dropped
    EXPECT_EQ(plan["items"][0]["id"], big);
    EXPECT_EQ(plan["items"][0]["sizeBytes"], allocated(big));
    EXPECT_EQ(plan["items"][0]["category"], "cache");
    EXPECT_EQ(plan["items"][0]["permanent"], false);
    EXPECT_EQ(plan["items"][1]["id"], folder);
    EXPECT_EQ(plan["items"][1]["sizeBytes"], allocated(path("Junk/folder/inner.bin")));
    EXPECT_EQ(plan["totalReclaimable"], allocated(big) + allocated(path("Junk/folder/inner.bin")));
    ASSERT_EQ(plan["protectedItems"].size(), 1u);
    EXPECT_EQ(plan["protectedItems"][0]["id"], "/usr/bin");
    EXPECT_EQ(plan["protectedItems"][0]["reason"], "Inside the protected system folder /usr.");
    EXPECT_EQ(plan["protectedItems"][0]["sizeBytes"], 0);
    ASSERT_EQ(plan["missingItems"].size(), 1u);
    EXPECT_EQ(plan["missingItems"][0]["id"], gone);
    EXPECT_EQ(document["coverage"]["missingCount"], 1);
    EXPECT_EQ(document["cancelled"], false);

    const auto text = cli({"preview", big, folder, "/usr/bin", gone});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "2 items to clean, ")) << text.out;
    EXPECT_TRUE(contains(text.out, "(" + std::to_string(allocated(big) + allocated(path("Junk/folder/inner.bin"))) +
                                       " bytes) in all:"))
        << text.out;
    EXPECT_TRUE(contains(text.out, "Protected, never touched (1):\n  /usr/bin\n    Inside the protected system folder /usr."))
        << text.out;
    EXPECT_TRUE(contains(text.out, "Missing, already gone (1):\n  " + gone + "\n")) << text.out;

    // Looking neither moves nor logs anything.
    EXPECT_TRUE(std::filesystem::exists(big));
    EXPECT_FALSE(std::filesystem::exists(path(".Trash")));
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

TEST_F(CleanCommandsTest, PreviewMarksWhatATrashCategoryRemovesForGood) {
    writeFile(trash("old.txt"), "old");
    const auto document = cliJson({"preview", "--category", "trash", trash("old.txt").native()});
    EXPECT_EQ(document["plan"]["items"][0]["permanent"], true);
    const auto text = cli({"preview", "--category", "trash", trash("old.txt").native()});
    EXPECT_TRUE(contains(text.out, "(inside a Trash: removed for good)")) << text.out;
}

// MARK: clean

TEST_F(CleanCommandsTest, CleanWithYesMovesItemsIntoTheTrashAndLogsOneSession) {
    writeFile(path("Junk/a.txt"), "alpha");
    writeFile(path("Junk/folder/b.txt"), "beta");
    writeFile(path("Junk/a.txt.d/keep"), "not named");
    const auto result = cli({"clean", "--yes", path("Junk/a.txt").native(), path("Junk/folder").native(), "/usr/bin"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Moved 2 items to the Trash")) << result.out;
    EXPECT_TRUE(contains(result.out, "Skipped 1 protected item.")) << result.out;
    EXPECT_EQ(readFile(trash("a.txt")), "alpha");
    EXPECT_EQ(readFile(trash("folder/b.txt")), "beta");
    EXPECT_FALSE(std::filesystem::exists(path("Junk/a.txt")));
    EXPECT_TRUE(std::filesystem::exists(path("Junk/a.txt.d/keep")));
    EXPECT_TRUE(std::filesystem::exists("/usr/bin"));

    const auto entries = logged();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].trashedPath(), trash("a.txt").native());
    EXPECT_EQ(entries[2].outcome(), OperationLog::Outcome::skipped);
    EXPECT_EQ(entries[0].sessionID(), entries[2].sessionID());
    ASSERT_TRUE(entries[0].sessionID());
    EXPECT_TRUE(contains(result.out, "Session " + entries[0].sessionID()->uuidString())) << result.out;
}

TEST_F(CleanCommandsTest, OnlyWhatIsAlreadyInATrashIsRemovedForGood) {
    writeFile(path("Junk/outside.txt"), "outside");
    writeFile(trash("inside.txt"), "inside");
    const auto document = cliJson(
        {"clean", "--yes", "--mode", "permanent", path("Junk/outside.txt").native(), trash("inside.txt").native()});
    const auto& result = document["result"];
    EXPECT_EQ(result["succeeded"], 2);
    EXPECT_EQ(result["recoverable"], 1);
    EXPECT_EQ(result["failed"], 0);
    EXPECT_EQ(result["dryRun"], false);
    EXPECT_EQ(result["removedIDs"].size(), 2u);
    EXPECT_EQ(document["plan"]["items"][0]["permanent"], false);
    EXPECT_EQ(document["plan"]["items"][1]["permanent"], true);
    EXPECT_EQ(readFile(trash("outside.txt")), "outside");
    EXPECT_FALSE(std::filesystem::exists(trash("inside.txt")));

    const auto entries = logged();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mode(), OperationLog::Mode::trash);
    EXPECT_EQ(entries[1].mode(), OperationLog::Mode::permanent);
    EXPECT_EQ(entries[0].sessionID()->uuidString(), document["sessionID"]);
}

TEST_F(CleanCommandsTest, WithoutYesAndNoTerminalToAskNothingChanges) {
    writeFile(path("Junk/a.txt"), "alpha");
    const auto result = cli({"clean", path("Junk/a.txt").native()});  // standard input is a pipe
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(contains(result.err, "pass --yes")) << result.err;
    EXPECT_TRUE(std::filesystem::exists(path("Junk/a.txt")));
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

TEST_F(CleanCommandsTest, ADryRunLogsARehearsalAndChangesNothing) {
    writeFile(path("Junk/a.txt"), "alpha");
    writeFile(trash("old.txt"), "old");
    const auto result = cli({"clean", "--dry-run", "--category", "trash", path("Junk/a.txt").native(), trash("old.txt").native()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Dry run, nothing was changed: cleaning would move 1 item to the Trash and remove 1 "
                                     "item inside a Trash for good"))
        << result.out;
    EXPECT_EQ(readFile(path("Junk/a.txt")), "alpha");
    EXPECT_EQ(readFile(trash("old.txt")), "old");
    const auto entries = logged();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(entries[0].dryRun() && entries[1].dryRun());
    EXPECT_EQ(cliJson({"sessions"}), json::array());  // a rehearsal is no session to restore
}

TEST_F(CleanCommandsTest, UnknownCategoriesModesAndEmptyPathsAreUsageErrors) {
    writeFile(path("Junk/a.txt"), "alpha");
    const auto a = path("Junk/a.txt").native();
    const auto category = cli({"clean", "--yes", "--category", "caches", a});
    EXPECT_EQ(category.exitCode, 2);
    EXPECT_TRUE(contains(category.err, "\u201Ccaches\u201D is not a category")) << category.err;
    const auto mode = cli({"clean", "--yes", "--mode", "shred", a});
    EXPECT_EQ(mode.exitCode, 2);
    EXPECT_TRUE(contains(mode.err, "\u201Cshred\u201D is not a mode")) << mode.err;
    EXPECT_EQ(cli({"clean", "--yes", ""}).exitCode, 2);
    EXPECT_EQ(cli({"preview", "--category", "Cache", a}).exitCode, 2);
    EXPECT_EQ(cli({"clean", "--yes"}).exitCode, 2);
    EXPECT_TRUE(std::filesystem::exists(a));
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

TEST_F(CleanCommandsTest, AnItemThatCannotBeMovedGivesExitOneWithTheReasonAndWhatToDo) {
    VORNELO_REQUIRE_ROOT();
    // As an ordinary user, an item in a folder it may not write stays where it is.
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto userHome = directory / "home";
    writeFile(userHome / "Free/ok.txt", "ok");
    writeFile(userHome / "Locked/stuck.txt", "stuck");
    const auto account = test::unprivilegedAccount();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(userHome)) {
        ::lchown(entry.path().c_str(), account.uid, account.gid);
    }
    ::chown(userHome.c_str(), account.uid, account.gid);
    ::chmod((userHome / "Locked").c_str(), 0555);
    const auto stuck = (userHome / "Locked/stuck.txt").native();

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto text = test::runCli({"clean", "--yes", (userHome / "Free/ok.txt").native(), stuck}, userHome);
        if (text.exitCode != 1) return "exit code " + std::to_string(text.exitCode) + ": " + text.out + text.err;
        for (const std::string& expected : std::vector<std::string>{
                 "Moved 1 item to the Trash", "Could not remove 1 item:",
              "  " + stuck + ": Permission denied \u2014 macOS blocked access to this item.\n",
              "    Move this item to the Trash in Finder, which can request administrator approval.\n"}) {
            if (!contains(text.out, expected)) return "\"" + expected + "\" missing from: " + text.out;
        }
        const auto document = json::parse(test::runCli({"--json", "clean", "--yes", stuck}, userHome).out);
        const auto& failure = document["result"]["failures"][0];
        if (document["result"]["failed"] != 1 || failure["path"] != stuck || failure["needsAdministrator"] != false ||
            document["result"]["errors"][0] != stuck + ": Permission denied \u2014 macOS blocked access to this item.") {
            return "unexpected result: " + document.dump();
        }
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(userHome / "Locked/stuck.txt"), "stuck");
    EXPECT_EQ(readFile(userHome / ".Trash/ok.txt"), "ok");
    ::chmod((userHome / "Locked").c_str(), 0755);
}

// MARK: sessions and restore

class SessionCommandsTest : public CleanCommandsTest {
protected:
    // Two runs written straight into the CLI's log, an hour apart, the later one first.
    void writeTwoRuns() {
        OperationLog log(logPath(), true);
        log.append(Entry(noon + 1h, evening, "clean", "/home/u/e1", 5, OperationLog::Mode::trash,
                         OperationLog::Outcome::success, false, std::nullopt, "/home/u/.Trash/e1", 17));
        log.append(Entry(noon, morning, "uninstall", "/home/u/m1", 5, OperationLog::Mode::permanent,
                         OperationLog::Outcome::success, false));
        log.append(Entry(noon + 2s, morning, "uninstall", "/home/u/m2", 5, OperationLog::Mode::trash,
                         OperationLog::Outcome::failed, false, "No longer exists."));
        log.append(Entry(noon + 3s, morning, "uninstall", "/home/u/m3", 0, OperationLog::Mode::trash,
                         OperationLog::Outcome::skipped, false, "Protected path"));
    }
    // Cleans the paths and returns the run's session.
    std::string cleaned(const std::vector<std::string>& paths) {
        std::vector<std::string> arguments{"--json", "clean", "--yes"};
        arguments.insert(arguments.end(), paths.begin(), paths.end());
        const auto result = cli(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return json::parse(result.out)["sessionID"];
    }

    Uuid morning, evening;
};

TEST_F(SessionCommandsTest, SessionsAreListedLatestFirst) {
    const auto none = cli({"sessions"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out, "The operation log holds no cleanup sessions.\n");
    writeTwoRuns();

    const auto text = cli({"sessions"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, evening.uuidString() + "  2024-05-01T13:00:00Z  clean  1 item: 1 trashed, 0 removed for good, "
                                               "0 failed, 0 skipped\n" +
                            morning.uuidString() + "  2024-05-01T12:00:00Z  uninstall  3 items: 0 trashed, 1 removed "
                                                   "for good, 1 failed, 1 skipped\n");
    const auto latest = cli({"sessions", "-n", "1"});
    EXPECT_TRUE(contains(latest.out, evening.uuidString())) << latest.out;
    EXPECT_FALSE(contains(latest.out, morning.uuidString())) << latest.out;

    const auto document = cliJson({"sessions"});
    ASSERT_EQ(document.size(), 2u);
    EXPECT_EQ(document[0]["id"], evening.uuidString());
    EXPECT_EQ(document[1], (json{{"id", morning.uuidString()},
                                 {"date", "2024-05-01T12:00:00Z"},
                                 {"action", "uninstall"},
                                 {"itemCount", 3},
                                 {"trashed", 0},
                                 {"removed", 1},
                                 {"failed", 1},
                                 {"skipped", 1}}));
    EXPECT_EQ(cliJson({"sessions", "-n", "0"}), json::array());
    const auto noneAskedFor = cli({"sessions", "-n", "0"});
    EXPECT_EQ(noneAskedFor.exitCode, 0);
    EXPECT_EQ(noneAskedFor.out, "");  // not "no sessions": there are two
    EXPECT_EQ(cli({"sessions", "-n", "-3"}).exitCode, 2);
}

TEST_F(SessionCommandsTest, RestoreShowsAvailabilityThenPutsTheTrashedItemsBack) {
    writeFile(path("Junk/a.txt"), "alpha");
    writeFile(path("Junk/folder/b.txt"), "beta");
    writeFile(trash("old.txt"), "old");
    const auto session = cleaned({path("Junk/a.txt").native(), path("Junk/folder").native(), "/usr/bin"});
    const auto removedForGood = cleaned({"--category", "trash", trash("old.txt").native()});

    const auto rehearsal = cliJson({"restore", session, "--dry-run"});
    ASSERT_EQ(rehearsal["items"].size(), 3u) << rehearsal.dump(1);
    EXPECT_EQ(rehearsal["items"][0]["isAvailable"], true);
    EXPECT_EQ(rehearsal["items"][0]["entry"]["trashedPath"], trash("a.txt").native());
    EXPECT_EQ(rehearsal["items"][1]["isAvailable"], true);
    EXPECT_EQ(rehearsal["items"][2]["isAvailable"], false);
    EXPECT_EQ(rehearsal["items"][2]["unavailableReason"], "This item was not removed.");
    EXPECT_EQ(rehearsal["results"], json::array());
    EXPECT_EQ(rehearsal["dryRun"], true);
    const auto rehearsalText = cli({"restore", session, "--dry-run"});
    EXPECT_EQ(rehearsalText.exitCode, 0);
    EXPECT_TRUE(contains(rehearsalText.out, "2 of 3 items can be put back:")) << rehearsalText.out;
    EXPECT_TRUE(contains(rehearsalText.out, "Dry run: nothing was put back.")) << rehearsalText.out;
    EXPECT_FALSE(std::filesystem::exists(path("Junk/a.txt")));

    std::filesystem::remove_all(path("Junk"));
    const auto restored = cli({"restore", session});
    EXPECT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_TRUE(contains(restored.out, "Restored  " + path("Junk/a.txt").native() + "\n")) << restored.out;
    EXPECT_TRUE(contains(restored.out, "Restored  " + path("Junk/folder").native() + "\n")) << restored.out;
    EXPECT_EQ(readFile(path("Junk/a.txt")), "alpha");
    EXPECT_EQ(readFile(path("Junk/folder/b.txt")), "beta");

    // Once back, there is nothing left to do, and that is no failure.
    const auto again = cliJson({"restore", session});
    EXPECT_EQ(again["results"], json::array());
    EXPECT_EQ(again["items"][0]["unavailableReason"], "This item is no longer in the Trash.");
    const auto permanent = cli({"restore", removedForGood});
    EXPECT_EQ(permanent.exitCode, 0);
    EXPECT_TRUE(contains(permanent.out, "Permanently removed \u2014 cannot be restored.")) << permanent.out;
    EXPECT_TRUE(contains(permanent.out, "Nothing was put back.")) << permanent.out;
    EXPECT_EQ(cliJson({"sessions"}).size(), 2u);  // put-backs start no session of their own
}

TEST_F(SessionCommandsTest, WithTheLogOffACleanOffersNoRestore) {
    ASSERT_EQ(cli({"log", "disable"}).exitCode, 0);
    writeFile(path("Junk/a.txt"), "alpha");
    const auto result = cli({"clean", "--yes", path("Junk/a.txt").native()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Moved 1 item to the Trash")) << result.out;
    EXPECT_FALSE(contains(result.out, "vornelo-cli restore")) << result.out;
    EXPECT_TRUE(contains(result.out, "The operation log is off, so this run cannot be undone with restore")) << result.out;
    EXPECT_EQ(cliJson({"sessions"}), json::array());
}

TEST_F(SessionCommandsTest, UnknownOrMalformedSessionsAreUsageErrors) {
    writeTwoRuns();
    const auto malformed = cli({"restore", "not-a-session"});
    EXPECT_EQ(malformed.exitCode, 2);
    EXPECT_TRUE(contains(malformed.err, "\u201Cnot-a-session\u201D is not a session identifier")) << malformed.err;
    const Uuid unknown;
    const auto missing = cli({"restore", unknown.uuidString()});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(contains(missing.err, "no cleanup session " + unknown.uuidString())) << missing.err;
    // Identifiers are read without regard to case, as a user may copy them.
    auto lower = evening.uuidString();
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(cli({"restore", lower, "--dry-run"}).exitCode, 0);
    EXPECT_EQ(cli({"restore"}).exitCode, 2);
}

TEST_F(SessionCommandsTest, RestoreExitsOneWhenAnAttemptedItemCannotGoBack) {
    VORNELO_REQUIRE_ROOT();
    test::TempDirectory directory;
    ::chmod(directory.path().c_str(), 0755);
    const auto userHome = directory / "home";
    writeFile(userHome / "Junk/a.txt", "alpha");
    writeFile(userHome / "Shut/b.txt", "beta");
    const auto account = test::unprivilegedAccount();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(userHome)) {
        ::lchown(entry.path().c_str(), account.uid, account.gid);
    }
    ::chown(userHome.c_str(), account.uid, account.gid);

    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        const auto cleanedRun = test::runCli(
            {"--json", "clean", "--yes", (userHome / "Shut/b.txt").native(), (userHome / "Junk/a.txt").native()}, userHome);
        if (cleanedRun.exitCode != 0) return "clean failed: " + cleanedRun.out + cleanedRun.err;
        const std::string session = json::parse(cleanedRun.out)["sessionID"];
        // Free, so offered; but the folder no longer lets this user put anything in it.
        ::chmod((userHome / "Shut").c_str(), 0555);
        const auto text = test::runCli({"restore", session}, userHome);
        if (text.exitCode != 1) return "exit code " + std::to_string(text.exitCode) + ": " + text.out + text.err;
        if (!contains(text.out, "2 of 2 items can be put back:")) return "not both offered: " + text.out;
        if (!contains(text.out, "Not restored  " + (userHome / "Shut/b.txt").native() + ": ")) return "no refusal: " + text.out;
        if (!contains(text.out, "Restored  " + (userHome / "Junk/a.txt").native() + "\n")) return "not restored: " + text.out;
        return {};
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
    EXPECT_EQ(readFile(userHome / ".Trash/b.txt"), "beta");
    EXPECT_EQ(readFile(userHome / "Junk/a.txt"), "alpha");
    ::chmod((userHome / "Shut").c_str(), 0755);
}

// MARK: On a terminal

TEST_F(CleanCommandsTest, OnATerminalCleanAsksFirst) {
    writeFile(path("Junk/a.txt"), "alpha");
    {
        TerminalRun declined({"clean", path("Junk/a.txt").native()}, home.home());
        if (!declined.started()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
        ASSERT_TRUE(declined.waitFor("Move 1 item to the Trash (")) << declined.output();
        ASSERT_TRUE(declined.waitFor("? [y/N] ")) << declined.output();
        declined.type("\n");
        EXPECT_EQ(declined.finish(), 0);
        EXPECT_TRUE(contains(declined.output(), "Nothing was changed.")) << declined.output();
        EXPECT_TRUE(std::filesystem::exists(path("Junk/a.txt")));
    }
    TerminalRun accepted({"clean", path("Junk/a.txt").native()}, home.home());
    ASSERT_TRUE(accepted.waitFor("[y/N] ")) << accepted.output();
    accepted.type("yes\n");
    EXPECT_EQ(accepted.finish(), 0);
    EXPECT_TRUE(contains(accepted.output(), "Moved 1 item to the Trash")) << accepted.output();
    EXPECT_EQ(readFile(trash("a.txt")), "alpha");
}

TEST_F(CleanCommandsTest, CtrlCStopsACleanBeforeItsNextItem) {
    std::vector<std::string> arguments{"clean"};
    for (int i = 0; i < 5; ++i) {
        writeFile(path("Junk/file-" + std::to_string(i)), "data");
        arguments.push_back(path("Junk/file-" + std::to_string(i)).native());
    }
    if (!std::ifstream("/proc/self/syscall")) GTEST_SKIP() << "/proc/PID/syscall, which shows where the run waits, is missing";
    TerminalRun run(arguments, home.home());
    if (!run.started()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
    ASSERT_TRUE(run.waitFor("[y/N] ")) << run.output();
    // ^S holds the terminal's output, so the run stops in its first progress line, before its
    // first item; Ctrl-C arrives there, and ^Q lets it go on.
    run.type("\x13y\n");
    ASSERT_TRUE(eventually([&] { return run.isBlockedWritingOutput(); })) << run.output();
    ASSERT_TRUE(run.catchesInterrupt());
    ::kill(run.pid(), SIGINT);
    ASSERT_TRUE(eventually([&] { return !run.catchesInterrupt(); }));  // taken: a second Ctrl-C would end it
    run.type("\x11");
    EXPECT_EQ(run.finish(), 1) << run.output();
    EXPECT_TRUE(contains(run.output(), "Moved 1 item to the Trash")) << run.output();
    EXPECT_TRUE(contains(run.output(), "Cancelled: 4 items were left as before.")) << run.output();
    EXPECT_EQ(readFile(trash("file-0")), "data");
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(std::filesystem::exists(path("Junk/file-" + std::to_string(i)))) << i;
    const auto entries = logged();
    ASSERT_EQ(entries.size(), 1u);  // items not reached are not logged either
    EXPECT_EQ(entries[0].path(), path("Junk/file-0").native());
}

}  // namespace
}  // namespace vornelo
