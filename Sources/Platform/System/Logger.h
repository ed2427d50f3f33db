#pragma once
// Diagnostic logging in the unified-log style: a subsystem, a category, a level, and a format
// whose arguments are marked public or private. Private arguments are written as "<private>".
//
// Format specifiers: "%{public}s", "%{private}s", "%{public}d" and the plain forms "%s", "%d",
// "%u", "%ld", "%lld", "%llu", "%f", "%@"; "%%" is a percent sign. Plain string arguments are
// private and plain numbers public, as the unified log treats them.
//
// Thread safety: every member may be called from any thread. The sink is process-wide.

#include <fmt/format.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornelo::platform {

enum class LogLevel { debug, info, defaultLevel, error, fault };

[[nodiscard]] std::string_view logLevelName(LogLevel level);

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::defaultLevel;
    std::string message;  // already rendered, private arguments redacted
};

using LogSink = std::function<void(const LogRecord&)>;

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <typename... Args>
    void debug(std::string_view format, const Args&... args) const { emit(LogLevel::debug, format, args...); }
    template <typename... Args>
    void info(std::string_view format, const Args&... args) const { emit(LogLevel::info, format, args...); }
    // The unified log's "default" level.
    template <typename... Args>
    void notice(std::string_view format, const Args&... args) const { emit(LogLevel::defaultLevel, format, args...); }
    template <typename... Args>
    void error(std::string_view format, const Args&... args) const { emit(LogLevel::error, format, args...); }
    template <typename... Args>
    void fault(std::string_view format, const Args&... args) const { emit(LogLevel::fault, format, args...); }

    template <typename... Args>
    void log(LogLevel level, std::string_view format, const Args&... args) const { emit(level, format, args...); }

    // Replaces the process-wide sink; an empty function restores the syslog sink.
    static void setSink(LogSink sink);

    // Renders a format with its arguments already turned into text.
    [[nodiscard]] static std::string render(std::string_view format, std::span<const std::string> arguments);

private:
    template <typename... Args>
    void emit(LogLevel level, std::string_view format, const Args&... args) const {
        std::vector<std::string> texts;
        texts.reserve(sizeof...(Args));
        (texts.push_back(fmt::format("{}", args)), ...);
        write(level, render(format, texts));
    }

    void write(LogLevel level, std::string message) const;

    std::string subsystem_;
    std::string category_;
};

}  // namespace vornelo::platform
