#pragma once
// Reads the lines of a regular file front to back in large chunks, in bounded memory.
//
// A line is the bytes between two line feeds; empty pieces (blank lines, the final line feed)
// are not lines, and an unterminated last line is one. Every line handed out is followed by at
// least `padding` readable bytes, so a parser that over-reads (JsonObjectReader) can work in place.
// A line longer than maxLineBytes is reported as oversized, without its bytes.
//
// Opening follows RegularFile's rules. A read error ends the lines early; failed() tells.
// Thread safety: an object is for one thread at a time.

#include "Platform/Files/FileError.h"
#include "Platform/Files/RegularFile.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace vornelo::platform {

class LineReader {
public:
    static constexpr std::size_t padding = 64;
    static constexpr std::size_t defaultMaxLineBytes = 16 * 1024 * 1024;

    struct Line {
        std::string_view bytes;      // empty when oversized
        std::size_t readableBytes;   // from bytes.data() on, at least bytes.size() + padding
        bool oversized;
    };

    // A missing or unreadable file gives no lines.
    explicit LineReader(const std::filesystem::path& path, std::size_t maxLineBytes = defaultMaxLineBytes);
    // The lines of the first `length` bytes of a file already open: what the file held when its
    // length was taken, however it grows meanwhile.
    LineReader(RegularFile file, std::int64_t length, std::size_t maxLineBytes = defaultMaxLineBytes);

    // Whether the file could be opened.
    [[nodiscard]] bool opened() const { return file_.has_value(); }
    // Whether a read failed after opening.
    [[nodiscard]] bool failed() const { return failed_; }

    // The next line, valid until the following call; nothing at the end.
    [[nodiscard]] std::optional<Line> next();

private:
    bool fill();
    Line lineAt(std::size_t begin, std::size_t end) const {
        return Line{std::string_view(buffer_.data() + begin, end - begin), buffer_.size() - begin, false};
    }

    std::optional<RegularFile> file_;
    std::size_t maxLineBytes_;
    std::vector<char> buffer_;   // data in [begin_, end_), then padding
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::int64_t offset_ = 0;    // file offset of the next read
    std::int64_t length_ = -1;   // bytes to read in all; -1 for the whole file
    bool endOfFile_ = false;
    bool failed_ = false;
};

}  // namespace vornelo::platform
