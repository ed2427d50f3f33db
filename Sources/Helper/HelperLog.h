#pragma once
// The helper's log: every notable event goes to the system log (subsystem
// "com.tessaldon.Vornelo.helper", category "helper", default level, public) and as one line,
// "<ISO 8601 UTC time> <message>\n", to the helper's own file.
//
// note() writes what it is given. Values that come from a client (paths, and error descriptions
// that quote them) must go through clientValue() first, so that no request can add a line of its
// own to the root-owned file.
//
// Thread safety: note() may be called from any thread; each call appends one whole line (one
// write on an append-mode descriptor). Failures are swallowed: the system log line is sent even
// when the file cannot be written.
//
// The file stays open between lines, since a request of hundreds of items logs one line each. It
// is opened again once the file held has been deleted; a log renamed away keeps its lines until
// the helper exits, which it does within a minute and a half of its last request.

#include "Platform/Files/FileDescriptor.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace vornelo::helper {

class HelperLog {
public:
    // The unit's LogsDirectory=vornelo: this platform's place for /Library/Logs/Vornelo/helper.log.
    static constexpr std::string_view defaultFile = "/var/log/vornelo/helper.log";
    static constexpr std::string_view subsystem = "com.tessaldon.Vornelo.helper";
    static constexpr std::string_view category = "helper";

    using Clock = std::function<std::chrono::system_clock::time_point()>;

    explicit HelperLog(std::filesystem::path file = std::filesystem::path(defaultFile),
                       Clock clock = [] { return std::chrono::system_clock::now(); });

    void note(std::string_view message) const;

    const std::filesystem::path& file() const { return file_; }

    // The value with every byte that could break or fake a line written as a visible escape:
    // control characters (C0, DEL, C1), the Unicode line and paragraph separators, bytes that are
    // not UTF-8, and the backslash itself (so an escape in the log always means one was made).
    [[nodiscard]] static std::string clientValue(std::string_view value);

private:
    // The file held open, opened (its folder made) again when there is none or it was deleted.
    [[nodiscard]] std::shared_ptr<const platform::FileDescriptor> openFile() const;

    std::filesystem::path file_;
    Clock clock_;
    mutable std::mutex mutex_;  // guards held_ only: files are opened and written outside it
    // Shared, so that a line being written keeps its descriptor open while another thread reopens.
    mutable std::shared_ptr<const platform::FileDescriptor> held_;
};

}  // namespace vornelo::helper
