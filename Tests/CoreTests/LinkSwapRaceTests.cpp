#include "Core/SafeFileDeleter.h"

#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

// A folder and a link leading elsewhere trade places as fast as another process can swap them,
// while the engine works on an item inside the folder. Whatever the timing, the engine acts on
// the item in the folder it judged or on nothing, and says which it did.

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Category = SafeFileDeleter::Category;
using Mode = SafeFileDeleter::Mode;

constexpr int attempts = 300;

// Exchanges two names in a loop in a forked child (as `account` when given) until destroyed.
class Swapper {
public:
    Swapper(const fs::path& first, const fs::path& second, std::optional<test::Account> account) : pid_(::fork()) {
        if (pid_ != 0) return;
        if (account && (::setgroups(0, nullptr) != 0 || ::setgid(account->gid) != 0 || ::setuid(account->uid) != 0)) {
            ::_exit(2);
        }
        for (;;) (void)::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
    }
    ~Swapper() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Swapper(const Swapper&) = delete;
    Swapper& operator=(const Swapper&) = delete;

private:
    pid_t pid_;
};

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Race {
    const char* name;
    Mode mode;
    const char* folder;  // below the owner's home; the item is "victim" inside it
    bool otherUser;      // the folder belongs to another user, who swaps; the engine runs as root
};

class LinkSwapRace : public ::testing::TestWithParam<Race> {};

TEST_P(LinkSwapRace, ActsOnTheJudgedFolderOrNotAtAll) {
    const Race race = GetParam();
    if (race.otherUser) VORNELO_REQUIRE_ROOT();
    test::DeleterHarness harness;
    test::TempDirectory shared;
    ::chmod(shared.path().c_str(), 0755);
    const auto account = race.otherUser ? std::optional(test::unprivilegedAccount()) : std::nullopt;
    // Another user's home, or this user's own; the link leads to a folder only root can reach,
    // or to the user's protected ".ssh".
    const fs::path home = race.otherUser ? shared / "bob" : harness.home();
    const fs::path folder = home / race.folder;
    const fs::path outside = race.otherUser ? shared / "root-only" : harness.home() / ".ssh";
    fs::create_directories(folder);
    fs::create_directories(outside);
    std::ofstream(outside / "victim") << "outside";
    fs::create_symlink(outside, folder.parent_path() / "swap");
    if (account) {
        ::chmod(outside.c_str(), 0700);
        for (fs::path path = folder; path != shared.path(); path = path.parent_path()) {
            ASSERT_EQ(::lchown(path.c_str(), account->uid, account->gid), 0);
        }
        ASSERT_EQ(::lchown((folder.parent_path() / "swap").c_str(), account->uid, account->gid), 0);
    }
    const auto outsideInode = test::inodeOf(outside / "victim");
    const platform::FileDescriptor real(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(real);
    const auto insideExists = [&] {
        struct stat info {};
        return ::fstatat(real.get(), "victim", &info, AT_SYMLINK_NOFOLLOW) == 0;
    };

    const Category category = race.mode == Mode::permanent ? Category::trash : Category::cache;
    int linksSeen = 0;
    int foldersSeen = 0;
    int succeeded = 0;
    {
        const Swapper swapper(folder, folder.parent_path() / "swap", account);
        // On a busy machine the swapper may sleep through a whole run: go on until both states were met.
        const auto raced = [&] { return linksSeen > 0 && foldersSeen > 0 && succeeded > 0; };
        for (int attempt = 0; attempt < attempts || (!raced() && attempt < 20 * attempts); ++attempt) {
            if (!insideExists()) {
                const platform::FileDescriptor made(::openat(real.get(), "victim", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                ASSERT_TRUE(made);
                ASSERT_EQ(::write(made.get(), "inside", 6), 6);
            }
            (fs::is_symlink(folder) ? linksSeen : foldersSeen)++;
            const auto result = harness.run(SafeFileDeleter::Plan({{folder / "victim", 6, category, false}}, {}, {}), race.mode);
            succeeded += static_cast<int>(result.succeeded);
            // A success is the judged item gone; anything else left it where it was.
            ASSERT_EQ(result.succeeded == 1, !insideExists()) << "attempt " << attempt << ": " << ::testing::PrintToString(result.errors);
            ASSERT_EQ(test::inodeOf(outside / "victim"), outsideInode) << "attempt " << attempt;
        }
    }
    EXPECT_EQ(contentsOf(outside / "victim"), "outside");
    // The race really ran, and the engine still got through while it did.
    EXPECT_GT(linksSeen, 0);
    EXPECT_GT(foldersSeen, 0);
    EXPECT_GT(succeeded, 0);
    if (race.mode == Mode::trash) {
        for (const auto& entry : fs::directory_iterator(harness.trash())) EXPECT_EQ(contentsOf(entry.path()), "inside") << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Races, LinkSwapRace,
                         ::testing::Values(Race{"PermanentInOwnTrash", Mode::permanent, ".Trash/d", false},
                                           Race{"PermanentInAnotherUsersTrash", Mode::permanent, ".Trash/d", true},
                                           Race{"TrashFromOwnCaches", Mode::trash, "Library/Caches/sub", false},
                                           Race{"TrashFromAnotherUsersCaches", Mode::trash, "Library/Caches/sub", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vornelo
