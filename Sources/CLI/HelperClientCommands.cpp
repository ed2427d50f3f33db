// vornelo-cli helper version | remove: requests to the running helper through its socket.

#include "CLI/Context.h"

#include <CLI/CLI.hpp>

namespace vornelo::cli {

void addHelperClientCommands(CLI::App& /*helper*/, Context& /*context*/) {}

}  // namespace vornelo::cli
