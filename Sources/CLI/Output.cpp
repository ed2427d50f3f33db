#include "CLI/Context.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace vornelo::cli {

void printJson(const nlohmann::json& document) {
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

void printError(std::string_view sentence) { std::cerr << "vornelo-cli: " << sentence << '\n'; }

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace vornelo::cli
