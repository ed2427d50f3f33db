// vornelo-codesign: signs an executable with a detached signature, and checks one against a code
// requirement (for an administrator before installing; the helper always uses the system store).

#include "Platform/Identity/CodeSigning.h"
#include "Platform/Encoding/Json.h"
#include "Platform/System/BuildVersion.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <iostream>

namespace {

using namespace vornelo::platform;

constexpr int satisfied = 0;
constexpr int notSatisfied = 1;
constexpr int badUsage = 2;

struct Options {
    bool json = false;
    std::string identifier;
    SigningIdentityFiles identity;
    std::string chain;
    std::string requirement;
    std::string anchors{AnchorStore::systemPath};
    std::string executable;
};

int sign(const Options& options) {
    auto identity = options.identity;
    if (!options.chain.empty()) identity.chain = options.chain;
    if (auto signedIt = CodeSignature::sign(options.executable, options.identifier, identity); !signedIt) {
        std::cerr << "vornelo-codesign: " << signedIt.error() << '\n';
        return notSatisfied;
    }
    const auto written = CodeSignature::signaturePath(options.executable).native();
    if (options.json) {
        std::cout << nlohmann::json{{"signature", written}, {"identifier", options.identifier}}.dump() << '\n';
    } else {
        std::cout << "Signed " << options.executable << " as \"" << options.identifier << "\": " << written << '\n';
    }
    return satisfied;
}

int verify(const Options& options) {
    auto requirement = CodeRequirement::parse(options.requirement);
    if (!requirement) {
        std::cerr << "vornelo-codesign: " << requirement.error() << '\n';
        return badUsage;
    }
    const auto verdict = CodeSigning(options.anchors).checkFile(options.executable, *requirement);
    if (options.json) {
        std::cout << nlohmann::json{{"path", options.executable}, {"satisfied", verdict.satisfied}, {"reason", verdict.reason},
                                    {"identifier", verdict.identifier}}
                         .dump()
                  << '\n';
    } else {
        std::cout << options.executable << ": " << (verdict.satisfied ? "satisfied" : "not satisfied") << ". " << verdict.reason << '\n';
    }
    return verdict.satisfied ? satisfied : notSatisfied;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Signs executables with a detached signature and checks them against a code requirement.", "vornelo-codesign"};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--json", options.json, "Print one JSON document for scripts");
    app.set_version_flag("--version", "vornelo-codesign " + std::string(buildVersion()), "Print the version and exit");
    app.footer("Exit codes: 0 signed or satisfied, 1 failed or not satisfied, 2 for bad usage.");

    auto* signCommand = app.add_subcommand("sign", "Write EXECUTABLE.sig over the executable's bytes");
    signCommand->add_option("--identifier", options.identifier, "The code's identifier, e.g. com.tessaldon.Vornelo")->required();
    signCommand->add_option("--certificate", options.identity.certificate, "PEM code-signing certificate")->required()->check(CLI::ExistingFile);
    signCommand->add_option("--key", options.identity.key, "PEM private key of the certificate")->required()->check(CLI::ExistingFile);
    signCommand->add_option("--chain", options.chain, "PEM certificates to include (intermediates, anchor)")->check(CLI::ExistingFile);
    signCommand->add_option("EXECUTABLE", options.executable, "The file to sign")->required();

    auto* verifyCommand = app.add_subcommand("verify", "Check EXECUTABLE and its signature against a requirement");
    verifyCommand->add_option("--requirement", options.requirement, "Requirement text, e.g. identifier \"x\" and anchor apple generic")->required();
    verifyCommand->add_option("--anchors", options.anchors, "Anchor folder (root-owned, writable by root alone)")->capture_default_str();
    verifyCommand->add_option("EXECUTABLE", options.executable, "The file to check")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and the version are asked for, and end well.
        return app.exit(error) == 0 ? satisfied : badUsage;
    }
    return signCommand->parsed() ? sign(options) : verify(options);
}
