#pragma once
// Texts that size and browse share about measured space: numbers, shares and bars, and why an
// item is protected.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornelo::cli {

// A sentence without its final full stop, to go on after a colon and end the caller's sentence.
std::string clause(std::string_view sentence);
// NO_COLOR is set to something: the user wants no colours, whatever the terminal can do.
bool noColourWanted();
// "1,234,567".
std::string grouped(std::int64_t value);
// "1 file", "1,234 files".
std::string filesText(std::int64_t count);
// part of whole, as "42.5%"; "0.0%" when whole is 0.
std::string shareText(std::int64_t part, std::int64_t whole);
// `width` cells, filled in proportion to part of whole: "#####     ", or with eighths of a block
// when `blocks` (for a UTF-8 terminal).
std::string barText(std::int64_t part, std::int64_t whole, std::size_t width, bool blocks);
// The sentence saying why cleaning may never touch the path, by the rules the engine applies (a
// folder is also searched for security software, two levels deep); nothing when it may.
std::optional<std::string> protectionOf(const std::string& path, bool isFolder);

}  // namespace vornelo::cli
