// policy: the administrator's managed settings as the library reads them.

#include "CLI/Context.h"
#include "Core/ManagedPolicy.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace vornelo::cli {

namespace {

std::string joined(const std::vector<std::string>& values) {
    if (values.empty()) return "(none)";
    std::string text;
    for (const auto& value : values) text += (text.empty() ? "" : ", ") + value;
    return text;
}

void runPolicy(Context& context) {
    const auto policy = ManagedPolicy::shared();
    const auto features = policy.disabledFeatures();
    const std::vector<std::string> featureList(features.begin(), features.end());
    const auto interval = policy.scheduledScanIntervalHours();
    const auto managedFile = policy.defaults()->locations().managedFile.native();
    if (context.json) {
        printJson({{"isManaged", policy.isManaged()},
                   {"managedPreferencesFile", managedFile},
                   {"disabledFeatures", featureList},
                   {"protectedPaths", policy.protectedPaths()},
                   {"protectedBundlePrefixes", policy.protectedBundlePrefixes()},
                   {"forceOperationLog", policy.forceOperationLog()},
                   {"disableAutomaticUpdates", policy.disableAutomaticUpdates()},
                   {"disablePrivilegedTools", policy.disablePrivilegedTools()},
                   {"scheduledScanIntervalHours", interval ? nlohmann::json(*interval) : nlohmann::json(nullptr)}});
        return;
    }
    const auto yesNo = [](bool value) { return value ? "yes" : "no"; };
    std::cout << "Managed by an administrator: " << yesNo(policy.isManaged()) << '\n'
              << "Read from: " << managedFile << " (only when owned by root and writable by root alone)\n"
              << "DisabledFeatures: " << joined(featureList) << '\n'
              << "ProtectedPaths: " << joined(policy.protectedPaths()) << '\n'
              << "ProtectedBundlePrefixes: " << joined(policy.protectedBundlePrefixes()) << '\n'
              << "ForceOperationLog: " << yesNo(policy.forceOperationLog()) << '\n'
              << "DisableAutomaticUpdates: " << yesNo(policy.disableAutomaticUpdates()) << '\n'
              << "DisablePrivilegedTools: " << yesNo(policy.disablePrivilegedTools()) << '\n'
              << "ScheduledScanIntervalHours: " << (interval ? std::to_string(*interval) : "not set") << '\n';
}

}  // namespace

void addPolicyCommands(CLI::App& app, Context& context) {
    auto* policy = app.add_subcommand("policy", "Show the administrator's managed policy as the library reads it");
    policy->callback([&context] { runPolicy(context); });
}

}  // namespace vornelo::cli
