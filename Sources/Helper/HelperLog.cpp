#include "Helper/HelperLog.h"

#include "Platform/Files/FileDescriptor.h"
#include "Platform/Encoding/Iso8601.h"
#include "Platform/System/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>

namespace vornelo::helper {

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8Length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) { length = 2; minimum = 0x80; point = lead & 0x1Fu; }
    else if ((lead & 0xF0) == 0xE0) { length = 3; minimum = 0x800; point = lead & 0x0Fu; }
    else if ((lead & 0xF8) == 0xF0) { length = 4; minimum = 0x10000; point = lead & 0x07u; }
    else return 0;
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        point = (point << 6) | (next & 0x3Fu);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

void appendHex(std::string& out, unsigned char byte) {
    static constexpr std::array<char, 16> digits{'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

}  // namespace

HelperLog::HelperLog(std::filesystem::path file, Clock clock) : file_(std::move(file)), clock_(std::move(clock)) {}

std::string HelperLog::clientValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    while (!value.empty()) {
        const auto byte = static_cast<unsigned char>(value[0]);
        const std::size_t length = utf8Length(value);
        if (length == 0) {
            appendHex(out, byte);
            value.remove_prefix(1);
            continue;
        }
        const auto sequence = value.substr(0, length);
        value.remove_prefix(length);
        if (byte == '\\') out += "\\\\";
        else if (byte == '\n') out += "\\n";
        else if (byte == '\r') out += "\\r";
        else if (byte == '\t') out += "\\t";
        else if (byte < 0x20 || byte == 0x7F) appendHex(out, byte);
        // C1 controls (NEL among them) and U+2028/U+2029 end lines in some viewers.
        else if (byte == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0) {
            out += "\\u00";
            out += std::string_view("89")[static_cast<unsigned char>(sequence[1]) >> 4 & 1];
            out += "0123456789abcdef"[static_cast<unsigned char>(sequence[1]) & 15];
        }
        else if (sequence == "\u2028") out += "\\u2028";
        else if (sequence == "\u2029") out += "\\u2029";
        else out += sequence;
    }
    return out;
}

std::shared_ptr<const platform::FileDescriptor> HelperLog::openFile() const {
    std::shared_ptr<const platform::FileDescriptor> held;
    {
        const std::lock_guard lock(mutex_);
        held = held_;
    }
    struct stat info {};
    if (held && ::fstat(held->get(), &info) == 0 && info.st_nlink > 0) return held;
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    auto fresh = std::make_shared<const platform::FileDescriptor>(platform::retryOnInterrupt(
        [&] { return ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644); }));
    if (!*fresh) return nullptr;
    const std::lock_guard lock(mutex_);
    held_ = fresh;
    return fresh;
}

void HelperLog::note(std::string_view message) const {
    static const platform::Logger logger{std::string(subsystem), std::string(category)};
    logger.notice("%{public}s", message);

    std::string line = platform::Iso8601::format(clock_());
    line += ' ';
    line += message;
    line += '\n';
    // O_APPEND makes the one write land whole at the end even with other threads writing.
    const auto fd = openFile();
    if (!fd) return;
    [[maybe_unused]] const auto written = platform::retryOnInterrupt([&] { return ::write(fd->get(), line.data(), line.size()); });
}

}  // namespace vornelo::helper
