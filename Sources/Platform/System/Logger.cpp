#include "Platform/System/Logger.h"

#include <syslog.h>

#include <mutex>

namespace vornelo::platform {

namespace {

int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return LOG_DEBUG;
        case LogLevel::info: return LOG_INFO;
        case LogLevel::defaultLevel: return LOG_NOTICE;
        case LogLevel::error: return LOG_ERR;
        case LogLevel::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void syslogSink(const LogRecord& record) {
    ::syslog(syslogPriority(record.level), "[%s:%s] %s", record.subsystem.c_str(), record.category.c_str(),
             record.message.c_str());
}

struct SinkSlot {
    std::mutex mutex;
    std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(syslogSink);
};

SinkSlot& sinkSlot() {
    static SinkSlot slot;
    return slot;
}

std::shared_ptr<const LogSink> currentSink() {
    auto& slot = sinkSlot();
    std::lock_guard lock(slot.mutex);
    return slot.sink;
}

bool isConversionLetter(char c) {
    return c == 's' || c == 'd' || c == 'i' || c == 'u' || c == 'f' || c == 'g' || c == 'x' || c == '@' ||
           c == 'c' || c == 'p';
}

}  // namespace

std::string_view logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return "debug";
        case LogLevel::info: return "info";
        case LogLevel::defaultLevel: return "default";
        case LogLevel::error: return "error";
        case LogLevel::fault: return "fault";
    }
    return "default";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::setSink(LogSink sink) {
    auto replacement = sink ? std::make_shared<const LogSink>(std::move(sink)) : std::make_shared<const LogSink>(syslogSink);
    auto& slot = sinkSlot();
    std::lock_guard lock(slot.mutex);
    slot.sink = std::move(replacement);
}

std::string Logger::render(std::string_view format, std::span<const std::string> arguments) {
    std::string out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out.push_back(format[i]);
            continue;
        }
        if (format[i + 1] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::string_view privacy;
        if (format[j] == '{') {
            const auto close = format.find('}', j);
            if (close == std::string_view::npos) {
                out.append(format.substr(i));
                break;
            }
            privacy = format.substr(j + 1, close - j - 1);
            j = close + 1;
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'z' ||
                                     (format[j] >= '0' && format[j] <= '9') || format[j] == '.')) {
            ++j;
        }
        if (j >= format.size() || !isConversionLetter(format[j])) {
            out.append(format.substr(i, j - i));
            i = j - 1;
            continue;
        }
        const char letter = format[j];
        const bool isText = letter == 's' || letter == '@';
        const bool isPrivate = privacy == "private" || (privacy != "public" && isText);
        if (isPrivate) {
            out.append("<private>");
        } else if (next < arguments.size()) {
            out.append(arguments[next]);
        }
        ++next;
        i = j;
    }
    return out;
}

void Logger::write(LogLevel level, std::string message) const {
    const auto sink = currentSink();
    (*sink)(LogRecord{subsystem_, category_, level, std::move(message)});
}

}  // namespace vornelo::platform
