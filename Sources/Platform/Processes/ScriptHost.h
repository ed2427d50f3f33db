#pragma once
// The scripting host that runs a shell command as root behind the system's password prompt
// (pkexec). It understands one statement only:
//
//     do shell script "<command as a string literal>" with administrator privileges
//
// where the literal escapes a backslash as \\ and a double quote as \" and nothing else. Its
// interface (arguments, output, exit codes) is described in docs/script-host.md.
//
// Thread safety: pure functions and constants.

#include <expected>
#include <string>
#include <string_view>

namespace vornelo::platform {

struct ScriptHost {
    // Where packaging installs the host (see packaging/).
    static constexpr std::string_view installedPath = "/usr/libexec/vornelo/vornelo-script-host";
    static constexpr std::string_view executableName = "vornelo-script-host";

    static constexpr std::string_view scriptPrefix = "do shell script \"";
    static constexpr std::string_view scriptSuffix = "\" with administrator privileges";

    // Written as the last line of standard error when authentication was dismissed or refused.
    static constexpr std::string_view cancelledMessage = "execution error: User canceled. (-128)";

    // The installed host when it is there, else the one built beside the running executable
    // (a build tree); for front ends run from either place.
    [[nodiscard]] static std::string locate();

    // The command inside a script of exactly the accepted form, with its escapes undone; or a
    // sentence saying why the script is refused. Refused: anything outside the statement (leading
    // or trailing text included), an unescaped double quote, any escape other than \\ and \", a
    // lone trailing backslash, bytes that are not UTF-8.
    [[nodiscard]] static std::expected<std::string, std::string> commandFromScript(std::string_view script);
};

}  // namespace vornelo::platform
