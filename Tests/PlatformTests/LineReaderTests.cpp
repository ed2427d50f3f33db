#include "Platform/LineReader.h"

#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornelo::platform {
namespace {

using test::TempDirectory;
using test::writeFile;

struct Read {
    std::vector<std::string> lines;  // "<oversized>" for an oversized line
    bool paddingHeld = true;
};

Read readAll(const std::filesystem::path& path, std::size_t maxLineBytes = LineReader::defaultMaxLineBytes) {
    Read read;
    LineReader reader(path, maxLineBytes);
    while (const auto line = reader.next()) {
        if (line->oversized) {
            read.lines.emplace_back("<oversized>");
            continue;
        }
        read.lines.emplace_back(line->bytes);
        if (line->readableBytes < line->bytes.size() + LineReader::padding) read.paddingHeld = false;
    }
    return read;
}

TEST(LineReaderTests, SplitsAtLineFeedsSkippingEmptyPiecesAndKeepingAnUnterminatedEnd) {
    TempDirectory folder;
    writeFile(folder / "f", "\nfirst\n\n\nsecond\nlast without feed");
    const auto read = readAll(folder / "f");
    EXPECT_EQ(read.lines, (std::vector<std::string>{"first", "second", "last without feed"}));
    EXPECT_TRUE(read.paddingHeld);
}

TEST(LineReaderTests, MissingAndEmptyFilesHaveNoLines) {
    TempDirectory folder;
    writeFile(folder / "empty", "");
    EXPECT_TRUE(readAll(folder / "missing").lines.empty());
    EXPECT_FALSE(LineReader(folder / "missing").opened());
    EXPECT_TRUE(readAll(folder / "empty").lines.empty());
}

TEST(LineReaderTests, LinesAcrossChunkBoundariesComeOutWhole) {
    TempDirectory folder;
    std::string contents;
    std::vector<std::string> expected;
    // Lengths chosen so that line feeds fall on, before and after the 1 MiB chunk edges.
    for (int i = 0; contents.size() < 3 * 1024 * 1024 + 100; ++i) {
        expected.push_back(std::string(static_cast<std::size_t>(1000 + (i * 7919) % 70000), static_cast<char>('a' + i % 26)));
        contents += expected.back() + "\n";
    }
    writeFile(folder / "f", contents);
    const auto read = readAll(folder / "f");
    EXPECT_EQ(read.lines, expected);
    EXPECT_TRUE(read.paddingHeld);
}

TEST(LineReaderTests, OversizedLinesAreReportedWithoutTheirBytesAndReadingGoesOn) {
    TempDirectory folder;
    const std::string huge(3 * 1024 * 1024, 'x');
    writeFile(folder / "f", "short\n" + std::string(40, 'y') + "\n" + huge + "\nafter\n" + huge);
    const auto read = readAll(folder / "f", 32);
    EXPECT_EQ(read.lines, (std::vector<std::string>{"short", "<oversized>", "<oversized>", "after", "<oversized>"}));
}

TEST(LineReaderTests, ALineOfExactlyTheLimitIsKept) {
    TempDirectory folder;
    writeFile(folder / "f", std::string(32, 'z') + "\n" + std::string(32, 'w'));
    EXPECT_EQ(readAll(folder / "f", 32).lines, (std::vector<std::string>{std::string(32, 'z'), std::string(32, 'w')}));
}

TEST(LineReaderTests, AnOpenFileIsReadOnlyUpToTheLengthTakenBeforehand) {
    TempDirectory folder;
    writeFile(folder / "f", "one\ntwo\n");
    auto file = RegularFile::openForReading(folder / "f");
    ASSERT_TRUE(file);
    const auto length = file->sizeWhenOpened();
    ASSERT_TRUE(RegularFile::openForAppending(folder / "f")->append("three\n"));
    std::filesystem::remove(folder / "f");  // an open file outlives its name
    LineReader reader(std::move(*file), length);
    std::vector<std::string> lines;
    while (const auto line = reader.next()) lines.emplace_back(line->bytes);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace vornelo::platform
