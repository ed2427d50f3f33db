// vornelo-cli helper version | remove: requests to the running helper through its socket.

#include "CLI/Context.h"
#include "Core/HelperInterface.h"
#include "Core/HelperPolicy.h"
#include "Core/PathProtection.h"
#include "Core/RelatedItems.h"
#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Authorization/Authorization.h"
#include "Platform/System/PlatformTexts.h"
#include "Platform/Identity/CodeSigning.h"
#include "Platform/Encoding/Base64.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Trash/Trash.h"
#include "Platform/Ipc/VarlinkClient.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <optional>

namespace vornelo::cli {

namespace {

using helper::HelperInterface;

std::string withoutFullStop(std::string sentence) {
    if (sentence.ends_with('.')) sentence.pop_back();
    return sentence;
}

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
    // The helper closes on a client it does not vet without a word: say why, when this is why.
    std::error_code failed;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
    const auto requirement = platform::CodeRequirement::parse(PrivilegedHelperConstants::clientRequirement);
    if (!failed && requirement) {
        const auto verdict = platform::CodeSigning::shared().checkFile(self, *requirement);
        if (!verdict.satisfied) {
            return "This vornelo-cli is not signed for the helper, which closed the connection (" + withoutFullStop(verdict.reason) +
                   "); use the vornelo-cli the package installed.";
        }
    }
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

// polkit's text agent for this process while a request waits for an administrator, started only
// on a terminal. Registered once it closes the notify descriptor (or gone, when it could not be).
class TerminalAgent {
public:
    TerminalAgent() {
        if (::isatty(STDIN_FILENO) == 0) return;
        const auto startTime = platform::AuthorizationSubject::startTimeOf(::getpid());
        int notify[2];
        if (!startTime || ::pipe2(notify, O_CLOEXEC) != 0) return;
        const std::string process = std::to_string(::getpid()) + "," + std::to_string(*startTime);
        const std::string fd = std::to_string(notify[1]);
        const char* const arguments[] = {"pkttyagent", "--process", process.c_str(), "--notify-fd", fd.c_str(),
                                         "--fallback", nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::fcntl(notify[1], F_SETFD, 0);  // the one descriptor the agent inherits
            ::execvp(arguments[0], const_cast<char* const*>(arguments));
            ::_exit(127);
        }
        ::close(notify[1]);
        if (pid_ > 0) {
            pollfd ready{notify[0], POLLIN, 0};
            while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {}
        }
        ::close(notify[0]);
    }
    ~TerminalAgent() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
    }
    TerminalAgent(const TerminalAgent&) = delete;
    TerminalAgent& operator=(const TerminalAgent&) = delete;
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// The reply's "moved" or "failed" dictionary as strings, or nothing when it is malformed.
std::optional<std::map<std::string, std::string>> dictionaryIn(const nlohmann::json& reply, const char* key) {
    const auto found = reply.find(key);
    if (found == reply.end() || !found->is_object()) return std::nullopt;
    std::map<std::string, std::string> values;
    for (const auto& [name, value] : found->items()) {
        if (!value.is_string()) return std::nullopt;
        values[name] = value.get<std::string>();
    }
    return values;
}

void printRemoval(const std::map<std::string, std::string>& moved, const std::map<std::string, std::string>& failed,
                  Context& context) {
    if (!failed.empty()) context.noteFailure();
    if (context.json) {
        printJson({{"moved", moved}, {"failed", failed}});
        return;
    }
    for (const auto& [path, destination] : moved) std::cout << "Moved " << path << " to " << destination << "\n";
    for (const auto& [path, reason] : failed) std::cout << "Not moved: " << path << ": " << reason << "\n";
    if (moved.empty()) return;
    // The items keep root as their owner, so neither the user nor a file manager can empty or put
    // them back: say how an administrator does.
    const auto& [original, trashed] = *moved.begin();
    const auto info = std::filesystem::path(trashed).parent_path().parent_path() / "info" /
                      (std::filesystem::path(trashed).filename().native() + ".trashinfo");
    std::cout << "What was moved still belongs to root: an administrator puts an item back with sudo mv -n -- "
              << platform::PlatformTexts::shellQuoted(trashed) << " " << platform::PlatformTexts::shellQuoted(original)
              << ", or removes it for good with sudo rm -r -- " << platform::PlatformTexts::shellQuoted(trashed) << " "
              << platform::PlatformTexts::shellQuoted(info.native()) << ".\n";
}

void addRemove(CLI::App& helper, Context& context) {
    auto* command = helper.add_subcommand("remove", "Move software installed for all users (applications, programs, units, "
                                                    "desktop entries, launch items) into your Trash");
    auto paths = std::make_shared<std::vector<std::string>>();
    auto socket = std::make_shared<std::string>(HelperInterface::socketPath);
    auto withRelated = std::make_shared<bool>(false);
    command->add_option("paths", *paths, "Items in /opt, /usr/local/bin, /usr/local/sbin, /etc/systemd/system, the "
                                         "desktop entries' folders, /Applications or /Library")->required();
    command->add_option("--socket", *socket, "The helper's socket")->capture_default_str();
    command->add_flag("--with-related", *withRelated,
                      "Also send the desktop entries and units that start something in each /opt folder named");
    command->callback([&context, paths, socket, withRelated] {
        struct stat socketInfo {};
        if (::stat(socket->c_str(), &socketInfo) != 0) {
            platform::VarlinkClientError missing;
            missing.kind = platform::VarlinkClientError::Kind::notListening;
            printError(unreachable(*socket, missing));
            context.noteFailure();
            return;
        }
        // The helper only ever moves into an existing Trash, so it is made here, as its owner.
        if (auto trash = platform::Trash::prepareUserTrash(::getuid()); !trash) {
            printError(trash.error().description);
            context.noteFailure();
            return;
        }
        const platform::Authorization authorization;
        const auto form = authorization.externalFormOfThisProcess();
        if (!form) {
            printError("Could not make an authorization for this process (status " + std::to_string(form.error()) + ").");
            context.noteFailure();
            return;
        }
        std::vector<std::string> absolute;
        for (const auto& path : *paths) absolute.push_back(platform::FileManager::absoluteStandardizedPath(path));
        if (*withRelated) {
            // Each is judged by the helper on its own, as if named here.
            const HelperPolicy::LinuxRoots places;
            for (std::size_t index = 0, named = absolute.size(); index < named; ++index) {
                if (!places.inApplications(PathProtection::normalise(absolute[index]))) continue;
                for (auto& related : RelatedItems::of(absolute[index], places)) {
                    if (std::ranges::find(absolute, related) == absolute.end()) absolute.push_back(std::move(related));
                }
            }
        }
        const TerminalAgent agent;
        if (!context.json) {
            // Which agent will ask, so that a prompt elsewhere (or none at all) is no surprise.
            std::cerr << (agent.running() ? "polkit's text agent asks for an administrator's password on this terminal.\n"
                                          : "Your desktop's authentication agent asks for an administrator's password, if this "
                                            "session has one.\n");
        }
        const auto reply = callHelper(*socket, HelperInterface::removeItemsMethod,
                                      {{"paths", absolute}, {"authorization", platform::Base64::encode(*form)}}, context);
        if (!reply) return;
        const auto moved = dictionaryIn(*reply, "moved");
        const auto failed = dictionaryIn(*reply, "failed");
        if (!moved || !failed) {
            printError("The helper at " + *socket + " answered without the items moved and failed.");
            context.noteFailure();
            return;
        }
        printRemoval(*moved, *failed, context);
    });
}

}  // namespace

void addHelperClientCommands(CLI::App& helper, Context& context) {
    addVersion(helper, context);
    addRemove(helper, context);
}

}  // namespace vornelo::cli
