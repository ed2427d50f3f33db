#pragma once
// A scan's findings as a JSON document: what `scan --json` prints and `scan --save` writes, and
// what `clean --from-scan` reads back. docs/scan.md describes the format with an example.
//
// Paths are bytes on Linux; JSON holds text. A path that is not valid UTF-8 is written with its
// characters replaced (for people) and, exactly, as base64 beside it ("pathBase64"), which a
// reader prefers. Reading treats the document as hostile: bounded size and count, every field
// checked for its type and range, paths absolute and in their standard spelling.
//
// Thread safety: stateless; callable from any thread.

#include "Platform/Files/FileManager.h"
#include "Scan/ScanReport.h"

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::scan {

struct SavedScan {
    std::vector<std::string> roots;
    platform::TimePoint createdAt{};
    std::vector<Finding> findings;
};

struct ScanFile {
    static constexpr std::string_view formatName = "vornelo-scan";
    static constexpr int formatVersion = 1;
    static constexpr std::size_t maxBytes = 64 * 1024 * 1024;
    static constexpr std::size_t maxFindings = 1'000'000;

    // The document, handed to `sink` piece by piece (a finding per line), so that a scan with a
    // million findings never holds its whole text at once.
    static void write(const ScanReport& report, const std::function<void(std::string_view)>& sink);
    [[nodiscard]] static std::string text(const ScanReport& report);

    // Why the text is no scan document, as a clause ("finding 3 has no path"), or the scan.
    [[nodiscard]] static std::expected<SavedScan, std::string> parse(std::string_view text);

    // Reads a saved scan: a regular file (a link is not followed) of at most maxBytes that
    // belongs to the user and that nobody else may write, so that no one else can choose what
    // a cleanup takes. The error is one sentence naming the file.
    [[nodiscard]] static std::expected<SavedScan, std::string> read(const std::filesystem::path& file,
                                                                    const platform::FileManager& fileManager);
    // Writes the document atomically, readable by the user alone.
    [[nodiscard]] static std::expected<void, std::string> save(const ScanReport& report, const std::filesystem::path& file,
                                                               const platform::FileManager& fileManager);
};

}  // namespace vornelo::scan
