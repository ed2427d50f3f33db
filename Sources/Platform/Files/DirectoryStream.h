#pragma once
// Reads the entries of an open directory with getdents64 into a caller-owned buffer: no allocation
// per entry and none per directory once the buffer exists. For Platform's own tree walks.
//
// Thread safety: one stream per thread; the descriptor is borrowed, never closed here.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vornelo::platform {

struct DirectoryStreamEntry {
    std::string_view name;   // never "." or ".."; points into the stream's buffer
    unsigned char type;      // DT_REG, DT_DIR, DT_LNK, ... or DT_UNKNOWN
    std::uint64_t fileNumber;
};

class DirectoryStream {
public:
    static constexpr std::size_t defaultBufferSize = 32 * 1024;

    DirectoryStream(int directoryFd, std::vector<char>& buffer) : fd_(directoryFd), buffer_(buffer) {
        if (buffer_.size() < 1024) buffer_.resize(defaultBufferSize);
    }

    enum class Step { entry, end, error };

    // The next entry; on Step::error the errno is in error().
    Step next(DirectoryStreamEntry& entry);
    int error() const { return error_; }
    // Starts again from the first entry (for passes that remove while they read).
    void rewind();

private:
    int fd_;
    std::vector<char>& buffer_;
    std::size_t filled_ = 0;
    std::size_t position_ = 0;
    int error_ = 0;
};

}  // namespace vornelo::platform
