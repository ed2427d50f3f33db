#include "Core/SafeFileDeleter.h"

#include "Support/ChildProcess.h"
#include "Support/DeleterHarness.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace vornelo {
namespace {

namespace fs = std::filesystem;

using Kind = SafeFileDeleter::PutBackError::Kind;
using Mode = SafeFileDeleter::Mode;
using Plan = SafeFileDeleter::Plan;
using test::DeleterHarness;
using test::readFile;
using test::writeFile;

struct Trashed {
    fs::path original;
    fs::path trashed;
    std::optional<std::uint64_t> fileNumber;
};

// Trashes the item through the engine and returns what the log recorded for it.
Trashed trashThroughEngine(DeleterHarness& harness, const fs::path& original) {
    const SafeFileDeleter::Item item(original, 0, SafeFileDeleter::Category::cache, false);
    const auto result =
        harness.deleter().execute(Plan({item}, {}, {}), Mode::trash, false, "clean", Uuid(), {}, [] { return false; });
    EXPECT_EQ(result.succeeded, 1) << (result.errors.empty() ? "" : result.errors[0]);
    const auto entry = harness.entries().back();
    return {original, entry.trashedPath().value_or(""), entry.trashedFileNumber()};
}

std::optional<Kind> problemOf(const DeleterHarness& harness, const Trashed& item) {
    const auto problem = harness.deleter().putBackProblem(item.trashed, item.original, item.fileNumber);
    if (!problem) return std::nullopt;
    return problem->kind();
}

TEST(PutBack, RecreatesTheFolderChainMovesTheItemBackAndLogsIt) {
    DeleterHarness harness;
    const auto original = harness.home() / "Projects" / "deep" / "er" / "notes.txt";
    writeFile(original, "notes");
    const auto item = trashThroughEngine(harness, original);
    ASSERT_EQ(item.trashed, harness.trash() / "notes.txt");
    fs::remove_all(harness.home() / "Projects");

    EXPECT_TRUE(harness.deleter().canPutBack(item.trashed, item.original, item.fileNumber));
    const Uuid session;
    const mode_t previousMask = ::umask(027);
    harness.deleter().putBack(item.trashed, item.original, item.fileNumber, session);
    ::umask(previousMask);
    EXPECT_EQ(readFile(original), "notes");
    // Folders made on the way get what the umask leaves, as any folder the user makes.
    for (const auto& made : {harness.home() / "Projects", original.parent_path()}) {
        EXPECT_EQ(fs::status(made).permissions(), fs::perms(0750)) << made;
    }
    EXPECT_FALSE(fs::exists(item.trashed));

    const auto entries = harness.entries();
    ASSERT_EQ(entries.size(), 2u);
    const auto& entry = entries[1];
    EXPECT_EQ(std::tuple(entry.action(), entry.path(), entry.sessionID(), entry.sizeBytes(), entry.mode(), entry.outcome(),
                         entry.dryRun(), entry.detail(), entry.trashedPath(), entry.trashedFileNumber()),
              std::tuple("putBack", original.native(), std::optional(session), 0, OperationLog::Mode::trash,
                         OperationLog::Outcome::success, false, std::nullopt, std::nullopt, std::nullopt));
}

TEST(PutBack, AProtectedOriginalIsReportedBeforeAnythingAboutTheTrash) {
    DeleterHarness harness;
    const auto original = harness.home() / "Projects" / "keep.txt";
    harness.exclude(harness.home() / "Projects");
    // Nothing is in the Trash, and the trashed path is not even in one.
    EXPECT_EQ(problemOf(harness, {original, harness.trash() / "keep.txt", 42}), Kind::protectedLocation);
    EXPECT_EQ(problemOf(harness, {original, harness.home() / "keep.txt", std::nullopt}), Kind::protectedLocation);
    EXPECT_EQ(problemOf(harness, {harness.home() / "Documents", harness.trash() / "Documents", std::nullopt}),
              Kind::protectedLocation);
}

TEST(PutBack, OnlyTheVeryItemStillInATrashCanGoBack) {
    DeleterHarness harness;
    // A file that exists, but outside any Trash.
    writeFile(harness.home() / "Trash" / "a.txt");
    EXPECT_EQ(problemOf(harness, {harness.home() / "a.txt", harness.home() / "Trash" / "a.txt", std::nullopt}),
              Kind::noLongerInTrash);
    EXPECT_EQ(problemOf(harness, {harness.home() / "t", harness.trash(), std::nullopt}), Kind::noLongerInTrash);

    // The Trash was emptied.
    writeFile(harness.home() / "emptied.txt");
    const auto emptied = trashThroughEngine(harness, harness.home() / "emptied.txt");
    fs::remove(emptied.trashed);
    EXPECT_EQ(problemOf(harness, emptied), Kind::noLongerInTrash);
    EXPECT_FALSE(harness.deleter().canPutBack(emptied.trashed, emptied.original, emptied.fileNumber));

    // A folder in the Trash that is a link leading out of it.
    writeFile(harness.home() / "Documents" / "report.txt");
    fs::create_directories(harness.trash());
    fs::create_symlink(harness.home() / "Documents", harness.trash() / "escape");
    EXPECT_EQ(problemOf(harness, {harness.home() / "Projects" / "report.txt", harness.trash() / "escape" / "report.txt",
                                  std::nullopt}),
              Kind::noLongerInTrash);
}

TEST(PutBack, AnotherFileUnderTheTrashedNameIsCaughtByItsFileNumber) {
    DeleterHarness harness;
    const auto original = harness.home() / "report.txt";
    writeFile(original, "the trashed one");
    const auto item = trashThroughEngine(harness, original);
    ASSERT_TRUE(item.fileNumber);
    // Made before the first is gone, so it cannot be given the same inode.
    const auto impostor = harness.trash() / "impostor";
    writeFile(impostor, "another one");
    fs::rename(impostor, item.trashed);
    ASSERT_NE(test::inodeOf(item.trashed), *item.fileNumber);

    EXPECT_EQ(problemOf(harness, item), Kind::noLongerInTrash);
    EXPECT_THROW(harness.deleter().putBack(item.trashed, original, item.fileNumber, std::nullopt),
                 SafeFileDeleter::PutBackError);
    // Without a recorded number nothing can tell them apart.
    harness.deleter().putBack(item.trashed, original, std::nullopt, std::nullopt);
    EXPECT_EQ(readFile(original), "another one");
}

TEST(PutBack, AnythingAtTheOriginalPlaceBlocksItAndAFailureThrowsAndLogsNothing) {
    DeleterHarness harness;
    const auto original = harness.home() / "place";
    writeFile(original, "first");
    const auto item = trashThroughEngine(harness, original);
    std::filesystem::create_directories(original);
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    fs::remove(original);
    fs::create_symlink(harness.home() / "nowhere", original);
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    fs::remove(original);
    writeFile(original, "newcomer");
    EXPECT_EQ(problemOf(harness, item), Kind::originalLocationOccupied);
    try {
        harness.deleter().putBack(item.trashed, original, item.fileNumber, Uuid());
        ADD_FAILURE() << "put back over an existing file";
    } catch (const SafeFileDeleter::PutBackError& error) {
        EXPECT_EQ(error.kind(), Kind::originalLocationOccupied);
        EXPECT_EQ(error.description(), "Something else now exists at the original location.");
    }
    // A parent that cannot be made: a file stands where the folder should be.
    const auto underAFile = original / "inner.txt";
    try {
        harness.deleter().putBack(item.trashed, underAFile, item.fileNumber, Uuid());
        ADD_FAILURE() << "put back below a file";
    } catch (const SafeFileDeleter::FileOperationError& error) {
        EXPECT_FALSE(error.description().empty());
    }
    EXPECT_EQ(readFile(item.trashed), "first");
    EXPECT_EQ(readFile(original), "newcomer");
    EXPECT_EQ(harness.entries().size(), 1u);  // only the original removal
}

// The item in the Trash is judged by itself, not by what it points to, so a trashed link whose
// target has gone can still be put back.
TEST(PutBack, ATrashedDanglingLinkCanGoBack) {
    DeleterHarness harness;
    const auto link = harness.home() / "shortcut";
    fs::create_symlink(harness.home() / "gone", link);
    const auto item = trashThroughEngine(harness, link);
    ASSERT_TRUE(fs::is_symlink(item.trashed));
    EXPECT_EQ(item.fileNumber, test::inodeOf(item.trashed));

    harness.deleter().putBack(item.trashed, link, item.fileNumber, std::nullopt);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), harness.home() / "gone");
}

// Root puts back an item cleaned from a folder a user owns, after the user replaced a folder on the
// way with a link: it is followed only when root owns the link.
TEST(PutBack, ALinkOnTheWayIsFollowedOnlyWhenRootOrTheUserOwnsIt) {
    VORNELO_REQUIRE_ROOT();
    DeleterHarness harness;
    test::TempDirectory shared;
    ::chmod(shared.path().c_str(), 0755);
    const auto account = test::unprivilegedAccount();
    const auto bob = shared / "srv" / "bob";
    const auto rootOnly = shared / "root-only";
    fs::create_directories(rootOnly);
    for (const auto& [owner, followed] : std::vector<std::pair<uid_t, bool>>{{account.uid, false}, {0, true}}) {
        fs::remove_all(bob);
        writeFile(bob / "cache" / "evil", "bob's");
        ASSERT_EQ(::chown(bob.c_str(), account.uid, account.gid), 0);
        const auto item = trashThroughEngine(harness, bob / "cache" / "evil");
        fs::remove_all(bob / "cache");
        fs::create_symlink(rootOnly, bob / "cache");
        ASSERT_EQ(::lchown((bob / "cache").c_str(), owner, owner == 0 ? 0 : account.gid), 0);
        try {
            harness.deleter().putBack(item.trashed, item.original, item.fileNumber, std::nullopt);
            EXPECT_TRUE(followed) << "followed a link of uid " << owner;
        } catch (const SafeFileDeleter::FileOperationError& error) {
            EXPECT_FALSE(followed) << error.description();
            EXPECT_NE(error.description().find((bob / "cache").native()), std::string::npos) << error.description();
        }
        EXPECT_EQ(fs::exists(rootOnly / "evil"), followed) << "link of uid " << owner;
        EXPECT_EQ(fs::exists(item.trashed), !followed) << "link of uid " << owner;
    }
}

}  // namespace
}  // namespace vornelo
