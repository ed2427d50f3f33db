// The notice for a log left at the place earlier versions kept it.

#include "CLI/Context.h"
#include "Platform/System/PlatformTexts.h"

#include <CLI/CLI.hpp>

#include <array>
#include <string_view>

namespace vornelo::cli {

void noteLogLeftBehind(const CLI::App& app) {
    constexpr std::array<std::string_view, 4> logCommands = {"log", "clean", "sessions", "restore"};
    bool usedLog = false;
    for (const auto name : logCommands) usedLog = usedLog || app.got_subcommand(std::string(name));
    if (!usedLog) return;
    const auto& log = OperationLog::shared();
    const auto earlier = log.legacyLogLeftBehind();
    if (!earlier) return;
    const auto current = log.fileURL().parent_path().native();
    using platform::PlatformTexts;
    printError("An operation log of an earlier version is still in " + earlier->native() + " and another is in " +
               current + ", so Vornelo moved neither. To go on with the earlier log, move the later one aside (\u201Cmv " +
               PlatformTexts::shellQuoted(current) + " " + PlatformTexts::shellQuoted(current + ".later") +
               "\u201D) and run vornelo-cli again; to keep only the later one, delete " + earlier->native() + ".");
}

}  // namespace vornelo::cli
