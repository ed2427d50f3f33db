#include "Platform/Authorization/Authorization.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Files/FileDescriptor.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Support/PolkitSandbox.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

namespace vornelo::platform {
namespace {

const std::string right(PrivilegedHelperConstants::authorizationRight);
constexpr std::string_view prompt = "Vornelo wants to remove software that was installed for all users.";
constexpr AuthorizationFlags interactive = kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights;

AuthorizationRights rightsFor(const std::string& name) { return {{name, {}, 0}}; }

std::filesystem::path packagedActionFile() {
    return std::filesystem::path(VORNELO_SOURCE_DIR) / "packaging/polkit" / (right + ".policy");
}

// A process of `account` connected to the test over a UNIX socket. It made an authorization of its
// own and sent the external form, and stays alive until the object goes away; `peer` is the
// kernel's account of it, as the helper's socket layer reads it.
class Client {
public:
    explicit Client(test::Account account) {
        FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const auto name = "vornelo-authorization-test-" + std::to_string(::getpid());
        std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract: no file permissions in the way
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        const auto* socketAddress = reinterpret_cast<const sockaddr*>(&address);
        if (::bind(listener.get(), socketAddress, length) != 0 || ::listen(listener.get(), 1) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(account.gid) == 0 && ::setuid(account.uid) == 0;
            const auto external = Authorization().externalFormOfThisProcess();
            if (!dropped || !external || ::connect(connection.get(), socketAddress, length) != 0) ::_exit(1);
            if (::write(connection.get(), external->data(), external->size()) != 32) ::_exit(1);
            char byte;
            while (::read(connection.get(), &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        pollfd waiting{listener.get(), POLLIN, 0};
        if (::poll(&waiting, 1, 10000) != 1) return;
        connection_.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ucred credentials{};
        socklen_t size = sizeof credentials;
        ::getsockopt(connection_.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size);
        peer = {credentials.pid, AuthorizationSubject::startTimeOf(credentials.pid).value_or(0), credentials.uid};
        form.resize(kAuthorizationExternalFormLength);
        form.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(connection_.get(), form.data(), form.size(), MSG_WAITALL))));
    }
    ~Client() {
        connection_.reset();
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }

    AuthorizationSubject peer;
    std::vector<std::uint8_t> form;

private:
    FileDescriptor connection_;
    pid_t pid_ = -1;
};

TEST(AuthorizationTest, ExternalFormIsAcceptedOnlyFromTheProcessThatMadeIt) {
    const Authorization authorization;
    auto ref = authorization.create();
    const auto self = AuthorizationSubject::currentProcess();
    ASSERT_TRUE(ref && self);
    EXPECT_EQ(std::tuple(ref->subject(), self->pid, self->uid), std::tuple(self, ::getpid(), ::geteuid()));
    const auto form = authorization.makeExternalForm(*ref);
    ASSERT_TRUE(form);
    const auto rebuilt = authorization.createFromExternalForm(*form, *self);
    ASSERT_TRUE(rebuilt) << rebuilt.error();
    EXPECT_EQ(authorization.makeExternalForm(*rebuilt), form);
    EXPECT_NE(authorization.makeExternalForm(*authorization.create()), form) << "two authorizations, one form";

    const std::vector<std::uint8_t> bytes(form->begin(), form->end());
    const auto [pid, start, uid] = *self;
    std::vector<std::tuple<std::string, std::vector<std::uint8_t>, AuthorizationSubject>> cases{
        {"sent by another process", bytes, {pid + 1, start, uid}},
        {"sent by a later process with the same pid", bytes, {pid, start + 1, uid}},
        {"sent by another user", bytes, {pid, start, uid + 1}},
        {"31 bytes", {bytes.begin(), bytes.end() - 1}, *self},
        {"33 bytes", [&] { auto longer = bytes; longer.push_back(0); return longer; }(), *self},
        {"no bytes", {}, *self},
    };
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        auto flipped = bytes;
        flipped[index] ^= 0x10;
        cases.emplace_back("a bit flipped in byte " + std::to_string(index), flipped, *self);
    }
    for (const auto& [what, candidate, peer] : cases) {
        const auto result = authorization.createFromExternalForm(candidate, peer);
        EXPECT_EQ(result ? errAuthorizationSuccess : result.error(), errAuthorizationInvalidRef) << what;
    }
}

TEST(AuthorizationTest, ArgumentsAreJudgedBeforePolkitIsAsked) {
    // Any question that reached polkit would answer errAuthorizationInternal here.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vornelo-bus", 1);
    const Authorization authorization;
    const Authorization nowhere({.actionsFolder = "/nonexistent/vornelo-actions"});
    auto ref = std::move(authorization.create().value());
    const AuthorizationRef empty;
    const std::vector<std::tuple<std::string, OSStatus, OSStatus>> cases{
        {"no reference", authorization.copyRights(empty, rightsFor(right), interactive), errAuthorizationInvalidRef},
        {"an unknown flag", authorization.copyRights(ref, rightsFor(right), 4), errAuthorizationInvalidFlags},
        {"a right that is no action id", authorization.copyRights(ref, rightsFor("../right"), interactive), errAuthorizationInvalidSet},
        {"a right with a value", authorization.copyRights(ref, {{right, {1}, 0}}, interactive), errAuthorizationInvalidSet},
        {"no rights at all", authorization.copyRights(ref, {}, interactive), errAuthorizationSuccess},
        {"no polkit to ask", authorization.copyRights(ref, rightsFor(right), interactive), errAuthorizationInternal},
        {"no polkit to look the right up", authorization.rightGet(right), errAuthorizationInternal},
        {"defining without a reference", authorization.rightSet(empty, right, Authorization::ruleAuthenticateAdmin, prompt), errAuthorizationInvalidRef},
        {"defining with an unknown rule", authorization.rightSet(ref, right, "anybody", prompt), errAuthorizationInvalidSet},
        {"defining a path", authorization.rightSet(ref, "../evil", Authorization::ruleAuthenticateAdmin, prompt), errAuthorizationInvalidSet},
        {"defining into a missing folder", nowhere.rightSet(ref, right, Authorization::ruleAuthenticateAdmin, prompt), errAuthorizationInternal},
        {"external form of no reference", authorization.makeExternalForm(empty).error(), errAuthorizationInvalidRef},
        {"freeing with an unknown flag", authorization.free(ref, kAuthorizationFlagInteractionAllowed), errAuthorizationInvalidFlags},
        {"freeing", authorization.free(ref), errAuthorizationSuccess},
        {"freeing twice", authorization.free(ref), errAuthorizationInvalidRef},
    };
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    for (const auto& [what, status, expected] : cases) EXPECT_EQ(status, expected) << what;
}

TEST(AuthorizationTest, DefiningTheRightWritesThePackagedActionFile) {
    const test::TempDirectory folder;
    const Authorization authorization({.actionsFolder = folder.path(), .definitionWait = {}});
    const auto ref = authorization.create();
    ASSERT_TRUE(ref);
    ASSERT_EQ(test::underUmask(077, [&] { return authorization.rightSet(*ref, right, Authorization::ruleAuthenticateAdmin, prompt); }),
              errAuthorizationSuccess);
    const auto written = folder / (right + ".policy");
    EXPECT_EQ(test::readFile(written), test::readFile(packagedActionFile()));
    EXPECT_EQ(test::modeOf(written), 0644U) << "polkitd must be able to read it whatever the umask";
    EXPECT_EQ(test::entryCount(folder.path()), 1) << "a temporary file was left";
}

using Call = std::function<OSStatus(const Authorization&, const AuthorizationRef&)>;

Call ask(const std::string& name, AuthorizationFlags flags) {
    return [=](const Authorization& authorization, const AuthorizationRef& ref) {
        return authorization.copyRights(ref, rightsFor(name), flags);
    };
}

TEST(AuthorizationTest, PolkitJudgesTheConnectedClientProcess) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
    const auto defined = [](const Authorization& authorization, const AuthorizationRef& ref) {
        return authorization.rightSet(ref, "com.example.defined", "allow", "Test.");
    };
    const auto get = [](std::string name) {
        return [=](const Authorization& authorization, const AuthorizationRef&) { return authorization.rightGet(name); };
    };
    using Steps = std::vector<std::tuple<std::string, Call, OSStatus>>;
    const std::vector<std::tuple<std::string, std::string, Steps>> scenarios{  // name, rules, steps
        {"a rule grants the right", test::polkitRule(right, "YES"),
         {{"the right", ask(right, interactive), errAuthorizationSuccess},
          {"an unknown right", ask("com.example.unknown", interactive), errAuthorizationDenied},
          {"looking the right up", get(right), errAuthorizationSuccess},
          {"looking an unknown right up", get("com.example.unknown"), errAuthorizationDenied},
          {"defining a right", defined, errAuthorizationSuccess},
          {"the defined right at once", ask("com.example.defined", kAuthorizationFlagDefaults), errAuthorizationSuccess}}},
        {"a rule denies the right", test::polkitRule(right, "NO"),
         {{"the right", ask(right, interactive), errAuthorizationDenied}}},
        {"no rule and no agent to authenticate", "",
         {{"the right", ask(right, interactive), errAuthorizationInteractionNotAllowed},
          {"the right without interaction", ask(right, kAuthorizationFlagExtendRights), errAuthorizationInteractionNotAllowed},
          {"the right without extending", ask(right, kAuthorizationFlagInteractionAllowed), errAuthorizationDenied}}},
    };
    const test::PolkitSandbox::Actions actions{{right + ".policy", test::readFile(packagedActionFile())}};
    for (const auto& [name, rules, steps] : scenarios) {
        const auto outcome = test::runWithPolkit({actions, rules}, [&]() -> std::string {
            const Authorization authorization;
            const Client client(test::unprivilegedAccount());
            const auto ref = authorization.createFromExternalForm(client.form, client.peer);
            if (!ref) return "the client's own form was refused: " + std::to_string(ref.error());
            std::string complaints;
            for (const auto& [what, call, expected] : steps) {
                const auto status = call(authorization, *ref);
                if (status != expected) complaints += what + " gave " + std::to_string(status) + "; ";
            }
            // The test's own form, sent over the client's connection, gets nowhere, even where a rule grants.
            const auto foreign = authorization.externalFormOfThisProcess().value();
            if (authorization.createFromExternalForm(foreign, client.peer)) complaints += "a foreign form was accepted";
            return complaints;
        });
        EXPECT_TRUE(outcome.succeeded) << name << ": " << outcome.message;
    }
}

}  // namespace
}  // namespace vornelo::platform
