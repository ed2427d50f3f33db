#include "Platform/Authorization/AuthorizationSubject.h"

#include "Platform/Files/FileDescriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <string>

namespace vornelo::platform {

namespace {

std::optional<std::string> readStat(pid_t pid) {
    const auto path = "/proc/" + std::to_string(pid) + "/stat";
    FileDescriptor file(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!file) return std::nullopt;
    // One line, well under a page even with the longest command name.
    std::string text(4096, '\0');
    const auto got = retryOnInterrupt([&] { return ::read(file.get(), text.data(), text.size()); });
    if (got <= 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    return text;
}

}  // namespace

std::optional<std::uint64_t> AuthorizationSubject::startTimeOf(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    const auto text = readStat(pid);
    if (!text) return std::nullopt;
    // The command name may hold spaces and parentheses, so fields are counted from its last ")".
    auto position = text->rfind(')');
    if (position == std::string::npos) return std::nullopt;
    position += 2;  // field 3 (the state) starts here
    for (int field = 3; field < 22; ++field) {
        position = text->find(' ', position);
        if (position == std::string::npos) return std::nullopt;
        ++position;
    }
    std::uint64_t value = 0;
    const char* first = text->data() + position;
    const auto [end, error] = std::from_chars(first, text->data() + text->size(), value);
    if (error != std::errc{} || end == first) return std::nullopt;
    return value;
}

std::optional<AuthorizationSubject> AuthorizationSubject::currentProcess() {
    const pid_t pid = ::getpid();
    const auto start = startTimeOf(pid);
    if (!start) return std::nullopt;
    return AuthorizationSubject{pid, *start, ::geteuid()};
}

}  // namespace vornelo::platform
