#include "Core/PrivilegedHelperConstants.h"
#include "Helper/ConnectionHandler.h"
#include "Helper/HelperInterface.h"
#include "Platform/Authorization.h"
#include "Platform/Base64.h"
#include "Platform/ProcessHardening.h"
#include "Platform/Subprocess.h"
#include "Support/PolkitSandbox.h"
#include "Support/PrivateRoot.h"
#include "Support/SignedClient.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <cstring>
#include <iostream>
#include <regex>
#include <thread>

namespace vornelo::helper {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
}

// Started with VORNELO_TEST_RAW_CLIENT naming a socket, a signed copy of this program is a client
// that speaks bytes: it sends the file VORNELO_TEST_RAW_INPUT names as it is ("@FORM@" and
// "@SHORT@" become its own authorization in base64, whole or a byte short), ends its side, and
// prints all it is answered.
const bool runsAsRawClient = [] {
    const char* socketPath = std::getenv("VORNELO_TEST_RAW_CLIENT");
    if (socketPath == nullptr) return false;
    platform::ProcessHardening::forbidAttaching();
    std::string input = test::readFile(std::getenv("VORNELO_TEST_RAW_INPUT"));
    if (const auto form = platform::Authorization().externalFormOfThisProcess()) {
        replaceAll(input, "@FORM@", platform::Base64::encode(*form));
        replaceAll(input, "@SHORT@", platform::Base64::encode(std::span(form->data(), form->size() - 1)));
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::_Exit(3);
    for (std::size_t done = 0; done < input.size();) {
        const auto put = ::send(fd, input.data() + done, input.size() - done, MSG_NOSIGNAL);
        if (put <= 0) break;  // closed for cause
        done += static_cast<std::size_t>(put);
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[65536];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) std::cout.write(buffer, got);
    std::cout.flush();
    std::_Exit(0);
}();

std::string removal(const std::vector<std::string>& paths, const std::string& form = "@FORM@") {
    return Json{{"method", HelperInterface::removeItemsMethod}, {"parameters", {{"paths", paths}, {"authorization", form}}}}.dump() + '\0';
}
const std::string versionCall = Json{{"method", HelperInterface::helperVersionMethod}, {"parameters", Json::object()}}.dump() + '\0';

// Every entry of an item (itself as "."), links not followed: type and mode, owner, size,
// modification time, and the content or the link's target.
std::map<std::string, std::string> manifest(const fs::path& item) {
    std::map<std::string, std::string> entries;
    const auto describe = [&](const fs::path& path, const std::string& key) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return;
        const auto size = S_ISDIR(info.st_mode) ? 0 : info.st_size;  // a folder's size depends on its file system
        auto& entry = entries[key] = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) +
                                     " " + std::to_string(size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                                     std::to_string(info.st_mtim.tv_nsec) + " ";
        if (S_ISREG(info.st_mode)) entry += test::readFile(path);
        if (S_ISLNK(info.st_mode)) entry += fs::read_symlink(path).native();
    };
    describe(item, ".");
    if (fs::is_directory(fs::symlink_status(item))) {
        for (const auto& entry : fs::recursive_directory_iterator(item)) describe(entry.path(), fs::relative(entry.path(), item));
    }
    return entries;
}

struct User {
    uid_t uid;
    gid_t gid;
    fs::path home;
    fs::path trash() const { return home / ".local/share/Trash"; }
};

// The world the helper and its clients share inside the test's root; see the scenario below.
class World {
public:
    World() {
        fs::permissions(base.path(), fs::perms(0755));
        for (const char* folder : {"apps", "run", "newroot", "Library/LaunchDaemons", "Library/PrivilegedHelperTools", "outside", "bin"}) {
            fs::create_directories(base / folder);
        }
        fs::permissions(base / "bin", fs::perms(0777));  // the fake agent's record is written as the user
        test::writeFile(base / "outside/secret", "root's secret");
        ::chmod((base / "outside/secret").c_str(), 0600);
        // A stand-in for polkit's text agent: notes how it was started, says it is ready, waits for its end.
        test::writeFile(base / "bin/pkttyagent", "#!/bin/sh\necho \"$@\" >> " + (base / "bin/agent.log").native() +
                                                     "\ntrap 'echo ended >> " + (base / "bin/agent.log").native() +
                                                     "; exit 0' TERM\neval \"exec $4>&-\"\nwhile :; do sleep 0.05; done\n");
        ::chmod((base / "bin/pkttyagent").c_str(), 0755);
        std::string passwd = std::regex_replace(test::readFile("/etc/passwd"), std::regex("\nnobody:([^:]*:[^:]*:[^:]*:[^:]*):[^:]*:"),
                                                "\nnobody:$1:" + a.home.native() + ":");
        test::writeFile(base / "passwd", passwd + "vornelo-b:x:64000:64000::" + b.home.native() + ":/usr/sbin/nologin\n");
        for (const auto* user : {&a, &b}) {
            for (const auto& folder : {user->home, user->home / ".local", user->home / ".local/share", user->trash(), user->trash() / "files",
                                       user->trash() / "info"}) {
                fs::create_directory(folder);
                ::chown(folder.c_str(), user->uid, user->gid);
            }
        }
    }

    // Inside the sandbox's namespace: the test's passwd, the applications on a tmpfs (so moves
    // from there cross file systems), and the new root entered.
    std::string enter() const {
        if (auto bound = test::bindMount(base / "passwd", "/etc/passwd"); !bound.empty()) return bound;
        if (::mount("tmpfs", (base / "apps").c_str(), "tmpfs", 0, "mode=0755") != 0) return "no tmpfs for the applications";
        return test::enterPrivateRoot({{"/Applications", base / "apps"},
                                       {"/Library", base / "Library"},
                                       {"/run/vornelo", base / "run"},
                                       {"/etc/code-signing", signing.folder}},
                                      base / "newroot");
    }

    // systemd-socket-activate on the helper's socket, which execs the helper on the first connection.
    std::string startHelper(const std::string& idleAfter) {
        fs::remove(socket);
        auto started = platform::Subprocess::spawn("/usr/bin/systemd-socket-activate",
                                                   {"-l", socket, VORNELO_HELPER_PATH, "--idle-after", idleAfter});
        if (!started) return "systemd-socket-activate did not start";
        helper.emplace(std::move(*started));
        // It says so once the socket listens, before any connection starts the helper.
        const auto until = SteadyClock::now() + 10s;
        while (helper->received(platform::Subprocess::Stream::error).find("Listening on") == std::string::npos) {
            if (SteadyClock::now() > until || !helper->isOpen(platform::Subprocess::Stream::error)) return "the helper's socket never listened";
            helper->waitForActivity(until);
        }
        ::chmod(socket.c_str(), 0666);  // SocketMode=0666 of the unit, which systemd-socket-activate cannot set
        return {};
    }

    test::ProgramResult as(const User& user, const std::vector<std::string>& command) const {
        std::vector<std::string> arguments{"--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid), "--clear-groups"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        return test::runProgram("/usr/bin/setpriv", arguments,
                                {{"HOME", user.home}, {"PATH", (base / "bin").native() + ":/usr/bin:/bin"}, {"VORNELO_TEST_RAW_CLIENT", socket},
                                 {"VORNELO_TEST_RAW_INPUT", rawInput}});
    }
    // `helper remove --json` through the signed client: its exit code and its document.
    std::pair<int, Json> remove(const User& user, const std::vector<std::string>& paths) const {
        std::vector<std::string> command{cli, "--json", "helper", "remove", "--socket", socket};
        command.insert(command.end(), paths.begin(), paths.end());
        const auto result = as(user, command);
        const auto document = Json::parse(result.out, nullptr, false);
        return {result.exitCode, document.is_object() ? document : Json{{"output", result.out + result.err}}};
    }
    // The replies a raw connection got before the helper closed it.
    std::vector<Json> rawReplies(const User& user, const std::string& bytes) const {
        std::vector<Json> replies;
        test::writeFile(rawInput, bytes);
        std::istringstream stream(as(user, {raw}).out);
        for (std::string reply; std::getline(stream, reply, '\0');) replies.push_back(Json::parse(reply, nullptr, false));
        return replies;
    }
    std::vector<std::string> log() const { return test::logMessages(base / "Library/Logs/Vornelo/helper.log"); }
    std::size_t logged(const std::string& start) const {
        return static_cast<std::size_t>(std::ranges::count_if(log(), [&](const std::string& line) { return line.starts_with(start); }));
    }

    test::TempDirectory base{"vornelo-e2e"};
    test::ClientSigning signing{base / "signing"};
    fs::path cli = signing.signedCopy("vornelo-cli", signing.leaf);
    fs::path raw = signing.signedCopy("raw-client", signing.leaf, "com.tessaldon.Vornelo", "/proc/self/exe");
    User a{test::unprivilegedAccount().uid, test::unprivilegedAccount().gid, base / "home-a"};
    User b{64000, 64000, base / "home-b"};
    std::string socket{HelperInterface::socketPath};
    fs::path rawInput = base / "raw-input";
    std::optional<platform::Subprocess> helper;
};

void makeApp(const fs::path& app, const std::string& identifier) {
    fs::create_directories(app / "Contents/MacOS");
    test::writeFile(app / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                                                 "</key><string>" + identifier + "</string></dict></plist>");
}

// Nobody's requests are approved; vornelo-b's are refused, after an administrator's long look
// while `slow` exists.
std::string rules(const fs::path& slow) {
    return "polkit.addRule(function(action, subject) {\n  if (action.id != \"" + std::string(PrivilegedHelperConstants::authorizationRight) +
           "\") return;\n  if (subject.user == \"nobody\") return polkit.Result.YES;\n"
           "  polkit.spawn([\"/bin/sh\", \"-c\", \"if test -e " + slow.native() + "; then sleep 1.5; fi\"]);\n"
           "  return polkit.Result.NO;\n});\n";
}

// The installed daemon (systemd-socket-activate starting build/<preset>/VorneloHelper) and the
// signed vornelo-cli run as nobody and as vornelo-b, in a root of the test's own where
// /Applications, /Library, /run/vornelo and the anchor store are temporary folders, with a system
// bus and polkitd of their own.
TEST(HelperRemovalTest, TheInstalledHelperMovesOnlyWhatItMayIntoTheRequestersTrash) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
    World world;
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    const auto policy = test::readFile(VORNELO_SOURCE_DIR "/packaging/polkit/" + right + ".policy");
    const auto outcome = test::runWithPolkit({{{right + ".policy", policy}}, rules(world.base / "slow")}, [&]() -> std::string {
        // The child leaves without running destructors: the helper must not outlive it.
        const std::unique_ptr<World, void (*)(World*)> stopping(&world, [](World* ended) { ended->helper.reset(); });
        if (auto entered = world.enter(); !entered.empty()) return entered;
        if (auto started = world.startHelper("30"); !started.empty()) return started;
        std::string complaints;
        const auto expect = [&](bool holds, const std::string& what) {
            if (!holds) complaints += what + "\n";
        };
        const auto& a = world.a;
        const auto files = a.trash() / "files";

        // Granted: free names in the Trash, the reply maps each path to its place, and every byte
        // requested is where it was or in the Trash, with owner, mode and times.
        makeApp("/Applications/Foo.app", "com.example.foo");
        test::writeFile("/Applications/Foo.app/Contents/MacOS/Foo", "binary");
        ::chmod("/Applications/Foo.app/Contents/MacOS/Foo", 0751);
        test::writeFile("/Library/PrivilegedHelperTools/archive.tar.gz", "tool");
        test::writeFile("/Library/LaunchDaemons/com.example.d.plist", "<plist/>");
        for (const char* taken : {"Foo.app", "Foo 2.app"}) fs::create_directory(files / taken);
        test::writeFile(files / "archive.tar.gz");
        const std::vector<std::string> paths{"/Applications/Foo.app", "/Library/PrivilegedHelperTools/archive.tar.gz",
                                             "/Library/LaunchDaemons/com.example.d.plist", "/Applications/Gone.app",
                                             world.base / "outside/secret"};
        std::map<std::string, std::map<std::string, std::string>> before;
        for (const auto& path : paths) before[path] = manifest(path);
        const auto [grantedCode, granted] = world.remove(a, paths);
        const Json expected = {{"moved", {{paths[0], (files / "Foo 3.app").native()}, {paths[1], (files / "archive.tar 2.gz").native()},
                                          {paths[2], (files / "com.example.d.plist").native()}}},
                               {"failed", {{paths[3], "No longer exists."}, {paths[4], "Outside the locations the helper may modify."}}}};
        expect(grantedCode == 1 && granted == expected, "granted: " + granted.dump());
        for (const auto& path : paths) {
            const auto moved = (granted.is_object() ? granted.value("moved", Json::object()) : Json::object()).value(path, "");
            expect(manifest(moved.empty() ? fs::path(path) : fs::path(moved)) == before[path] &&
                       (moved.empty() || !fs::exists(fs::symlink_status(path))),
                   path + " changed on its way");
        }

        // Serving, it no longer holds the capability it needed only to start listening to exec events.
        const auto status = test::readFile("/proc/" + std::to_string(world.helper->processIdentifier()) + "/status");
        const auto capabilities = [&](const std::string& set) {
            const auto at = status.find(set + ":\t");
            return at == std::string::npos ? 0ULL : std::stoull(status.substr(at + set.size() + 2, 16), nullptr, 16);
        };
        expect((capabilities("CapEff") & (1ULL << 12)) == 0 && (capabilities("CapPrm") & (1ULL << 12)) == 0 &&
                   (capabilities("CapEff") & (1ULL << 1)) != 0,
               "the serving helper's capabilities: " + status.substr(status.find("CapInh"), 90));

        // Refused for vornelo-b while nobody is served at the same time: each connection is its own peer.
        makeApp("/Applications/Bar.app", "com.example.bar");
        makeApp("/Applications/Baz.app", "com.example.baz");
        auto denied = std::async(std::launch::async, [&] { return world.remove(world.b, {"/Applications/Bar.app"}); });
        const auto alongside = world.remove(a, {"/Applications/Baz.app"});
        const auto refused = denied.get();
        expect(refused == std::pair{1, Json{{"moved", Json::object()}, {"failed", {{"/Applications/Bar.app", ConnectionHandler::notApproved}}}}},
               "denied: " + refused.second.dump());
        expect(alongside == std::pair{0, Json{{"moved", {{"/Applications/Baz.app", (files / "Baz.app").native()}}}, {"failed", Json::object()}}},
               "beside the refusal: " + alongside.second.dump());
        expect(fs::exists("/Applications/Bar.app/Contents/Info.plist") && fs::is_empty(world.b.trash() / "files"), "a refused item moved");
        expect(world.logged("request from uid 64000 refused: no administrator authorization") &&
                   world.logged("authorization not granted: " + std::to_string(platform::errAuthorizationDenied)),
               "the refusal was not logged");

        // 501 paths are refused as a whole; 500 each get their answer (one in fifty exists).
        std::vector<std::string> many;
        for (int index = 0; index <= 500; ++index) {
            many.push_back("/Applications/App " + std::to_string(index) + ".app");
            if (index % 50 == 0) makeApp(many.back(), "com.example.app" + std::to_string(index));
        }
        const auto [tooManyCode, tooMany] = world.remove(a, many);
        expect(tooManyCode == 1 && tooMany["moved"].empty() && tooMany["failed"].size() == 501 &&
                   tooMany["failed"][many[0]] == ConnectionHandler::tooMany && fs::exists(many[0]),
               "501 paths: " + tooMany.dump().substr(0, 300));
        many.pop_back();
        const auto [handledCode, handled] = world.remove(a, many);
        expect(handledCode == 1 && handled["moved"].size() == 10 && handled["failed"].size() == 490 &&
                   handled["failed"][many[1]] == "No longer exists." && fs::exists(files / "App 450.app/Contents/Info.plist") &&
                   fs::exists("/Applications/App 500.app"),
               "500 paths: " + handled.dump().substr(0, 300));

        // Links swapped in on the way (inside the item, or for the item) and for the Trash or its
        // files folder, in loops against many requests: nothing outside the Trash moves, and nothing
        // outside the item is copied into it.
        const auto outside = (world.base / "outside").native();
        const auto untouched = manifest(outside);
        const std::string plist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.swap</string></dict></plist>";
        auto applications = platform::Subprocess::spawn("/bin/sh", {"-c",
            "cd /Applications; while :; do mkdir -p Swap.app/Contents; echo '" + plist + "' > Swap.app/Contents/Info.plist; sleep 0.005; "
            "rm -rf Swap.app/Contents; ln -s " + outside + " Swap.app/Contents; rm -rf Swap.app; ln -s " + outside + " Swap.app; rm -f Swap.app; done"});
        auto trash = platform::Subprocess::spawn("/usr/bin/setpriv", {"--reuid=" + std::to_string(a.uid), "--regid=" + std::to_string(a.gid),
            "--clear-groups", "/bin/sh", "-c", "cd " + a.home.native() + "/.local/share; while :; do mv Trash T && ln -s " + outside +
            " Trash; rm -f Trash; mv T Trash; mv Trash/files Trash/f && ln -s " + outside + " Trash/files; rm -f Trash/files; mv Trash/f Trash/files; sleep 0.01; done"});
        std::string requests;
        for (int request = 0; request < 100; ++request) requests += removal({"/Applications/Swap.app"});
        const auto swapped = world.rawReplies(a, requests);
        for (auto* swapper : {&applications, &trash}) {
            if (!*swapper) continue;
            (*swapper)->kill();
            while ((*swapper)->isRunning()) std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(50ms);  // a last mv or ln of the killed loop ends
        const auto share = a.home / ".local/share";
        if (fs::is_symlink(share / "Trash") || !fs::exists(share / "Trash")) fs::remove(share / "Trash"), fs::rename(share / "T", share / "Trash");
        if (fs::is_symlink(files) || !fs::exists(files)) fs::remove(files), fs::rename(share / "Trash/f", files);
        expect(applications && trash && swapped.size() == 100, "the swapping ran " + std::to_string(swapped.size()) + " requests");
        expect(manifest(outside) == untouched, "something outside the Trash moved");
        for (const auto& entry : fs::recursive_directory_iterator(a.home)) {
            expect(!entry.is_regular_file() || test::readFile(entry.path()) != "root's secret", "copied into the Trash: " + entry.path().native());
        }
        for (const auto& reply : swapped) {
            const auto moved = reply.value("parameters", Json::object()).value("moved", Json::object());
            for (const auto& place : moved) {
                expect(place.is_string() && place.get<std::string>().starts_with(files.native() + "/"), "moved outside the Trash: " + place.dump());
            }
        }

        // A Trash that is a link or someone else's refuses everything; a form of the wrong size or
        // made by another process is refused without asking polkit.
        makeApp("/Applications/Kept.app", "com.example.kept");
        const auto restore = [&] {
            if (fs::is_symlink(a.trash())) fs::remove(a.trash()), fs::rename(a.home / "RealTrash", a.trash());
            ::chown(a.trash().c_str(), a.uid, a.gid);
        };
        const auto foreign = platform::Base64::encode(*platform::Authorization().externalFormOfThisProcess());
        const struct {
            const char* what;
            std::function<void()> arrange;
            std::string form;
            std::string_view reason;
            std::string logLine;
        } refusals[] = {
            {"a Trash that is a link", [&] { fs::rename(a.trash(), a.home / "RealTrash"), fs::create_directory_symlink(a.home / "RealTrash", a.trash()); },
             "@FORM@", ConnectionHandler::noTrash, "no usable Trash for uid " + std::to_string(a.uid) + ": "},
            {"someone else's Trash", [&] { ::chown(a.trash().c_str(), world.b.uid, world.b.gid); }, "@FORM@", ConnectionHandler::noTrash,
             "no usable Trash for uid " + std::to_string(a.uid) + ": "},
            {"a form a byte short", [] {}, "@SHORT@", ConnectionHandler::notApproved, "authorization blob has the wrong size: 31"},
            {"another process's form", [] {}, foreign, ConnectionHandler::notApproved,
             "could not read the app's authorization: " + std::to_string(platform::errAuthorizationInvalidRef)},
        };
        for (const auto& refusal : refusals) {
            const auto asked = world.logged("authorization not granted");
            const auto lines = world.log().size();
            refusal.arrange();
            const auto replies = world.rawReplies(a, removal({"/Applications/Kept.app"}, refusal.form));
            restore();
            const auto added = world.log();
            expect(replies.size() == 1 && replies[0]["parameters"] == Json{{"moved", Json::object()}, {"failed", {{"/Applications/Kept.app", refusal.reason}}}} &&
                       fs::exists("/Applications/Kept.app/Contents/Info.plist") && world.logged("authorization not granted") == asked &&
                       std::any_of(added.begin() + static_cast<std::ptrdiff_t>(std::min(lines, added.size())), added.end(),
                                   [&](const std::string& line) { return line.starts_with(refusal.logLine); }),
                   std::string(refusal.what) + ": " + (replies.empty() ? "no reply" : replies[0].dump()));
        }

        // Garbage, an oversized message and a half-sent one close only their own connection: the
        // call after them is never answered, the helper serves the next client, unsigned ones never.
        const struct {
            const char* what;
            std::string bytes;
            std::size_t versions;
        } wire[] = {
            {"garbage", std::string("{\"method\":", 10) + '\0' + versionCall, 0},
            {"an oversized message", std::string(4 * 1024 * 1024 + 1, 'x') + '\0' + versionCall, 0},
            {"a half-sent message", versionCall + versionCall.substr(0, 20), 1},
        };
        for (const auto& bad : wire) {
            const auto replies = world.rawReplies(a, bad.bytes);
            const auto versions = std::ranges::count_if(replies, [](const Json& reply) { return reply["parameters"].contains("version"); });
            expect(static_cast<std::size_t>(versions) == bad.versions, std::string(bad.what) + ": " + std::to_string(replies.size()) + " replies");
        }
        const auto linesBeforeVersions = world.log().size();
        const auto none = "/run/vornelo/none";
        const struct {
            fs::path program;
            std::vector<std::string> arguments;
            int exitCode;
            std::string out;
            std::string err;
        } clients[] = {
            {world.cli, {"helper", "version", "--socket", world.socket}, 0, "The helper at " + world.socket + " speaks protocol version 1.\n", ""},
            {VORNELO_CLI_PATH, {"helper", "version", "--socket", world.socket}, 1, "", "vornelo-cli: The helper at " + world.socket + " did not answer: "},
            {world.cli, {"helper", "remove", "--socket", none, "/Applications/Kept.app"}, 1, "",
             "vornelo-cli: The helper is not installed: there is no socket at " + std::string(none) +
                 " (an administrator enables it with systemctl enable --now vornelo-helper.socket).\n"},
            {VORNELO_HELPER_PATH, {"--idle-after", "0"}, 2, "", "VorneloHelper: --idle-after takes seconds above 0 and at most 86400, not \"0\".\n"},
        };
        for (const auto& client : clients) {
            std::vector<std::string> command{client.program};
            command.insert(command.end(), client.arguments.begin(), client.arguments.end());
            const auto result = world.as(a, command);
            expect(result.exitCode == client.exitCode && result.out == client.out && result.err.starts_with(client.err),
                   client.program.filename().native() + " " + client.arguments[0] + " gave " + std::to_string(result.exitCode) + " [" +
                       result.out + "] [" + result.err + "]");
        }
        expect(world.rawReplies(a, versionCall).size() == 1, "the raw client was not answered");
        expect(test::runProgram(fs::read_symlink("/proc/self/exe"), {}, {{"VORNELO_TEST_RAW_CLIENT", world.socket}, {"VORNELO_TEST_RAW_INPUT", world.rawInput}}).out.empty(),
               "an unsigned client was answered");
        expect(world.log().size() == linesBeforeVersions, "version calls or unsigned clients left lines in the log");

        // polkit's text agent runs only on a terminal, and ends with the request.
        expect(!fs::exists(world.base / "bin/agent.log"), "an agent was started without a terminal");
        makeApp("/Applications/Term.app", "com.example.term");
        const auto onTerminal = world.as(a, {"/usr/bin/script", "-qec", world.cli.native() + " helper remove --socket " + world.socket + " /Applications/Term.app", "/dev/null"});
        expect(onTerminal.exitCode == 0 && !fs::exists("/Applications/Term.app") &&
                   std::regex_match(test::readFile(world.base / "bin/agent.log"),
                                    std::regex("--process [0-9]+,[0-9]+ --notify-fd [0-9]+ --fallback\nended\n")),
               "on a terminal: " + onTerminal.out + onTerminal.err + " agent: " +
                   (fs::exists(world.base / "bin/agent.log") ? test::readFile(world.base / "bin/agent.log") : "never started"));

        // Idle: never during a request (vornelo-b's now takes 1.5 s, more than the idle time), gone
        // within one and a half idle times after it, and the next connection starts it again.
        world.helper.reset();
        if (auto started = world.startHelper("1"); !started.empty()) return complaints + started;
        makeApp("/Applications/Slow.app", "com.example.slow");
        test::writeFile(world.base / "slow");
        const auto asked = SteadyClock::now();
        const auto slow = world.remove(world.b, {"/Applications/Slow.app"});
        const auto answered = SteadyClock::now();
        expect(slow.second == Json{{"moved", Json::object()}, {"failed", {{"/Applications/Slow.app", ConnectionHandler::notApproved}}}},
               "the slow request: " + slow.second.dump());
        while (world.helper->isRunning() && SteadyClock::now() - answered < 5s) std::this_thread::sleep_for(2ms);
        const auto exited = SteadyClock::now();
        expect(world.helper->hasExited() && !world.helper->terminatedBySignal() && world.helper->terminationStatus() == 0 &&
                   exited - asked > 2500ms && exited - answered < 2500ms,
               "idle exit " + std::to_string((exited - answered) / 1ms) + " ms after the reply");
        if (auto started = world.startHelper("30"); !started.empty()) return complaints + started;
        expect(world.as(a, {world.cli, "helper", "version", "--socket", world.socket}).exitCode == 0 &&
                   world.logged("helper started") == 3,
               "not started again");

        if (complaints.empty()) return complaints;
        const auto lines = world.log();
        complaints += "log:\n";
        for (auto line = lines.end() - std::min<std::ptrdiff_t>(40, std::ssize(lines)); line != lines.end(); ++line) complaints += *line + "\n";
        return complaints;
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::helper
