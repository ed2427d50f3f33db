#include "CLI/Confirm.h"

#include "Platform/Encoding/Text.h"

#include <unistd.h>

#include <iostream>

namespace vornelo::cli {

std::optional<bool> askOnTerminal(std::string_view question, std::string_view noTerminal, Context& context) {
    if (::isatty(STDIN_FILENO) != 1) {
        printError(noTerminal);
        context.noteFailure(ExitCode::badUsage);
        return std::nullopt;
    }
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    const auto word = platform::Text::lowercased(answer);
    return word == "y" || word == "yes";
}

}  // namespace vornelo::cli
