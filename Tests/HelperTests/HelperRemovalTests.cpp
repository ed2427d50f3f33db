#include "Core/PrivilegedHelperConstants.h"
#include "Helper/AdministratorApproval.h"
#include "Helper/ConnectionHandler.h"
#include "Helper/DaemonRemovalSteps.h"
#include "Helper/HelperInterface.h"
#include "Platform/Base64.h"
#include "Support/PolkitSandbox.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <regex>

namespace vornelo::helper {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

void makeApp(const fs::path& app, const std::string& identifier) {
    fs::create_directories(app / "Contents");
    test::writeFile(app / "Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                                                 "</key><string>" + identifier + "</string></dict></plist>");
}

// A request from nobody, whose home the namespace's password database puts under `home`.
Json ask(const fs::path& socket, const std::vector<std::string>& paths, std::size_t formSize = 32) {
    const auto account = test::unprivilegedAccount();
    const auto outcome = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
        auto client = platform::VarlinkClient::connect(socket);
        auto form = platform::Authorization().externalFormOfThisProcess();
        if (!client || !form) return "no connection or no form";
        const auto answer = client->call(HelperInterface::removeItemsMethod,
            {{"paths", paths}, {"authorization", platform::Base64::encode(std::span(form->data(), formSize))}});
        return answer ? "REPLY" + answer->dump() : answer.error().description;
    });
    return outcome.message.starts_with("REPLY") ? Json::parse(outcome.message.substr(5)) : Json{{"error", outcome.message}};
}

// One set-up for every case: polkit granting (or denying) the right, temporary roots with the
// applications on a file system of their own, nobody's home and Trash, the daemon's real steps.
std::string scenario(const std::string& result, const std::function<std::string(const fs::path&, const fs::path&)>& check) {
    test::TempDirectory root;
    const auto account = test::unprivilegedAccount();
    for (const char* folder : {"home", "Library/LaunchDaemons", "Applications"}) fs::create_directories(root / folder);
    ::chmod(root.path().c_str(), 0755);
    ::chown((root / "home").c_str(), account.uid, account.gid);
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    const auto outcome = test::runWithPolkit(
        {{{right + ".policy", test::readFile(VORNELO_SOURCE_DIR "/packaging/polkit/" + right + ".policy")}},
         test::polkitRule(right, result)},
        [&]() -> std::string {
            test::writeFile(root / "passwd", std::regex_replace(test::readFile("/etc/passwd"),
                std::regex("\nnobody:([^:]*:[^:]*:[^:]*:[^:]*):[^:]*:"), "\nnobody:$1:" + (root / "home").native() + ":"));
            if (::mount((root / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
                ::mount("tmpfs", (root / "Applications").c_str(), "tmpfs", 0, "mode=0755") != 0) {
                return "could not mount the test's passwd or applications";
            }
            if (!platform::Trash::prepareUserTrash(account.uid)) return "no Trash for nobody";
            const HelperLog log(root / "helper.log");
            IdleMonitor idle({}, [] { return std::chrono::system_clock::now(); }, [] {});
            const platform::Authorization authorization;
            const AdministratorApproval approval(authorization, log);
            const vornelo::PathProtection protection("/var/empty", PathProtection::noStrings(), PathProtection::noStrings());
            DaemonRemovalSteps steps({[&](auto form, const auto& peer) { return approval.isAuthorized(form, peer); },
                                      DaemonRemovalSteps::policyFor((root / "Applications").native(), (root / "Library").native(), protection),
                                      {}, "/nonexistent/launchctl"}, log);
            const test::ServedSocket served(std::string(HelperInterface::text), [&](const platform::SocketPeer& peer) {
                return std::make_unique<ConnectionHandler>(peer, steps, idle, log);
            });
            const auto problem = check(root.path(), served.path());
            return problem.empty() ? "" : problem + "\nlog: " + test::readFile(log.file());
        });
    return outcome.succeeded ? "" : outcome.message;
}

TEST(HelperRemovalTest, AGrantedRequestMovesIntoTheRequestersTrashAndNothingElse) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the client is forked beside the in-process daemon's threads, which deadlocks inside ASan's "
                    "allocator; this scenario runs in the default and tsan presets";
#endif
    EXPECT_EQ(scenario("YES", [](const fs::path& root, const fs::path& socket) -> std::string {
        const auto apps = root / "Applications";
        const auto files = root / "home/.local/share/Trash/files";
        makeApp(apps / "Foo.app", "com.example.foo");
        for (const char* taken : {"Foo.app", "Foo 2.app"}) fs::create_directory(files / taken);
        test::writeFile(root / "Library/LaunchDaemons/com.example.d.plist");
        const std::vector<std::string> paths = {apps / "Foo.app", root / "Library/LaunchDaemons/com.example.d.plist", apps / "Gone.app"};
        const Json expected = {{"moved", {{paths[0], (files / "Foo 3.app").native()}, {paths[1], (files / "com.example.d.plist").native()}}},
                               {"failed", {{paths[2], "No longer exists."}}}};
        if (const auto reply = ask(socket, paths); reply != expected) return "granted: " + reply.dump();
        struct stat moved {};
        const auto plist = files / "Foo 3.app/Contents/Info.plist";  // copied across file systems, made 0600 on the way
        if (::stat(plist.c_str(), &moved) != 0 || moved.st_uid != 0 || (moved.st_mode & 07777) != 0644 ||
            test::readFile(plist).find("com.example.foo") == std::string::npos || fs::exists(apps / "Foo.app")) return "owner, mode or content lost";
        if (ask(socket, std::vector<std::string>(501, paths[2]))["failed"][paths[2]] != ConnectionHandler::tooMany ||
            ask(socket, std::vector<std::string>(500, paths[2]))["failed"][paths[2]] != "No longer exists." ||
            ask(socket, {paths[2]}, 31)["failed"][paths[2]] != ConnectionHandler::notApproved) return "limits or a bad form not refused";
        // Links swapped in on the way, in a loop against many requests: nothing outside leaves its place.
        fs::create_directories(root / "outside.app");
        test::writeFile(root / "outside.app/keep", "keep");
        std::atomic<bool> running{true};
        std::thread swapper([&] {  // the helper may take the folder at any moment, so errors are ignored
            for (std::error_code ignored; running; fs::remove(apps / "Swap.app", ignored)) {
                try { makeApp(apps / "Swap.app", "com.example.swap"); } catch (const std::exception&) {}
                fs::remove_all(apps / "Swap.app", ignored);
                fs::create_directory_symlink(root / "outside.app", apps / "Swap.app", ignored);
            }
        });
        for (int request = 0; request < 40; ++request) ask(socket, {(apps / "Swap.app").native()});
        running = false;
        swapper.join();
        // A link may be the entry renamed when it is swapped in after the last check; it moves as a link.
        if (test::readFile(root / "outside.app/keep") != "keep") return "an item outside the roots was moved";
        fs::rename(files.parent_path(), root / "home/RealTrash");  // a Trash that is a link refuses everything
        fs::create_directory_symlink(root / "home/RealTrash", files.parent_path());
        makeApp(apps / "Bar.app", "com.example.bar");
        const auto bar = (apps / "Bar.app").native();
        if (ask(socket, {bar})["failed"][bar] != ConnectionHandler::noTrash) return "a linked Trash was used";
        return {};
    }), "");
}

}  // namespace
}  // namespace vornelo::helper
