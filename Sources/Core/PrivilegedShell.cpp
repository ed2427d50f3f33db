#include "Core/PrivilegedShell.h"

#include "Core/ManagedPolicy.h"
#include "Platform/Processes/ScriptHost.h"
#include "Platform/Encoding/Text.h"

#include <memory>
#include <optional>

namespace vornelo {

namespace {

// Unicode's White_Space set: the characters that trimming white space and line breaks removes.
bool isWhiteSpaceOrLineBreak(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

struct Decoded {
    char32_t scalar;
    std::size_t length;
};

// The scalar whose encoding starts at `at`; nothing for bytes that are not UTF-8.
std::optional<Decoded> decodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return Decoded{lead, 1};
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return std::nullopt;
    char32_t scalar = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        scalar = (scalar << 6) | (next & 0x3F);
    }
    return Decoded{scalar, length};
}

std::string trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto decoded = decodeAt(text, begin);
        if (!decoded || !isWhiteSpaceOrLineBreak(decoded->scalar)) break;
        begin += decoded->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const auto decoded = decodeAt(text, start);
        if (!decoded || start + decoded->length != end || !isWhiteSpaceOrLineBreak(decoded->scalar)) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string describe(PrivilegedShell::RunError::Kind kind, const std::string& message) {
    if (kind == PrivilegedShell::RunError::Kind::cancelled) return "Authentication was cancelled.";
    return message.empty() ? "The command could not complete." : message;
}

}  // namespace

PrivilegedShell::RunError::RunError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(describe(kind_, message_)) {}

PrivilegedShell::PrivilegedShell() : hostPath_(platform::ScriptHost::installedPath) {}

PrivilegedShell::PrivilegedShell(std::string hostPath) : hostPath_(std::move(hostPath)) {}

std::string PrivilegedShell::escaped(std::string_view command) {
    std::string text;
    text.reserve(command.size() + 8);
    // Backslashes first, so the ones added in front of quotes are not doubled again.
    for (const char c : command) {
        if (c == '\\') text.push_back('\\');
        text.push_back(c);
    }
    std::string result;
    result.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '"') result.push_back('\\');
        result.push_back(c);
    }
    return result;
}

std::string PrivilegedShell::scriptText(std::string_view command) {
    return std::string(platform::ScriptHost::scriptPrefix) + escaped(command) +
           std::string(platform::ScriptHost::scriptSuffix);
}

std::expected<std::string, PrivilegedShell::RunError> PrivilegedShell::result(const ProcessRunner::Output& output) {
    if (output.launchFailed) return std::unexpected(RunError::failed(std::string(launchFailurePrefix) + output.stderr));
    if (output.timedOut) return std::unexpected(RunError::cancelled());
    const auto out = trimmed(output.stdout);
    const auto err = trimmed(output.stderr);
    if (output.exitCode == 0) return out;
    if (err.find("-128") != std::string::npos) return std::unexpected(RunError::cancelled());
    if (platform::Text::lowercased(err).find("user canceled") != std::string::npos) {
        return std::unexpected(RunError::cancelled());
    }
    if (!err.empty()) return std::unexpected(RunError::failed(err));
    return std::unexpected(RunError::failed("Exit code " + std::to_string(output.exitCode)));
}

void PrivilegedShell::run(std::string command, std::stop_token stop,
                          std::function<void(std::expected<std::string, RunError>)> completion) const {
    if (ManagedPolicy::shared().disablePrivilegedTools()) {
        completion(std::unexpected(RunError::failed(std::string(disabledByPolicyMessage))));
        return;
    }
    ProcessRunner::run(hostPath_, {"-e", scriptText(command)}, timeoutSeconds, stop,
                       [stop, completion = std::move(completion)](ProcessRunner::Output output) {
                           // A command that finished before the stop arrived keeps its result.
                           if (stop.stop_requested() && !output.succeeded()) {
                               completion(std::unexpected(RunError::cancelled()));
                               return;
                           }
                           completion(result(output));
                       });
}

std::future<std::string> PrivilegedShell::run(std::string command, std::stop_token stop) const {
    auto promise = std::make_shared<std::promise<std::expected<std::string, RunError>>>();
    auto outcome = promise->get_future();
    run(std::move(command), std::move(stop),
        [promise](std::expected<std::string, RunError> value) { promise->set_value(std::move(value)); });
    // The error is thrown on the caller's thread, so no exception object is shared between
    // threads: its reference count lives in the uninstrumented C++ runtime, where the thread
    // sanitizer cannot see the ordering.
    return std::async(std::launch::deferred, [outcome = std::move(outcome)]() mutable {
        auto value = outcome.get();
        if (!value) throw std::move(value.error());
        return std::move(*value);
    });
}

}  // namespace vornelo
