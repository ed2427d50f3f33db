// vornelo-cli helper check: the removal policy's verdict on each path, decided here by the
// library, without asking the helper: the same roots, the same package manager's answer, and for
// an application folder the desktop entries and units that start something in it. The roots can
// be moved for tests and rehearsals.

#include "CLI/Context.h"
#include "Core/HelperPolicy.h"
#include "Core/PackageOwnership.h"
#include "Core/PathProtection.h"
#include "Core/PrivilegedHelperConstants.h"
#include "Core/RelatedItems.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

namespace vornelo::cli {

namespace {

struct HelperCheckOptions {
    std::vector<std::string> paths;
    std::string applicationsRoot{PrivilegedHelperConstants::applicationsRoot};
    std::string libraryRoot{PrivilegedHelperConstants::libraryRoot};
    std::string linuxPrefix;
};

bool rootIsUsable(const std::string& root, std::string_view what, Context& context) {
    if (!root.empty() && root.front() == '/') return true;
    printError("The " + std::string(what) + " root \u201C" + root + "\u201D is not an absolute path.");
    context.noteFailure(ExitCode::badUsage);
    return false;
}

void runHelperCheck(const HelperCheckOptions& options, Context& context) {
    if (!rootIsUsable(options.applicationsRoot, "applications", context) ||
        !rootIsUsable(options.libraryRoot, "library", context) ||
        (!options.linuxPrefix.empty() && !rootIsUsable(options.linuxPrefix, "Linux", context))) {
        return;
    }
    const auto places = options.linuxPrefix.empty() ? HelperPolicy::LinuxRoots{} : HelperPolicy::LinuxRoots{}.under(options.linuxPrefix);
    const HelperPolicy::Roots roots{options.applicationsRoot, options.libraryRoot, places};
    std::vector<std::string> linuxPaths;
    for (const auto& path : options.paths) {
        if (places.holds(PathProtection::normalise(path))) linuxPaths.push_back(path);
    }
    const PackageOwnership ownership(PackageOwnership::forThisSystem());
    const auto packaged = linuxPaths.empty() ? std::map<std::string, std::string>{}
                                             : ownership.refusals(linuxPaths, [&](const std::string& path) {
                                                   return places.inApplications(PathProtection::normalise(path));
                                               });
    nlohmann::json results = nlohmann::json::array();
    for (const auto& path : options.paths) {
        auto verdict = HelperPolicy::validateRemoval(path, roots);
        if (const auto owned = packaged.find(path); verdict && owned != packaged.end()) {
            verdict = std::unexpected(HelperPolicy::Rejection{owned->second});
        }
        // Related items belong to an application folder in /opt alone; other results stay as they were.
        const bool folder = places.inApplications(PathProtection::normalise(path));
        const auto related = verdict && folder ? RelatedItems::of(path, places) : std::vector<std::string>{};
        if (!verdict) context.noteFailure();
        if (context.json) {
            nlohmann::json result{{"path", path},
                                  {"kind", verdict ? nlohmann::json(HelperPolicy::rawValue(*verdict)) : nullptr},
                                  {"reason", verdict ? nullptr : nlohmann::json(verdict.error().reason)}};
            if (folder) result["related"] = related;
            results.push_back(std::move(result));
        } else if (verdict) {
            std::cout << displayed(path) << ": accepted as " << HelperPolicy::rawValue(*verdict) << ".\n";
            for (const auto& item : related) std::cout << "  related: " << displayed(item) << " starts something in it.\n";
        } else {
            std::cout << displayed(path) << ": refused. " << displayed(verdict.error().reason) << '\n';
        }
    }
    if (context.json) printJson({{"results", results}});
}

}  // namespace

void addHelperCheckCommand(CLI::App& helper, Context& context) {
    auto options = std::make_shared<HelperCheckOptions>();
    auto* check = helper.add_subcommand(
        "check", "Say whether the helper would accept each path, and as what kind of item, or why not; decided "
                 "here by the same policy, without asking the helper");
    check->add_option("PATH", options->paths, "Paths as they would be sent to the helper")->required();
    check->add_option("--applications-root", options->applicationsRoot,
                      "Judge against this folder instead of /Applications");
    check->add_option("--library-root", options->libraryRoot, "Judge against this folder instead of /Library");
    check->add_option("--linux-prefix", options->linuxPrefix,
                      "Judge against the Linux places (/opt, /usr/local/bin, /etc/systemd/system, ...) inside this folder");
    check->footer("Exit code 1 when any path is refused, 2 for bad usage.");
    check->callback([options, &context] { runHelperCheck(*options, context); });
}

}  // namespace vornelo::cli
