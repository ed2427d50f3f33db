// login-item status | enable | disable: whether the application starts when the user logs in.

#include "CLI/Context.h"
#include "Core/LaunchAtLoginService.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace vornelo::cli {

namespace {

using platform::LoginItemStatus;

std::string describe(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::enabled: return "on.";
        case LoginItemStatus::notRegistered: return "off (no autostart entry).";
        case LoginItemStatus::requiresApproval:
            return "off: the entry is switched off (Hidden=true or X-GNOME-Autostart-enabled=false); "
                   "enable to switch it on again.";
        case LoginItemStatus::notFound: return "off: the entry is not one a desktop session would start; "
                                               "enable to replace it.";
    }
    return "unknown.";
}

void printStatus(Context& context, const std::optional<std::string>& error = std::nullopt) {
    const auto service = LaunchAtLoginService::mainApp();
    const auto status = service.status();
    if (context.json) {
        nlohmann::json document{{"isEnabled", status == LoginItemStatus::enabled},
                                {"status", platform::loginItemStatusName(status)},
                                {"entryPath", service.entryPath().native()}};
        if (error) document["error"] = *error;
        printJson(document);
        return;
    }
    std::cout << "Launch at login: " << describe(status) << '\n' << "Entry: " << service.entryPath().native() << '\n';
}

void runSetEnabled(bool enabled, Context& context) {
    const auto changed = LaunchAtLoginService::setEnabled(enabled);
    if (!changed) {
        const auto path = LaunchAtLoginService::mainApp().entryPath().native();
        printError(std::string(enabled ? "Could not enable" : "Could not disable") + " launch at login at " + path +
                   ": " + changed.error().description);
        context.noteFailure();
    }
    printStatus(context, changed ? std::nullopt : std::optional(changed.error().description));
}

}  // namespace

void addLoginItemCommands(CLI::App& app, Context& context) {
    auto* loginItem = app.add_subcommand("login-item", "Show or change whether Vornelo starts when you log in");
    loginItem->require_subcommand(1);
    loginItem->footer("The login item is the XDG autostart entry <bundle id>.desktop in $XDG_CONFIG_HOME/autostart "
                      "(default ~/.config/autostart).");
    loginItem->add_subcommand("status", "Say whether the login item is in force")->callback([&context] {
        printStatus(context);
    });
    loginItem->add_subcommand("enable", "Start Vornelo at login (writes the autostart entry)")->callback([&context] {
        runSetEnabled(true, context);
    });
    loginItem->add_subcommand("disable", "Stop starting Vornelo at login (removes the autostart entry)")
        ->callback([&context] { runSetEnabled(false, context); });
}

}  // namespace vornelo::cli
