#include "Core/CleanupSession.h"
#include "Core/OperationLog.h"
#include "Core/PathProtection.h"
#include "Core/SafeFileDeleter.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using Category = SafeFileDeleter::Category;

// Every file of a log folder by name, with its bytes.
std::map<std::string, std::string> contentsOf(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != "operations.lock") files[entry.path().filename()] = readFile(entry.path());
    }
    return files;
}

class OperationLogMigrationTest : public ::testing::Test {
protected:
    fs::path oldFolder() const { return home.home() / "Library/Logs/Vornelo"; }
    fs::path newFolder() const { return home.home() / ".local/state/vornelo"; }

    // What the earlier version left: two cleanup runs of three items trashed for real, rotated at 600 bytes.
    std::vector<std::string> writeEarlierLog() {
        OperationLog earlier(oldFolder() / "operations.log", true, false, 600);
        const SafeFileDeleter deleter(platform::FileManager::defaultManager(), protection, earlier);
        std::vector<std::string> paths;
        for (int item = 0; item < 6; ++item) {
            paths.push_back((home.home() / ("junk" + std::to_string(item / 3)) / std::to_string(item)).native());
            writeFile(paths.back(), "data");
            if (item % 3 != 2) continue;
            const std::vector<fs::path> urls(paths.end() - 3, paths.end());
            EXPECT_EQ(deleter.execute(deleter.preview(urls, Category::cache), SafeFileDeleter::Mode::trash, false, "clean",
                                      Uuid(), {}, [] { return false; }).succeeded, 3);
        }
        earlier.flush();
        return paths;
    }

    test::TestHome home;
    const PathProtection protection{home.home(), PathProtection::noStrings(), PathProtection::noStrings()};
};

TEST_F(OperationLogMigrationTest, TheEarlierLogMovesOnceWithEveryLineItsRotationsAndTotalsAndStillVerifiesAndRestores) {
    const auto paths = writeEarlierLog();
    const auto before = contentsOf(oldFolder());
    const auto operations = OperationLog(oldFolder() / "operations.log", false).totals().operations;
    ASSERT_TRUE(before.contains("operations.1.log") && before.contains("operations.totals.json")) << "rotated and totalled";
    writeFile(home.home() / "Library/Preferences/kept.plist", "not ours");

    OperationLog log(std::nullopt, true);
    EXPECT_EQ(log.fileURL(), newFolder() / "operations.log");
    EXPECT_FALSE(fs::exists(newFolder())) << "construction touches nothing";
    EXPECT_TRUE(log.verifyChain().isIntact());
    EXPECT_EQ(contentsOf(newFolder()), before);
    EXPECT_EQ(std::tuple(fs::exists(home.home() / "Library/Logs"), fs::exists(home.home() / "Library/Preferences/kept.plist"),
                         log.legacyLogLeftBehind()),
              std::tuple(false, true, std::nullopt)) << "the emptied folders of the earlier version go, not what is not ours";

    // The sessions are still there and restore from the Trash.
    const SafeFileDeleter deleter(platform::FileManager::defaultManager(), protection, log);
    std::int64_t restored = 0;
    for (const auto& session : log.cleanupSessions(10)) {
        for (const auto& result : CleanupRecovery::restore(CleanupRecovery::preview(session, deleter), deleter).get()) {
            restored += result.restored ? 1 : 0;
        }
    }
    EXPECT_EQ(restored, 6);
    for (const auto& path : paths) EXPECT_EQ(readFile(path), "data") << path;
    log.flush();
    EXPECT_TRUE(log.verifyChain().isIntact()) << "the put-backs chain onto the moved lines";
    EXPECT_EQ(log.totals().operations, operations + 6) << "the totals moved too, and count the six put-backs";
}

// A move cut short (the marker written, the oldest file moved) is finished by the next process,
// not taken for two logs (which are left alone: see the command line's tests).
TEST_F(OperationLogMigrationTest, AMoveCutShortIsFinished) {
    (void)writeEarlierLog();
    const auto before = contentsOf(oldFolder());
    writeFile(newFolder() / "operations.moving", oldFolder().native() + "\n");
    fs::rename(oldFolder() / "operations.1.log", newFolder() / "operations.1.log");
    OperationLog log(std::nullopt, true);
    EXPECT_EQ(log.legacyLogLeftBehind(), std::nullopt);
    EXPECT_EQ(contentsOf(newFolder()), before);
    EXPECT_TRUE(log.verifyChain().isIntact());
}

TEST_F(OperationLogMigrationTest, ProcessesStartingAtOnceMoveTheLogOnceAndLoseNoLine) {
    (void)writeEarlierLog();
    const auto before = OperationLog(oldFolder() / "operations.log", false).retainedEntries().size();
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    constexpr int processes = 6;
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(go[1]);
            char byte = 0;
            if (::read(go[0], &byte, 1) < 0) ::_exit(3);
            OperationLog log(std::nullopt, true);
            log.append(OperationLog::Entry(std::chrono::system_clock::now(), Uuid(), "clean", "/h/" + std::to_string(i), 1,
                                           OperationLog::Mode::trash, OperationLog::Outcome::success, false));
            const bool written = log.flush();
            ::_exit(written && !log.legacyLogLeftBehind() ? 0 : 1);
        }
        children.push_back(child);
    }
    ::close(go[0]);
    ::close(go[1]);  // every child's read returns at once
    for (const auto child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    OperationLog log(std::nullopt, true);
    EXPECT_EQ(std::tuple(log.retainedEntries().size(), log.verifyChain().isIntact(), log.cleanupSessions(100).size(),
                         fs::exists(oldFolder())),
              std::tuple(before + processes, true, 2u + processes, false));
}

}  // namespace
}  // namespace vornelo
