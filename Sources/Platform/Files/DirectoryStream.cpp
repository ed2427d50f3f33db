#include "Platform/Files/DirectoryStream.h"

#include "Platform/Files/FileDescriptor.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornelo::platform {

DirectoryStream::Step DirectoryStream::next(DirectoryStreamEntry& entry) {
    for (;;) {
        if (position_ >= filled_) {
            const auto got = retryOnInterrupt([&] { return ::getdents64(fd_, buffer_.data(), buffer_.size()); });
            if (got < 0) {
                error_ = errno;
                return Step::error;
            }
            if (got == 0) return Step::end;
            filled_ = static_cast<std::size_t>(got);
            position_ = 0;
        }
        // The kernel packs dirent64 records with 8-byte alignment inside the buffer; memcpy keeps
        // the header read free of alignment assumptions about the vector's storage.
        const char* record = buffer_.data() + position_;
        struct dirent64 header;
        std::memcpy(&header, record, offsetof(struct dirent64, d_name));
        if (header.d_reclen == 0) {  // a malformed record would loop forever
            error_ = EIO;
            return Step::error;
        }
        position_ += header.d_reclen;
        const char* name = record + offsetof(struct dirent64, d_name);
        const std::size_t length = ::strnlen(name, header.d_reclen - offsetof(struct dirent64, d_name));
        const std::string_view view(name, length);
        if (view == "." || view == "..") continue;
        entry = {view, header.d_type, header.d_ino};
        return Step::entry;
    }
}

void DirectoryStream::rewind() {
    ::lseek(fd_, 0, SEEK_SET);
    filled_ = 0;
    position_ = 0;
}

}  // namespace vornelo::platform
