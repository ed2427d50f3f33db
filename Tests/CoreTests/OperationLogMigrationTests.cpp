#include "Core/CleanupSession.h"
#include "Core/OperationLog.h"
#include "Core/PathProtection.h"
#include "Core/SafeFileDeleter.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

    // What the earlier version left: two cleanup runs trashed for real, rotated at 600 bytes.
    std::vector<std::string> writeEarlierLog() {
        OperationLog earlier(oldFolder() / "operations.log", true, false, 600);
        const PathProtection protection(home.home(), PathProtection::noStrings(), PathProtection::noStrings());
        const SafeFileDeleter deleter(platform::FileManager::defaultManager(), protection, earlier);
        std::vector<std::string> paths;
        for (int run = 0; run < 2; ++run) {
            std::vector<fs::path> urls;
            for (int i = 0; i < 3; ++i) {
                const auto path = home.home() / ("junk" + std::to_string(run)) / ("file" + std::to_string(i));
                writeFile(path, "data");
                urls.push_back(path);
                paths.push_back(path.native());
            }
            const auto result = deleter.execute(deleter.preview(urls, Category::cache), SafeFileDeleter::Mode::trash, false,
                                                "clean", Uuid(), {}, [] { return false; });
            EXPECT_EQ(result.succeeded, 3);
        }
        earlier.flush();
        return paths;
    }

    test::TestHome home;
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
    const auto chain = log.verifyChain();
    EXPECT_TRUE(chain.isIntact()) << chain.verified;
    EXPECT_EQ(contentsOf(newFolder()), before);
    EXPECT_FALSE(fs::exists(oldFolder())) << "the emptied folders of the earlier version go";
    EXPECT_FALSE(fs::exists(home.home() / "Library/Logs"));
    EXPECT_TRUE(fs::exists(home.home() / "Library/Preferences/kept.plist")) << "what is not ours stays";
    EXPECT_EQ(log.legacyLogLeftBehind(), std::nullopt);

    // The sessions are still there and restore from the Trash.
    const PathProtection protection(home.home(), PathProtection::noStrings(), PathProtection::noStrings());
    const SafeFileDeleter deleter(platform::FileManager::defaultManager(), protection, log);
    const auto sessions = log.cleanupSessions(10);
    ASSERT_EQ(sessions.size(), 2u);
    std::int64_t restored = 0;
    for (const auto& session : sessions) {
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

TEST_F(OperationLogMigrationTest, WhenBothPlacesHoldALogNeitherIsTouchedAndTheEarlierFolderIsNamed) {
    {
        OperationLog later(std::nullopt, true);  // written before the earlier one appeared
        later.append(OperationLog::Entry(std::chrono::system_clock::now(), Uuid(), "clean", "/h/x", 1,
                                         OperationLog::Mode::trash, OperationLog::Outcome::success, false));
        ASSERT_TRUE(later.flush());
    }
    (void)writeEarlierLog();
    const auto oldBefore = contentsOf(oldFolder());
    const auto newBefore = contentsOf(newFolder());
    OperationLog log(std::nullopt, true);
    EXPECT_EQ(log.legacyLogLeftBehind(), oldFolder());
    EXPECT_EQ(std::tuple(contentsOf(oldFolder()), contentsOf(newFolder())), std::tuple(oldBefore, newBefore));
    log.append(OperationLog::Entry(std::chrono::system_clock::now(), Uuid(), "clean", "/h/y", 1, OperationLog::Mode::trash,
                                   OperationLog::Outcome::success, false));
    EXPECT_TRUE(log.flush());
    EXPECT_EQ(contentsOf(oldFolder()), oldBefore) << "the earlier log is left as it was";
    EXPECT_EQ(log.recent(5).size(), 2u);
}

TEST_F(OperationLogMigrationTest, AMoveCutShortIsFinishedByTheNextProcess) {
    (void)writeEarlierLog();
    const auto before = contentsOf(oldFolder());
    // As a crash leaves it: the marker written and the oldest file moved.
    fs::create_directories(newFolder());
    writeFile(newFolder() / "operations.moving", oldFolder().native() + "\n");
    fs::rename(oldFolder() / "operations.1.log", newFolder() / "operations.1.log");
    OperationLog log(std::nullopt, true);
    EXPECT_EQ(log.legacyLogLeftBehind(), std::nullopt);
    EXPECT_EQ(contentsOf(newFolder()), before);
    EXPECT_TRUE(log.verifyChain().isIntact());
}

TEST_F(OperationLogMigrationTest, ProcessesStartingAtOnceMoveTheLogOnceAndLoseNoLine) {
    (void)writeEarlierLog();
    const auto before = contentsOf(oldFolder());
    const auto lines = [](const std::map<std::string, std::string>& files) {
        std::size_t count = 0;
        for (const auto& [name, text] : files) {
            if (name.ends_with(".log")) count += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        }
        return count;
    };
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
    const auto after = contentsOf(newFolder());
    EXPECT_EQ(lines(after), lines(before) + processes);
    EXPECT_FALSE(fs::exists(oldFolder()));
    OperationLog log(std::nullopt, true);
    EXPECT_TRUE(log.verifyChain().isIntact());
    EXPECT_EQ(log.cleanupSessions(100).size(), 2u + processes);
}

}  // namespace
}  // namespace vornelo
