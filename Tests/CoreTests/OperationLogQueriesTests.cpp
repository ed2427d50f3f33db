#include "Core/OperationLog.h"

#include "Support/TempDirectory.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vornelo {
namespace {

using Entry = OperationLog::Entry;
using Mode = OperationLog::Mode;
using Outcome = OperationLog::Outcome;
using ChainStatus = OperationLog::ChainStatus;
using ExportFormat = OperationLog::ExportFormat;
using test::readFile;
using test::TempDirectory;
using test::writeFile;
using namespace std::chrono_literals;

const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h};

Entry entryNumber(int number) {
    return Entry(noon + std::chrono::seconds(number), std::nullopt, "clean", "/Users/x/file-" + std::to_string(number),
                 10, Mode::trash, Outcome::success, false);
}

std::vector<std::string> linesOf(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream text(readFile(path));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

void writeLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    writeFile(path, text);
}

ChainStatus status(std::int64_t verified, std::int64_t unchained, std::optional<std::int64_t> broken, bool truncated) {
    ChainStatus result;
    result.verified = verified;
    result.unchained = unchained;
    result.firstBrokenLine = broken;
    result.truncated = truncated;
    return result;
}

class OperationLogQueriesTests : public ::testing::Test {
protected:
    void appendEntries(int count, int from = 1) {
        for (int i = from; i < from + count; ++i) log.append(entryNumber(i));
        log.flush();
    }

    TempDirectory folder;
    OperationLog log{folder / "operations.log", true};
};

TEST_F(OperationLogQueriesTests, AFreshLogOfThreeLinesIsIntact) {
    EXPECT_EQ(log.verifyChain(), status(0, 0, std::nullopt, false));  // no files at all
    appendEntries(3);
    const auto chain = log.verifyChain();
    EXPECT_EQ(chain, status(2, 1, std::nullopt, false));
    EXPECT_TRUE(chain.isIntact());
}

TEST_F(OperationLogQueriesTests, AnyChangedByteIsFoundAtTheLineThatNoLongerMatches) {
    appendEntries(3);
    const auto original = linesOf(log.fileURL());
    for (std::size_t line = 0; line < 2; ++line) {
        for (std::size_t at = 0; at < original[line].size(); ++at) {
            auto changed = original;
            changed[line][at] = static_cast<char>(changed[line][at] ^ 0x01);
            writeLines(log.fileURL(), changed);
            const auto chain = log.verifyChain();
            ASSERT_FALSE(chain.isIntact()) << "line " << line + 1 << " byte " << at;
            // Either the altered line no longer decodes, or the next line's link exposes it.
            ASSERT_TRUE(chain.firstBrokenLine == std::int64_t(line + 1) || chain.firstBrokenLine == std::int64_t(line + 2))
                << "line " << line + 1 << " byte " << at;
        }
    }
    // The last line is vouched for by the totals file.
    auto changed = original;
    changed[2].replace(changed[2].find("file-3"), 6, "file-9");
    writeLines(log.fileURL(), changed);
    EXPECT_EQ(log.verifyChain(), status(2, 1, std::nullopt, true));
}

TEST_F(OperationLogQueriesTests, AnAlteredPathBreaksTheNextLineAndInvalidJsonBreaksItsOwn) {
    appendEntries(3);
    auto lines = linesOf(log.fileURL());
    auto altered = lines;
    altered[1].replace(altered[1].find("file-2"), 6, "file-X");
    writeLines(log.fileURL(), altered);
    EXPECT_EQ(log.verifyChain(), status(1, 1, 3, false));
    altered = lines;
    altered[1].pop_back();
    writeLines(log.fileURL(), altered);
    EXPECT_EQ(log.verifyChain(), status(0, 1, 2, false));
}

TEST_F(OperationLogQueriesTests, ARemovedLastLineShowsAsTruncated) {
    appendEntries(3);
    auto lines = linesOf(log.fileURL());
    lines.pop_back();
    writeLines(log.fileURL(), lines);
    EXPECT_EQ(log.verifyChain(), status(1, 1, std::nullopt, true));
    writeFile(log.fileURL(), "");
    EXPECT_EQ(log.verifyChain(), status(0, 0, std::nullopt, true));
    std::filesystem::remove(log.totalsURL());  // now only the first line could tell
    EXPECT_EQ(log.verifyChain(), status(0, 0, std::nullopt, false));
}

TEST_F(OperationLogQueriesTests, TheFirstLineIsCheckedAgainstRotatedFileOne) {
    OperationLog rotating(folder / "rotating.log", true, false, 1);
    for (int i = 1; i <= 3; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    EXPECT_EQ(rotating.verifyChain(), status(1, 0, std::nullopt, false));

    const auto before = linesOf(rotating.rotatedURL(1));
    writeLines(rotating.rotatedURL(1), {before[0].substr(0, before[0].size() - 1) + " }"});
    EXPECT_EQ(rotating.verifyChain(), status(0, 0, 1, false));

    std::filesystem::remove(rotating.rotatedURL(1));
    EXPECT_EQ(rotating.verifyChain(), status(0, 1, std::nullopt, true));
    std::filesystem::remove(rotating.totalsURL());
    EXPECT_EQ(rotating.verifyChain(), status(0, 1, std::nullopt, true));  // the first line alone tells
}

TEST_F(OperationLogQueriesTests, VerificationChangesNeitherFilesNorTheChainThatFollows) {
    appendEntries(2);
    const auto before = readFile(log.fileURL());
    const auto totals = readFile(log.totalsURL());
    (void)log.verifyChain();
    EXPECT_EQ(readFile(log.fileURL()), before);
    EXPECT_EQ(readFile(log.totalsURL()), totals);
    appendEntries(1, 3);
    EXPECT_EQ(log.verifyChain(), status(2, 1, std::nullopt, false));
}

TEST_F(OperationLogQueriesTests, RecentReturnsTheNewestDecodableEntriesNewestFirst) {
    appendEntries(5);
    const auto two = log.recent(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].path(), "/Users/x/file-5");
    EXPECT_EQ(two[1].path(), "/Users/x/file-4");
    EXPECT_EQ(*two[0].prevHash(), OperationLog::hash(linesOf(log.fileURL())[3]));
    EXPECT_TRUE(log.recent(0).empty());
    EXPECT_TRUE(log.recent(-3).empty());
    EXPECT_EQ(log.recent(50).size(), 5u);
    std::ofstream(log.fileURL(), std::ios::app) << "not an entry\n";
    EXPECT_EQ(log.recent(2).size(), 1u);  // the bad line is left out, not replaced
}

TEST_F(OperationLogQueriesTests, ReadsOfAMissingLogAreEmpty) {
    EXPECT_TRUE(log.recent(5).empty());
    EXPECT_EQ(log.totals(), OperationLog::Totals());
    EXPECT_EQ(log.totalFreed(), 0);
    EXPECT_TRUE(log.retainedEntries().empty());
}

TEST_F(OperationLogQueriesTests, TotalFreedCountsPermanentRemovalsOnly) {
    log.append(Entry(noon, std::nullopt, "clean", "/a", 300, Mode::permanent, Outcome::success, false));
    log.append(Entry(noon, std::nullopt, "clean", "/b", 50, Mode::trash, Outcome::success, false));
    log.flush();
    EXPECT_EQ(log.totalFreed(), 300);
    EXPECT_EQ(log.totals().trashedBytes, 50);
}

TEST_F(OperationLogQueriesTests, JsonLinesExportReproducesTheStoredLinesOfEveryRetainedFile) {
    OperationLog rotating(folder / "rotating.log", true, false, 300);
    for (int i = 1; i <= 9; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    ASSERT_TRUE(std::filesystem::exists(rotating.rotatedURL(2)));
    std::string expected;
    for (int number = OperationLog::rotatedFilesKept; number >= 1; --number) {
        if (std::filesystem::exists(rotating.rotatedURL(number))) expected += readFile(rotating.rotatedURL(number));
    }
    expected += readFile(rotating.fileURL());
    EXPECT_EQ(rotating.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 9);
    EXPECT_EQ(readFile(folder / "out.jsonl"), expected);
}

TEST_F(OperationLogQueriesTests, CsvQuotesOnlyTheFieldsThatNeedIt) {
    const auto session = Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    log.append(Entry(noon, session, "clean", "/a,b", 5, Mode::trash, Outcome::failed, true, "said \"no\"", "/t\r\nx", 9));
    log.append(Entry(noon + 1s, std::nullopt, "trash", "/plain", -2, Mode::permanent, Outcome::success, false));
    log.flush();
    EXPECT_EQ(log.exportTo(folder / "out.csv", ExportFormat::csv), 2);
    EXPECT_EQ(readFile(folder / "out.csv"),
              "timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n"
              "2024-05-01T12:00:00Z,clean,failed,trash,true,5,\"/a,b\",\"/t\r\nx\",\"said \"\"no\"\"\","
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F\n"
              "2024-05-01T12:00:01Z,trash,success,permanent,false,-2,/plain,,,\n");
}

TEST_F(OperationLogQueriesTests, ExportingAnEmptyLogWritesOnlyTheHeaderOrNothing) {
    writeFile(folder / "out.jsonl", "old contents");
    EXPECT_EQ(log.exportTo(folder / "out.jsonl", ExportFormat::jsonl), 0);
    EXPECT_EQ(readFile(folder / "out.jsonl"), "");
    EXPECT_EQ(log.exportTo(folder / "out.csv", ExportFormat::csv), 0);
    EXPECT_EQ(readFile(folder / "out.csv"), "timestamp,action,outcome,mode,dryRun,sizeBytes,path,trashedPath,detail,sessionID\n");
}

TEST_F(OperationLogQueriesTests, AFailedExportThrowsAndLeavesNothingBehind) {
    appendEntries(1);
    try {
        log.exportTo(folder / "missing" / "out.csv", ExportFormat::csv);
        FAIL() << "no error";
    } catch (const OperationLog::ExportError& error) {
        EXPECT_NE(error.description().find("out.csv"), std::string::npos) << error.description();
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

TEST_F(OperationLogQueriesTests, ClearRemovesEveryFileAndTheNextLineStartsANewChain) {
    OperationLog rotating(folder / "rotating.log", true, false, 1);
    for (int i = 1; i <= 3; ++i) rotating.append(entryNumber(i));
    rotating.flush();
    EXPECT_TRUE(rotating.clear());
    for (const auto& item : std::filesystem::directory_iterator(folder.path())) {
        // The lock file stays: another process may be waiting on it.
        if (item.path() == rotating.lockURL()) continue;
        EXPECT_FALSE(item.path().filename().native().starts_with("rotating")) << item.path();
    }
    rotating.append(entryNumber(4));
    rotating.flush();
    const auto lines = linesOf(rotating.fileURL());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(OperationLog::decodeLine(lines[0])->prevHash());
    EXPECT_EQ(rotating.totals().operations, 1);
    EXPECT_TRUE(rotating.verifyChain().isIntact());
}

TEST_F(OperationLogQueriesTests, ClearKeepsAForcedLog) {
    test::TestHome home;
    OperationLog persisted(folder / "persisted.log", true, true, OperationLog::defaultMaxFileBytes);
    persisted.append(entryNumber(1));
    persisted.flush();
    home.writeManaged({{"ForceOperationLog", true}});
    EXPECT_FALSE(persisted.clear());
    EXPECT_EQ(linesOf(persisted.fileURL()).size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(persisted.totalsURL()));
    home.writeManaged({});
    EXPECT_TRUE(persisted.clear());
    EXPECT_FALSE(std::filesystem::exists(persisted.fileURL()));
}

}  // namespace
}  // namespace vornelo
