#include "Platform/Processes/ScriptHost.h"

#include "Platform/Encoding/Text.h"

#include <filesystem>
#include <system_error>

namespace vornelo::platform {

std::string ScriptHost::locate() {
    std::error_code error;
    if (std::filesystem::exists(installedPath, error)) return std::string(installedPath);
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::string(installedPath);
    const auto beside = self.parent_path() / executableName;
    return std::filesystem::exists(beside, error) ? beside.string() : std::string(installedPath);
}

std::expected<std::string, std::string> ScriptHost::commandFromScript(std::string_view script) {
    const auto refuse = [](std::string reason) { return std::unexpected(std::move(reason)); };
    const bool framed = script.size() >= scriptPrefix.size() + scriptSuffix.size() && script.starts_with(scriptPrefix) &&
                        script.ends_with(scriptSuffix);
    if (!framed) {
        return refuse("Only a script of the form do shell script \"\u2026\" with administrator privileges is accepted.");
    }
    if (!Text::isValidUtf8(script)) return refuse("The script is not valid UTF-8.");

    const auto literal = script.substr(scriptPrefix.size(), script.size() - scriptPrefix.size() - scriptSuffix.size());
    std::string command;
    command.reserve(literal.size());
    for (std::size_t i = 0; i < literal.size(); ++i) {
        const char c = literal[i];
        if (c == '"') return refuse("The script holds a double quote that is not escaped, at byte " + std::to_string(i + scriptPrefix.size()) + ".");
        if (c != '\\') {
            command.push_back(c);
            continue;
        }
        if (i + 1 == literal.size()) return refuse("The script's string ends with a lone backslash.");
        const char escaped = literal[++i];
        if (escaped != '\\' && escaped != '"') {
            return refuse("The script holds an escape other than \\\\ or \\\", at byte " + std::to_string(i + scriptPrefix.size()) + ".");
        }
        command.push_back(escaped);
    }
    return command;
}

}  // namespace vornelo::platform
