#include "Support/PolkitSandbox.h"

#include "Platform/Processes/Subprocess.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace vornelo::test {

namespace {

constexpr const char* dbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* polkitd = "/usr/lib/polkit-1/polkitd";
constexpr const char* gdbus = "/usr/bin/gdbus";

bool busAnswers(const std::string& method, const std::vector<std::string>& arguments, std::string_view expected) {
    std::vector<std::string> call{"call",          "--system",   "--timeout", "2", "--dest", "org.freedesktop.DBus",
                                  "--object-path", "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus." + method};
    call.insert(call.end(), arguments.begin(), arguments.end());
    const auto result = runProgram(gdbus, call);
    return result.exitCode == 0 && result.out.find(expected) != std::string::npos;
}

bool waitFor(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string mountFolders(const TempDirectory& folders) {
    std::filesystem::create_directories("/run/dbus");
    if (::mount("tmpfs", "/run/dbus", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        return std::string("mounting a tmpfs over /run/dbus failed: ") + std::strerror(errno);
    }
    for (const auto& [source, target] : {std::pair{"actions", "/usr/share/polkit-1/actions"},
                                         std::pair{"rules", "/etc/polkit-1/rules.d"},
                                         std::pair{"vendor-rules", "/usr/share/polkit-1/rules.d"}}) {
        std::filesystem::create_directories(folders / source);
        std::filesystem::create_directories(target);
        if (auto error = bindMount(folders / source, target); !error.empty()) return error;
    }
    return {};
}

}  // namespace

std::string polkitSandboxSkipReason() {
    if (auto root = rootSkipReason(); !root.empty()) return "a private system bus and polkitd " + root;
    for (const char* program : {dbusDaemon, polkitd, gdbus}) {
        if (!std::filesystem::exists(program)) {
            return std::string(program) + " is not installed (scripts/install-deps installs it)";
        }
    }
    return {};
}

ChildOutcome runWithPolkit(const PolkitSandbox& sandbox, const std::function<std::string()>& body) {
    return runInPrivateMountNamespace([&]() -> std::string {
        TempDirectory folders("vornelo-polkit");
        if (auto error = mountFolders(folders); !error.empty()) return error;
        for (const auto& [name, contents] : sandbox.actions) writeFile("/usr/share/polkit-1/actions/" + name, contents);
        if (!sandbox.rules.empty()) writeFile("/etc/polkit-1/rules.d/50-vornelo-test.rules", sandbox.rules);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

        auto bus = platform::Subprocess::spawn(dbusDaemon, {"--system", "--nofork", "--nopidfile"});
        if (!bus) return "dbus-daemon did not start: " + bus.error().description;
        if (!waitFor([] { return busAnswers("GetId", {}, "'"); })) return "the private system bus did not come up";
        auto authority = platform::Subprocess::spawn(polkitd, {"--no-debug"});
        if (!authority) return "polkitd did not start: " + authority.error().description;
        if (!waitFor([] { return busAnswers("NameHasOwner", {"org.freedesktop.PolicyKit1"}, "true"); })) {
            return "polkitd did not come up on the private bus";
        }
        return body();
    });
}

std::string polkitRule(std::string_view actionId, std::string_view result) {
    return "polkit.addRule(function(action, subject) {\n  if (action.id == \"" + std::string(actionId) +
           "\") return polkit.Result." + std::string(result) + ";\n});\n";
}

}  // namespace vornelo::test
