// check and bundle-id: what path protection decides, and why.

#include "CLI/Context.h"
#include "Core/PathProtection.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

nlohmann::json verdictJson(const std::string& path, const std::optional<ProtectionReason>& reason) {
    nlohmann::json item{{"path", path}, {"protected", reason.has_value()}};
    if (reason) {
        item["rule"] = ProtectionReason::ruleName(reason->rule);
        item["match"] = reason->match;
        item["judgedPath"] = reason->judgedPath;
        item["throughSymbolicLink"] = reason->throughSymbolicLink;
        item["reason"] = reason->description();
    }
    return item;
}

void runCheck(const std::vector<std::string>& paths, Context& context) {
    const auto& protection = PathProtection::shared();
    nlohmann::json results = nlohmann::json::array();
    for (const auto& path : paths) {
        const auto reason = protection.protectionReason(path);
        if (context.json) {
            results.push_back(verdictJson(path, reason));
        } else if (reason) {
            std::cout << displayed(path) << ": protected. " << displayed(reason->description()) << '\n';
        } else {
            std::cout << displayed(path) << ": not protected.\n";
        }
    }
    if (context.json) printJson({{"results", results}});
}

void runBundleID(const std::vector<std::string>& identifiers, Context& context) {
    const auto& protection = PathProtection::shared();
    nlohmann::json results = nlohmann::json::array();
    for (const auto& identifier : identifiers) {
        const bool critical = protection.isSystemCriticalBundle(identifier);
        const bool security = protection.isEndpointSecurityBundle(identifier);
        if (context.json) {
            results.push_back({{"bundleID", identifier},
                               {"isSystemCriticalBundle", critical},
                               {"isEndpointSecurityBundle", security}});
            continue;
        }
        std::cout << identifier << ": " << (critical ? "system-critical" : "not system-critical") << "; "
                  << (security ? "security or device-management software" : "not security software") << ".\n";
    }
    if (context.json) printJson({{"results", results}});
}

}  // namespace

void addProtectionCommands(CLI::App& app, Context& context) {
    auto paths = std::make_shared<std::vector<std::string>>();
    auto* check = app.add_subcommand("check", "Say whether each path is protected, and by which rule");
    check->add_option("PATH", *paths, "Paths to judge (need not exist)")->required();
    check->callback([paths, &context] { runCheck(*paths, context); });

    auto identifiers = std::make_shared<std::vector<std::string>>();
    auto* bundle = app.add_subcommand("bundle-id",
                                      "Say whether each bundle identifier is system-critical or security software");
    bundle->add_option("ID", *identifiers, "Bundle identifiers")->required();
    bundle->callback([identifiers, &context] { runBundleID(*identifiers, context); });
}

}  // namespace vornelo::cli
