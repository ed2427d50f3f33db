#include "Support/Subprocess.h"

#include "Platform/Processes/Subprocess.h"

namespace vornelo::test {

ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment) {
    // env adds the entries to the inherited environment; a program given as a path is never searched for.
    std::vector<std::string> command;
    for (const auto& [key, value] : environment) command.push_back(key + "=" + value);
    command.push_back(program.native());
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProgramResult result;
    auto child = platform::Subprocess::spawn("/usr/bin/env", command);
    if (!child) {
        result.err = child.error().description;
        return result;
    }
    using Stream = platform::Subprocess::Stream;
    while (child->isOpen(Stream::output) || child->isOpen(Stream::error) || child->isRunning()) child->waitForActivity(std::nullopt);
    result.out = child->take(Stream::output);
    result.err = child->take(Stream::error);
    result.exitCode = child->terminatedBySignal() ? -1 : child->terminationStatus();
    return result;
}

ProgramResult runCli(const std::vector<std::string>& arguments, const std::filesystem::path& home,
                     const std::map<std::string, std::string>& environment) {
    auto merged = environment;
    merged.try_emplace("HOME", home.native());
    merged.try_emplace("XDG_CONFIG_HOME", (home / ".config").native());
    merged.try_emplace("XDG_DATA_HOME", (home / ".local/share").native());
    merged.try_emplace("XDG_STATE_HOME", (home / ".local/state").native());
    merged.try_emplace("XDG_CACHE_HOME", (home / ".cache").native());
    merged.try_emplace("TZ", "UTC0");  // times for people are local; tests read them in UTC unless they choose
    return runProgram(VORNELO_CLI_PATH, arguments, merged);
}

}  // namespace vornelo::test
