#pragma once
// Entries and log text shared by the tests of the operation log and of what reads it.

#include "Core/OperationLog.h"
#include "Support/TempDirectory.h"

#include <sstream>

namespace vornelo::test {

// 2024-05-01T12:00:00Z
inline const platform::TimePoint noon{std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + std::chrono::hours(12)};

// A successful clean of "/Users/x/file-<number>", stamped <number> seconds after noon.
inline OperationLog::Entry entryNumber(int number, OperationLog::Mode mode = OperationLog::Mode::trash,
                                       std::int64_t size = 10) {
    return OperationLog::Entry(noon + std::chrono::seconds(number), std::nullopt, "clean",
                               "/Users/x/file-" + std::to_string(number), size, mode,
                               OperationLog::Outcome::success, false);
}

inline std::vector<std::string> linesOf(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream text(readFile(path));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

inline void writeLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    writeFile(path, text);
}

}  // namespace vornelo::test
