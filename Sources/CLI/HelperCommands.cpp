// vornelo-cli helper ...: the root helper's commands.

#include "CLI/Context.h"

#include <CLI/CLI.hpp>

namespace vornelo::cli {

void addHelperCommands(CLI::App& app, Context& context) {
    auto* helper = app.add_subcommand("helper", "The root helper that moves software installed for all users");
    helper->require_subcommand(1);
    addHelperClientCommands(*helper, context);
    addHelperCheckCommand(*helper, context);
}

}  // namespace vornelo::cli
