#include "Core/PrivilegedHelperConstants.h"
#include "Helper/ConnectionHandler.h"
#include "Core/HelperInterface.h"
#include "Platform/Authorization/Authorization.h"
#include "Platform/Encoding/Base64.h"
#include "Platform/Identity/ProcessHardening.h"
#include "Platform/Processes/Subprocess.h"
#include "Support/PolkitSandbox.h"
#include "Support/PrivateRoot.h"
#include "Support/SignedClient.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <fstream>
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

// Client modes of this program, chosen by VORNELO_TEST_CLIENT (the socket in VORNELO_TEST_SOCKET):
// "call" asks for the version and exits 0 when answered; "turn-dumpable" gives up dumpability,
// is answered once (else exits 4), takes dumpability back and exits 0 when answered again;
// "connect-exec" connects (descriptor 3, kept across exec), queues a removal at once when
// VORNELO_TEST_EARLY is set, waits until the helper has judged it, then execs VORNELO_TEST_EXEC;
// "send" sends a removal on descriptor 3 and exits 0 when answered, having first given up
// dumpability when VORNELO_TEST_NONDUMPABLE is set. Any other outcome exits 3.
const bool runsAsClient = [] {
    const char* mode = std::getenv("VORNELO_TEST_CLIENT");
    const char* socket = std::getenv("VORNELO_TEST_SOCKET");
    if (mode == nullptr || socket == nullptr) return false;
    const std::string removal = Json{{"method", std::string(HelperInterface::removeItemsMethod)},
                                     {"parameters", {{"paths", {"/Applications/A.app"}}, {"authorization", ""}}}}
                                    .dump() + std::string(1, '\0');
    const auto answered = [](int fd) {
        char byte;
        return !test::closedByPeer(fd) && ::recv(fd, &byte, 1, 0) == 1;
    };
    const std::string_view chosen(mode);
    const auto send = [&](int fd) { return ::send(fd, removal.data(), removal.size(), MSG_NOSIGNAL) > 0; };
    if (chosen == "send" && std::getenv("VORNELO_TEST_NONDUMPABLE") != nullptr) ::prctl(PR_SET_DUMPABLE, 0);
    if (chosen == "send") std::_Exit(send(3) && answered(3) ? 0 : 3);
    if (chosen == "turn-dumpable") ::prctl(PR_SET_DUMPABLE, 0);
    auto client = platform::VarlinkClient::connect(socket);
    if (!client) std::_Exit(3);
    const auto version = [&] { return client->call(HelperInterface::helperVersionMethod, Json::object()).has_value(); };
    if (chosen == "call") std::_Exit(version() ? 0 : 3);
    if (chosen == "turn-dumpable") {
        if (!version()) std::_Exit(4);
        ::prctl(PR_SET_DUMPABLE, 1);
        std::_Exit(version() ? 0 : 3);
    }
    ::dup2(client->fd(), 3);
    ::fcntl(3, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
    // Whether the bytes are still queued when the helper accepts is the helper's race to win.
    if (std::getenv("VORNELO_TEST_EARLY") != nullptr) send(3);
    std::this_thread::sleep_for(300ms);
    const char* next = std::getenv("VORNELO_TEST_EXEC");
    ::setenv("VORNELO_TEST_CLIENT", "send", 1);
    ::execl(next, next, "helper", "version", "--socket", socket, nullptr);
    std::_Exit(3);
}();

// Started with VORNELO_TEST_RAW_CLIENT naming a socket, a signed copy of this program is a client
// that speaks bytes: it sends the file VORNELO_TEST_RAW_INPUT names as it is ("@FORM@" and
// "@SHORT@" become its own authorization in base64, whole or a byte short), ends its side, prints
// all it is answered, and exits 1 when that is nothing.
const bool runsAsRawClient = [] {
    const char* socketPath = std::getenv("VORNELO_TEST_RAW_CLIENT");
    if (socketPath == nullptr) return false;
    platform::ProcessHardening::forbidAttaching();
    std::string input = test::readFile(std::getenv("VORNELO_TEST_RAW_INPUT"));
    if (const auto form = platform::Authorization().externalFormOfThisProcess()) {
        replaceAll(input, "@FORM@", platform::Base64::encode(*form));
        replaceAll(input, "@SHORT@", platform::Base64::encode(std::span(form->data(), form->size() - 1)));
    }
    const auto client = platform::VarlinkClient::connect(socketPath);
    if (!client) std::_Exit(3);
    const int fd = client->fd();
    // With VORNELO_TEST_TRICKLE_MS it sends a byte at a time, that many milliseconds apart, and
    // prints how long after the first byte the helper closed the connection.
    if (const char* pause = std::getenv("VORNELO_TEST_TRICKLE_MS")) {
        const auto began = SteadyClock::now();
        for (const char byte : input) {
            if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1 || test::closedByPeer(fd, std::atoi(pause))) {
                std::cout << (SteadyClock::now() - began) / 1ms << std::flush;
                std::_Exit(0);
            }
        }
        std::_Exit(1);
    }
    for (std::size_t done = 0; done < input.size();) {
        const auto put = ::send(fd, input.data() + done, input.size() - done, MSG_NOSIGNAL);
        if (put <= 0) break;  // closed for cause
        done += static_cast<std::size_t>(put);
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[65536];
    bool answered = false;
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0; answered = true) std::cout.write(buffer, got);
    std::cout.flush();
    std::_Exit(answered ? 0 : 1);
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
        for (const char* folder : {"apps", "run", "newroot", "Library/LaunchDaemons", "Library/PrivilegedHelperTools", "outside", "bin", "log",
                                   "opt", "local/bin", "local/sbin", "local/share/applications", "units", "dpkg/info", "dpkg/updates",
                                   "flatpak/app/org.example.App"}) {
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
        // A stand-in for systemctl that notes its arguments, and a package database of one package.
        test::writeFile(base / "systemctl", "#!/bin/sh\necho \"$@\" >> " + (base / "bin/systemctl.log").native() + "\n");
        ::chmod((base / "systemctl").c_str(), 0755);
        test::writeFile(base / "dpkg/status", "Package: vendor-tools\nStatus: install ok installed\nVersion: 1.0\nArchitecture: all\n"
                                              "Maintainer: V <v@example.com>\nDescription: tools\n\n");
        test::writeFile(base / "dpkg/info/vendor-tools.list", "/opt\n/opt/packaged\n/opt/packaged/bin\n/opt/packaged/bin/run\n"
                                                              "/usr/local/bin/packaged-tool\n");
        std::string passwd = std::regex_replace(test::readFile("/etc/passwd"), std::regex("\nnobody:([^:]*:[^:]*:[^:]*:[^:]*):[^:]*:"),
                                                "\nnobody:$1:" + a.home.native() + ":");
        for (uid_t uid = 64001; uid < 64008; ++uid) refused.push_back(User{uid, uid, base / ("home-" + std::to_string(uid))});
        passwd += "vornelo-b:x:64000:64000::" + b.home.native() + ":/usr/sbin/nologin\n";
        for (const auto& user : refused) {
            passwd += "vornelo-" + std::to_string(user.uid) + ":x:" + std::to_string(user.uid) + ":" + std::to_string(user.gid) + "::" +
                      user.home.native() + ":/usr/sbin/nologin\n";
        }
        test::writeFile(base / "passwd", passwd);
        std::vector<const User*> everyone{&a, &b};
        for (const auto& user : refused) everyone.push_back(&user);
        for (const auto* user : everyone) {
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
        if (auto bound = test::bindMount(base / "systemctl", "/usr/bin/systemctl"); !bound.empty()) return bound;
        if (::mount("tmpfs", (base / "apps").c_str(), "tmpfs", 0, "mode=0755") != 0) return "no tmpfs for the applications";
        return test::enterPrivateRoot({{"/Applications", base / "apps"},
                                       {"/Library", base / "Library"},
                                       {"/run/vornelo", base / "run"},
                                       {"/var/log/vornelo", base / "log"},
                                       {"/opt", base / "opt"},
                                       {"/usr/local", base / "local"},
                                       {"/etc/systemd/system", base / "units"},
                                       {"/var/lib/dpkg", base / "dpkg"},
                                       {"/var/lib/flatpak", base / "flatpak"},
                                       {"/etc/code-signing", signing.folder}},
                                      base / "newroot");
    }

    // systemd-socket-activate on the helper's socket, which execs the helper on the first connection;
    // without the kernel's process events when in a network namespace of its own.
    std::string startHelper(const std::string& idleAfter, bool events = true) {
        fs::remove(socket);
        std::vector<std::string> command{"/usr/bin/systemd-socket-activate", "-l", socket, VORNELO_HELPER_PATH, "--idle-after", idleAfter};
        if (!events) command.insert(command.begin(), "--net");
        auto started = platform::Subprocess::spawn(events ? command[0] : "/usr/bin/unshare", {command.begin() + 1, command.end()});
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

    test::ProgramResult as(const User& user, const std::vector<std::string>& command, std::map<std::string, std::string> environment = {}) const {
        std::vector<std::string> arguments{"--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid), "--clear-groups"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        environment.merge(std::map<std::string, std::string>{{"HOME", user.home}, {"PATH", (base / "bin").native() + ":/usr/bin:/bin"},
                                                             {"VORNELO_TEST_RAW_CLIENT", socket}, {"VORNELO_TEST_RAW_INPUT", rawInput}});
        return test::runProgram("/usr/bin/setpriv", arguments, environment);
    }
    // `helper remove --json` through the signed client: its exit code and its document.
    std::pair<int, Json> remove(const User& user, const std::vector<std::string>& paths, const std::vector<std::string>& options = {}) const {
        std::vector<std::string> command{cli, "--json", "helper", "remove", "--socket", socket};
        command.insert(command.end(), options.begin(), options.end());
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
    std::vector<std::string> log() const { return test::logMessages(base / "log/helper.log"); }
    std::size_t logged(const std::string& start) const {
        return static_cast<std::size_t>(std::ranges::count_if(log(), [&](const std::string& line) { return line.starts_with(start); }));
    }

    test::TempDirectory base{"vornelo-e2e"};
    test::ClientSigning signing{base / "signing"};
    fs::path cli = signing.signedCopy("vornelo-cli", signing.leaf);
    fs::path raw = signing.signedCopy("raw-client", signing.leaf, "com.tessaldon.Vornelo", "/proc/self/exe");
    User a{test::unprivilegedAccount().uid, test::unprivilegedAccount().gid, base / "home-a"};
    User b{64000, 64000, base / "home-b"};
    std::vector<User> refused;  // seven more whom polkit refuses, as it refuses b
    std::string socket{HelperInterface::socketPath};
    fs::path rawInput = base / "raw-input";
    std::optional<platform::Subprocess> helper;
};

void makeApp(const fs::path& app, const std::string& identifier) {
    fs::create_directories(app / "Contents/MacOS");
    test::writeFile(app / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                                                 "</key><string>" + identifier + "</string></dict></plist>");
}

// Clients of the running helper, as root and as nobody: the signed client and the command-line
// mistakes it and the helper answer, then signatures that must not pass and the attacks of the
// client check's threat model (client modes above). Each exits 0 when served and begins its output
// with what is `said`; a refused one never reaches a handler, so the log gains no line.
std::string tryClients(const World& world, const std::string& mode) {
    using test::CertificateProfile;
    const auto& kit = world.signing;
    const auto pki = kit.folder / "pki";
    const auto otherUnit = test::makeCertificate(pki, "unit", CertificateProfile::signer("Q9Q9Q9Q9Q9"), kit.anchor);
    const auto expired = test::makeCertificate(pki, "expired", CertificateProfile::signer("K7Q2M8X4ZD", -10, -1), kit.anchor);
    const auto stranger = test::makeCertificate(pki, "stranger", CertificateProfile::anchor("Stranger"));
    const auto strangerLeaf = test::makeCertificate(pki, "stranger-leaf", CertificateProfile::signer("K7Q2M8X4ZD"), stranger);
    const auto tampered = kit.signedCopy("tampered", kit.leaf);
    test::flipLastByte(tampered.native() + ".sig");
    const auto modified = kit.signedCopy("modified", kit.leaf);
    std::ofstream(modified, std::ios::app) << '\n';
    // What the unsigned copy of this program sends as a raw client: introspection and a removal.
    test::writeFile(world.rawInput, Json{{"method", "org.varlink.service.GetInfo"}}.dump() + '\0' + removal({"/Applications/Kept.app"}));
    const User root{0, 0, world.base.path()};
    const auto self = fs::read_symlink("/proc/self/exe");
    const std::vector<std::string> version{"helper", "version", "--socket", world.socket};
    const std::string none = "/run/vornelo/none";
    using Environment = std::map<std::string, std::string>;
    const Environment call{{"VORNELO_TEST_CLIENT", "call"}, {"VORNELO_TEST_SOCKET", world.socket}};
    const Environment turning{{"VORNELO_TEST_CLIENT", "turn-dumpable"}, {"VORNELO_TEST_SOCKET", world.socket}};
    Environment late{{"VORNELO_TEST_CLIENT", "connect-exec"}, {"VORNELO_TEST_SOCKET", world.socket}, {"VORNELO_TEST_EXEC", self}};
    auto lateHidden = late;
    lateHidden["VORNELO_TEST_NONDUMPABLE"] = "1";
    auto early = late;
    early["VORNELO_TEST_EARLY"] = "1";
    early["VORNELO_TEST_EXEC"] = world.cli;
    const struct {
        const char* what;
        fs::path program;
        std::vector<std::string> arguments;
        Environment environment;
        const User& user;
        int exitCode;
        std::string said;
    } cases[] = {
        {"the signed client", world.cli, version, {}, world.a, 0, "The helper at " + world.socket + " speaks protocol version 1.\n"},
        {"the signed client as root", world.cli, version, {}, root, 0, ""},
        {"the signed client without a helper", world.cli, {"helper", "remove", "--socket", none, "/Applications/Kept.app"}, {}, world.a, 1,
         "vornelo-cli: The helper is not installed: there is no socket at " + none +
             " (an administrator enables it with systemctl enable --now vornelo-helper.socket).\n"},
        {"the helper told to idle for no time", VORNELO_HELPER_PATH, {"--idle-after", "0"}, {}, world.a, 2,
         "VorneloHelper: --idle-after takes seconds above 0 and at most 86400, not \"0\".\n"},
        {"no signature", VORNELO_CLI_PATH, version, {}, world.a, 1, "vornelo-cli: This vornelo-cli is not signed for the helper, which closed the connection ("},
        {"no signature on this program", self, {}, {}, root, 1, ""},
        {"another unit", kit.signedCopy("unit", otherUnit), version, {}, root, 1, ""},
        {"another identifier", kit.signedCopy("identifier", kit.leaf, "com.tessaldon.Other"), version, {}, root, 1, ""},
        {"an anchor not in the store", kit.signedCopy("stranger", strangerLeaf), version, {}, root, 1, ""},
        {"an expired signer", kit.signedCopy("expired", expired), version, {}, root, 1, ""},
        {"a tampered signature", tampered, version, {}, root, 1, ""},
        {"a modified executable", modified, version, {}, root, 1, ""},
        {"LD_PRELOAD into the signed client", world.cli, version, {{"LD_PRELOAD", "libm.so.6"}}, root, 1, ""},
        {"a signed client of ours", world.raw, {}, call, root, 0, ""},
        {"a dumpable signed client", world.raw, {}, call, world.a, 3, ""},
        // Connects and queues a removal as itself, then becomes the signed client, whose own
        // connection is served: the queued removal never reaches a handler (no log line).
        {"an unsigned process that execs the signed client", self, {}, early, root, 0, ""},
        // Passes at accept time, then execs unsigned code that sends on the same connection.
        {"a signed process that execs unsigned code", world.raw, {}, late, root, 3, ""},
        // The same well within the second between full checks, and not attachable, so only
        // noticing the exec itself refuses it.
        {"a signed process that execs unsigned non-dumpable code", world.raw, {}, lateHidden, root, 3, ""},
        // Served while not dumpable, refused as soon as it is.
        {"a signed client that turns dumpable after it was served", world.raw, {}, turning, world.a, 3, ""},
    };
    std::string complaints;
    const auto lines = world.log().size();
    for (const auto& c : cases) {
        std::vector<std::string> command{c.program};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        const auto result = world.as(c.user, command, c.environment);
        if (result.exitCode != c.exitCode || !(result.out + result.err).starts_with(c.said)) {
            complaints += mode + c.what + " exited " + std::to_string(result.exitCode) + " [" + result.out + "] [" + result.err + "]\n";
        }
    }
    if (world.log().size() != lines) complaints += mode + "the helper logged a refused peer or a version call\n";
    return complaints;
}

// Eight refused users send eight requests each at once, each as long as a message may be (about
// 300,000 short paths). The helper's peak memory (reset before) must stay under 64 MiB, and each
// request is refused for its first 501 paths. Prints the peak. (A sanitized build tries less.)
std::string attackWithLongRefusedRequests(World& world) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitized helper parses some twenty times slower: fewer and shorter requests, within their time.
    constexpr int perUser = 1;
    constexpr std::size_t length = 256 * 1024;
#else
    constexpr int perUser = 8;
    constexpr std::size_t length = 4 * 1024 * 1024;
#endif
    std::string request = R"({"method":")" + std::string(HelperInterface::removeItemsMethod) + R"(","parameters":{"authorization":"@FORM@","paths":[)";
    for (std::size_t index = 0; request.size() + 64 < length; ++index) {
        request += (index ? ",\"/a/" : "\"/a/") + std::to_string(1000000 + index) + "\"";
    }
    request += "]}}";
    const auto attack = world.base / "attack";
    test::writeFile(attack, request + '\0');
    const auto helper = std::to_string(world.helper->processIdentifier());
    test::writeFile("/proc/" + helper + "/clear_refs", "5");  // the peak from here on
    std::vector<const User*> attackers{&world.b};
    for (const auto& user : world.refused) attackers.push_back(&user);
    std::vector<std::future<test::ProgramResult>> requests;
    for (const auto* user : attackers) {
        for (int connection = 0; connection < perUser; ++connection) {
            requests.push_back(std::async(std::launch::async, [&, user] { return world.as(*user, {world.raw}, {{"VORNELO_TEST_RAW_INPUT", attack}}); }));
        }
    }
    std::size_t refusedWhole = 0;
    for (auto& answer : requests) {
        const auto result = answer.get();
        const auto reply = Json::parse(result.out.substr(0, result.out.find('\0')), nullptr, false);
        const auto failed = reply.is_object() ? reply["parameters"].value("failed", Json::object()) : Json::object();
        if (failed.size() == 501 && failed.value("/a/1000000", "") == ConnectionHandler::notApproved) ++refusedWhole;
    }
    const auto status = test::readFile("/proc/" + helper + "/status");
    const auto peak = std::stoull(status.substr(status.find("VmHWM:") + 6)) * 1024;
    std::cerr << "helper peak memory while " << requests.size() << " refused requests of " << length / 1024 << " KiB were served: " << peak / 1024 << " KiB\n";
    std::string complaints;
    if (refusedWhole != requests.size()) {
        complaints += std::to_string(refusedWhole) + " of " + std::to_string(requests.size()) + " long requests refused for their first 501 paths\n";
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // a sanitizer's own memory is no measure
    if (peak >= 64 * 1024 * 1024) complaints += "the helper's peak memory reached " + std::to_string(peak) + " bytes\n";
#endif
    return complaints;
}

// A client that sends a byte a second, started now; what its end says, once it has ended: cut
// off 10 seconds after its first byte (the connection's), whatever else goes on meanwhile.
std::function<std::string()> trickleOneByteASecond(World& world) {
    const auto trickle = world.base / "trickle";
    test::writeFile(trickle, removal({"/Applications/Slow.app"}));
    auto slow = std::make_shared<std::future<test::ProgramResult>>(std::async(std::launch::async, [&world, trickle] {
        return world.as(world.a, {world.raw}, {{"VORNELO_TEST_RAW_INPUT", trickle}, {"VORNELO_TEST_TRICKLE_MS", "1000"}});
    }));
    return [slow]() -> std::string {
        const auto ended = slow->get();
        std::cerr << "a client sending a byte a second was cut off after " << ended.out << " ms\n";
        const auto after = ended.exitCode == 0 ? std::stol(ended.out) : 0;
        if (after >= 10000 && after <= 11500) return {};
        return "a byte a second was cut off after [" + ended.out + "] ms\n";
    };
}

// Nobody's requests are approved; vornelo-b's are refused, after an administrator's long look
// while `slow` exists.
std::string rules(const fs::path& slow) {
    return "polkit.addRule(function(action, subject) {\n  if (action.id != \"" + std::string(PrivilegedHelperConstants::authorizationRight) +
           "\") return;\n  if (subject.user == \"nobody\") return polkit.Result.YES;\n"
           "  polkit.spawn([\"/bin/sh\", \"-c\", \"if test -e " + slow.native() + "; then sleep 1.5; fi\"]);\n"
           "  return polkit.Result.NO;\n});\n";
}

using Expect = std::function<void(bool holds, const std::string& what)>;

// Runs `body` as root in the world's root with its own bus and polkitd (granting the helper's right
// by the slow rule) and the installed helper started; `expect` notes what did not hold.
test::ChildOutcome withInstalledHelper(World& world, const std::function<std::string(std::string&, const Expect&)>& body) {
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    const auto policy = test::readFile(VORNELO_SOURCE_DIR "/packaging/polkit/" + right + ".policy");
    return test::runWithPolkit({{{right + ".policy", policy}}, rules(world.base / "slow")}, [&]() -> std::string {
        // The child leaves without running destructors: the helper must not outlive it.
        const std::unique_ptr<World, void (*)(World*)> stopping(&world, [](World* ended) { ended->helper.reset(); });
        if (auto entered = world.enter(); !entered.empty()) return entered;
        if (auto started = world.startHelper("30"); !started.empty()) return started;
        std::string complaints;
        const Expect expect = [&](bool holds, const std::string& what) {
            if (!holds) complaints += what + "\n";
        };
        return body(complaints, expect);
    });
}

// The installed daemon (systemd-socket-activate starting build/<preset>/VorneloHelper) and the
// signed vornelo-cli run as nobody and as vornelo-b, in a root of the test's own where
// /Applications, /Library, /run/vornelo and the anchor store are temporary folders, with a system
// bus and polkitd of their own.
TEST(HelperRemovalTest, TheInstalledHelperMovesOnlyWhatItMayIntoTheRequestersTrash) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
    World world;
    const auto outcome = withInstalledHelper(world, [&](std::string& complaints, const Expect& expect) -> std::string {
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

        // Root-owned items the requester has renamed to every name under which a copy across file
        // systems could once be made (the helper's pid and a counter), then a removal that copies
        // again: not one of them goes, and the copy leaves nothing of its own behind.
        std::vector<fs::path> planted;
        for (int counter = 0; counter < 50; ++counter) {
            planted.push_back(files / (".vornelo-copy-" + std::to_string(world.helper->processIdentifier()) + "-" + std::to_string(counter)));
            test::writeFile(planted.back() / "Contents/kept", "root's");
        }
        makeApp("/Applications/Copied.app", "com.example.copied");
        const auto copied = world.remove(a, {"/Applications/Copied.app"});
        expect(copied == std::pair{0, Json{{"moved", {{"/Applications/Copied.app", (files / "Copied.app").native()}}}, {"failed", Json::object()}}},
               "copied beside planted names: " + copied.second.dump());
        expect(std::ranges::all_of(planted, [](const fs::path& item) { return fs::exists(item / "Contents/kept"); }), "the helper removed a planted item");
        for (const auto& item : planted) fs::remove_all(item);
        for (const auto& entry : fs::directory_iterator(files)) {
            expect(!entry.path().filename().native().starts_with(".vornelo-"), "left behind: " + entry.path().native());
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

        // Introspection names the release, as VorneloHelper --version prints it.
        const auto info = world.rawReplies(a, Json{{"method", "org.varlink.service.GetInfo"}}.dump() + '\0');
        expect(info.size() == 1 && info[0].is_object() && info[0].value("parameters", Json::object()).value("version", "") == VORNELO_VERSION,
               "GetInfo: " + (info.empty() ? std::string("no reply") : info[0].dump()));

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
        complaints += attackWithLongRefusedRequests(world);
        const auto trickled = trickleOneByteASecond(world);

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
        const auto realHome = world.base / "real-home-a";
        const auto restore = [&] {
            if (fs::is_symlink(a.home)) fs::remove(a.home), fs::rename(realHome, a.home);
            if (fs::is_symlink(a.trash())) fs::remove(a.trash()), fs::rename(a.home / "RealTrash", a.trash());
            ::chown(a.trash().c_str(), a.uid, a.gid);
            ::chown(a.home.c_str(), a.uid, a.gid);
        };
        const auto notTheirHome = "no usable Trash for uid " + std::to_string(a.uid) + ": The home folder \u201C" + a.home.native() + "\u201D is not";
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
            {"a home owned by root", [&] { ::chown(a.home.c_str(), 0, 0); }, "@FORM@", ConnectionHandler::noTrash, notTheirHome},
            {"a home that is the requester's own link", [&] {
                 fs::rename(a.home, realHome), fs::create_directory_symlink(realHome, a.home), ::lchown(a.home.c_str(), a.uid, a.gid);
             }, "@FORM@", ConnectionHandler::noTrash, notTheirHome},
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
        // call after them is never answered, and the helper serves the next client.
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
        complaints += tryClients(world, "");

        // polkit's text agent runs only on a terminal, and ends with the request.
        expect(!fs::exists(world.base / "bin/agent.log"), "an agent was started without a terminal");
        makeApp("/Applications/Term.app", "com.example.term");
        const auto onTerminal = world.as(a, {"/usr/bin/script", "-qec", world.cli.native() + " helper remove --socket " + world.socket + " /Applications/Term.app", "/dev/null"});
        expect(onTerminal.exitCode == 0 && !fs::exists("/Applications/Term.app") &&
                   std::regex_match(test::readFile(world.base / "bin/agent.log"),
                                    std::regex("--process [0-9]+,[0-9]+ --notify-fd [0-9]+ --fallback\nended\n")),
               "on a terminal: " + onTerminal.out + onTerminal.err + " agent: " +
                   (fs::exists(world.base / "bin/agent.log") ? test::readFile(world.base / "bin/agent.log") : "never started"));

        complaints += trickled();

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
        if (auto started = world.startHelper("30", false); !started.empty()) return complaints + started;
        expect(world.as(a, {world.cli, "helper", "version", "--socket", world.socket}).exitCode == 0 &&
                   world.logged("helper started") == 3,
               "not started again");
        complaints += tryClients(world, "without process events: ");

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

namespace vornelo::helper {
namespace {

// The Linux places, in the same kind of root of the test's own: /opt, /usr/local, /etc/systemd/system,
// /var/lib/flatpak and the package database (one package, vendor-tools) are the test's folders, and
// systemctl a stand-in that notes its arguments.
TEST(HelperRemovalTest, TheInstalledHelperMovesLinuxSoftwareButNothingAPackageOrTheSystemOwns) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
    World world;
    const auto outcome = withInstalledHelper(world, [&](std::string& complaints, const Expect& expect) -> std::string {
        const auto files = world.a.trash() / "files";
        fs::create_directories("/opt/vendor-app/bin");
        test::writeFile("/opt/vendor-app/bin/run", "binary");
        ::chmod("/opt/vendor-app/bin/run", 0755);
        fs::create_directories("/opt/vendor-app-two");
        fs::create_directories("/opt/packaged/bin");
        test::writeFile("/opt/packaged/bin/run", "packaged");
        test::writeFile("/usr/local/bin/vendor-tool", "tool");
        test::writeFile("/usr/local/bin/packaged-tool", "packaged");
        fs::create_symlink(world.base / "outside/secret", "/usr/local/bin/link-tool");
        fs::create_directory_symlink("/opt/vendor-app-two", "/opt/linked");
        test::writeFile("/opt/vendor-app-two/run", "two");
        const std::string unit = "[Unit]\nDescription=Vendor agent\n[Service]\nExecStart=-/opt/vendor-app/bin/run --serve\n";
        for (const char* name : {"vendor-agent.service", "ssh.service", "vornelo-helper.service", "vornelo-helper.socket"}) {
            test::writeFile(fs::path("/etc/systemd/system") / name, unit);
        }
        test::writeFile("/etc/systemd/system/other.service", "[Service]\nExecStart=/opt/vendor-app-two/run\n");
        test::writeFile("/usr/local/share/applications/vendor-app.desktop", "[Desktop Entry]\nName=Vendor\nExec=\"/opt/vendor-app/bin/run\" %U\n");
        test::writeFile("/usr/local/share/applications/apples.desktop", "[Desktop Entry]\nExec=/opt/vendor-apples/run\n");
        fs::create_directories("/var/lib/flatpak/app/org.example.App/current");

        // The entry and the unit that start something in the folder, and nothing else.
        const auto checked = world.as(world.a, {world.cli, "--json", "helper", "check", "/opt/vendor-app"});
        const auto document = Json::parse(checked.out, nullptr, false);
        const Json related = {"/usr/local/share/applications/vendor-app.desktop", "/etc/systemd/system/ssh.service",
                              "/etc/systemd/system/vendor-agent.service", "/etc/systemd/system/vornelo-helper.service",
                              "/etc/systemd/system/vornelo-helper.socket"};
        expect(checked.exitCode == 0 && document.is_object() && document["results"][0]["related"] == related,
               "helper check: " + checked.out + checked.err);

        const std::vector<std::string> refused{"/opt/packaged", "/usr/local/bin/packaged-tool", "/var/lib/flatpak/app/org.example.App",
                                               "/opt/linked/run", "/usr/local/bin/link-tool"};
        std::map<std::string, std::map<std::string, std::string>> before;
        for (const auto& path : {"/opt/vendor-app", "/usr/local/bin/vendor-tool", "/etc/systemd/system/vendor-agent.service"}) {
            before[path] = manifest(path);
        }
        auto requested = refused;
        requested.insert(requested.begin(), {"/opt/vendor-app", "/usr/local/bin/vendor-tool"});
        const auto [code, reply] = world.remove(world.a, requested, {"--with-related"});
        const std::string packaged = ", as dpkg-query --search reports; remove it with the package manager.";
        const Json expected = {
            {"moved", {{"/opt/vendor-app", (files / "vendor-app").native()}, {"/usr/local/bin/vendor-tool", (files / "vendor-tool").native()},
                       {"/etc/systemd/system/vendor-agent.service", (files / "vendor-agent.service").native()},
                       {"/usr/local/share/applications/vendor-app.desktop", (files / "vendor-app.desktop").native()}}},
            {"failed", {{"/opt/packaged", "Holds files of the package vendor-tools" + packaged},
                        {"/usr/local/bin/packaged-tool", "Belongs to the package vendor-tools" + packaged},
                        {"/var/lib/flatpak/app/org.example.App", "Installed by Flatpak; remove it with flatpak uninstall org.example.App."},
                        {"/opt/linked/run", "Path goes through a symbolic link."},
                        {"/usr/local/bin/link-tool", "Path goes through a symbolic link."},
                        {"/etc/systemd/system/ssh.service", "Needed by the system."},
                        {"/etc/systemd/system/vornelo-helper.service", "Vornelo can't remove its own helper."},
                        {"/etc/systemd/system/vornelo-helper.socket", "Vornelo can't remove its own helper."}}}};
        expect(code == 1 && reply == expected, "removal: " + reply.dump());
        for (const auto& [path, entries] : before) {
            const auto moved = reply.value("moved", Json::object()).value(path, "");
            expect(!moved.empty() && manifest(moved) == entries && !fs::exists(fs::symlink_status(path)), path + " changed on its way");
        }
        for (const auto& path : refused) expect(fs::exists(fs::symlink_status(path)), path + " was refused but is gone");
        expect(test::readFile(world.a.trash() / "info/vendor-app.trashinfo").find("\nPath=/opt/vendor-app\n") != std::string::npos,
               "no .trashinfo for the folder");
        // Stopped and disabled before it moved; no other unit was asked about.
        expect(test::readFile(world.base / "bin/systemctl.log") == "disable --now -- vendor-agent.service\n",
               "systemctl: " + test::readFile(world.base / "bin/systemctl.log"));

        // Told as a person reads it: which agent asks, and how an administrator puts a moved item back.
        test::writeFile("/usr/local/bin/second-tool", "tool");
        const auto told = world.as(world.a, {world.cli, "helper", "remove", "--socket", world.socket, "/usr/local/bin/second-tool"});
        const auto back = "sudo mv -n -- '" + (files / "second-tool").native() + "' '/usr/local/bin/second-tool'";
        expect(told.exitCode == 0 && told.out.find(back) != std::string::npos &&
                   told.err.starts_with("Your desktop's authentication agent asks for an administrator's password"),
               "told: " + told.out + told.err);
        expect(test::runProgram("/bin/mv", {"-n", "--", files / "second-tool", "/usr/local/bin/second-tool"}).exitCode == 0 &&
                   test::readFile("/usr/local/bin/second-tool") == "tool",
               "the way back it names does not work");

        // A folder swapped with a link to elsewhere while requests come: nothing outside the Trash moves.
        const auto outside = (world.base / "outside").native();
        const auto untouched = manifest(outside);
        auto swapper = platform::Subprocess::spawn("/bin/sh", {"-c", "cd /opt; while :; do mkdir -p Swap; echo x > Swap/f; sleep 0.003; "
                                                                     "rm -rf Swap; ln -s " + outside + " Swap; rm -f Swap; done"});
        std::string requests;
        for (int request = 0; request < 60; ++request) requests += removal({"/opt/Swap", "/opt/Swap/f"});
        const auto swapped = world.rawReplies(world.a, requests);
        if (swapper) {
            swapper->kill();
            while (swapper->isRunning()) std::this_thread::sleep_for(1ms);
        }
        expect(swapper && swapped.size() == 60 && manifest(outside) == untouched, "the swapped folder: " + std::to_string(swapped.size()) + " replies");
        for (const auto& answer : swapped) {
            for (const auto& place : answer.value("parameters", Json::object()).value("moved", Json::object())) {
                expect(place.is_string() && place.get<std::string>().starts_with(files.native() + "/"), "moved outside the Trash: " + place.dump());
            }
        }
        if (complaints.empty()) return complaints;
        for (const auto& line : world.log()) complaints += line + "\n";
        return complaints;
    });
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::helper
