#include "Platform/Files/LineReader.h"

#include <algorithm>
#include <cstring>

namespace vornelo::platform {

namespace {

constexpr std::size_t chunkBytes = 1024 * 1024;

}  // namespace

LineReader::LineReader(const std::filesystem::path& path, std::size_t maxLineBytes)
    : maxLineBytes_(std::max<std::size_t>(maxLineBytes, 1)) {
    auto file = RegularFile::openForReading(path);
    if (!file) {
        endOfFile_ = true;
        return;
    }
    file_.emplace(std::move(*file));
    buffer_.resize(std::min(chunkBytes, maxLineBytes_ + 1) + padding);
}

LineReader::LineReader(RegularFile file, std::int64_t length, std::size_t maxLineBytes)
    : file_(std::move(file)), maxLineBytes_(std::max<std::size_t>(maxLineBytes, 1)), length_(std::max<std::int64_t>(length, 0)) {
    buffer_.resize(std::min(chunkBytes, maxLineBytes_ + 1) + padding);
}

// Moves the unread bytes to the front, grows the buffer when a single line fills it, and reads
// more. False once nothing more can be read.
bool LineReader::fill() {
    if (endOfFile_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const std::size_t capacity = buffer_.size() - padding;
    if (end_ == capacity) buffer_.resize(std::min(capacity * 2, maxLineBytes_ + 1) + padding);
    std::size_t room = buffer_.size() - padding - end_;
    if (length_ >= 0) room = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(room), length_ - offset_));
    const std::span<char> space(buffer_.data() + end_, room);
    const auto got = file_->read(offset_, space);
    if (!got) {
        failed_ = true;
        endOfFile_ = true;
        return false;
    }
    if (*got == 0) {
        endOfFile_ = true;
        return false;
    }
    offset_ += static_cast<std::int64_t>(*got);
    end_ += *got;
    return true;
}

std::optional<LineReader::Line> LineReader::next() {
    std::size_t scanned = begin_;
    bool skipping = false;  // inside an oversized line, whose bytes are dropped as they come
    for (;;) {
        const void* found = end_ > scanned ? std::memchr(buffer_.data() + scanned, '\n', end_ - scanned) : nullptr;
        if (!found) {
            if (skipping || end_ - begin_ > maxLineBytes_) {
                skipping = true;
                begin_ = end_;
            }
            scanned = end_ - begin_;  // already searched; fill() moves these bytes to the front
            if (!fill()) break;
            continue;
        }
        const auto feed = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
        const std::size_t start = begin_;
        begin_ = feed + 1;
        scanned = begin_;
        if (skipping || feed - start > maxLineBytes_) return Line{{}, 0, true};
        if (feed > start) return lineAt(start, feed);
        // An empty piece is not a line.
    }
    if (skipping || end_ - begin_ > maxLineBytes_) {
        begin_ = end_;
        return Line{{}, 0, true};
    }
    if (end_ == begin_) return std::nullopt;
    const std::size_t start = begin_;
    begin_ = end_;
    return lineAt(start, end_);
}

}  // namespace vornelo::platform
