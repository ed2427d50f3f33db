#pragma once
// Asking a person before something that cannot be undone.

#include "CLI/Context.h"

#include <optional>
#include <string>
#include <string_view>

namespace vornelo::cli {

// Asks `question` on standard error followed by " [y/N] " and reads one line: true for y or yes
// in any case, false for anything else or end of input. When standard input is not a terminal
// there is no one to ask: `noTerminal` (a sentence naming the flag that answers yes) goes to
// standard error, bad usage is noted, and nothing is returned.
[[nodiscard]] std::optional<bool> askOnTerminal(std::string_view question, std::string_view noTerminal, Context& context);

}  // namespace vornelo::cli
