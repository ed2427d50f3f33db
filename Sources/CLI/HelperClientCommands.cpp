// vornelo-cli helper version | remove: requests to the running helper through its socket.

#include "CLI/Context.h"
#include "Helper/HelperInterface.h"
#include "Platform/VarlinkClient.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <iostream>
#include <optional>

namespace vornelo::cli {

namespace {

using helper::HelperInterface;

// One sentence for each way the helper can be out of reach.
std::string unreachable(const std::string& socket, const platform::VarlinkClientError& error) {
    using Kind = platform::VarlinkClientError::Kind;
    struct stat info {};
    if (error.kind == Kind::denied) return "You may not connect to the helper's socket " + socket + ".";
    if (error.kind == Kind::notListening && ::stat(socket.c_str(), &info) != 0) {
        return "The helper is not installed: there is no socket at " + socket +
               " (an administrator enables it with systemctl enable --now vornelo-helper.socket).";
    }
    if (error.kind == Kind::notListening) return "The helper is not running: nothing answers at " + socket + ".";
    if (error.kind == Kind::remote) return "The helper at " + socket + " refused the call with " + error.error + ".";
    return "The helper at " + socket + " did not answer: " + error.description;
}

// The reply's parameters, or nothing after the reason was printed.
std::optional<nlohmann::json> callHelper(const std::string& socket, std::string_view method,
                                         const nlohmann::json& parameters, Context& context) {
    auto client = platform::VarlinkClient::connect(socket);
    auto reply = client ? client->call(method, parameters) : std::unexpected(client.error());
    if (reply) return std::move(*reply);
    printError(unreachable(socket, reply.error()));
    context.noteFailure();
    return std::nullopt;
}

void addVersion(CLI::App& helper, Context& context) {
    auto* command = helper.add_subcommand("version", "The protocol version of the running helper");
    auto socket = std::make_shared<std::string>(HelperInterface::socketPath);
    command->add_option("--socket", *socket, "The helper's socket")->capture_default_str();
    command->callback([&context, socket] {
        const auto reply = callHelper(*socket, HelperInterface::helperVersionMethod, nlohmann::json::object(), context);
        if (!reply) return;
        const auto version = reply->find("version");
        if (version == reply->end() || !version->is_number_integer()) {
            printError("The helper at " + *socket + " answered without a version.");
            context.noteFailure();
            return;
        }
        if (context.json) {
            printJson({{"version", *version}, {"socket", *socket}});
        } else {
            std::cout << "The helper at " << *socket << " speaks protocol version " << *version << ".\n";
        }
    });
}

}  // namespace

void addHelperClientCommands(CLI::App& helper, Context& context) { addVersion(helper, context); }

}  // namespace vornelo::cli
