#include "Helper/AdministratorApproval.h"

#include "Core/PrivilegedHelperConstants.h"
#include "Helper/ConnectionHandler.h"
#include "Helper/DaemonRemovalSteps.h"
#include "Helper/HelperInterface.h"
#include "Platform/Base64.h"
#include "Support/PolkitSandbox.h"
#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornelo::helper {
namespace {

using namespace platform;

// polkit's answers come from the test; the forms and subjects are the real ones.
class ScriptedAuthorization : public Authorization {
public:
    OSStatus verdict = errAuthorizationSuccess;
    OSStatus known = errAuthorizationSuccess;
    OSStatus stored = errAuthorizationSuccess;
    mutable std::vector<std::string> asked;

    OSStatus copyRights(const AuthorizationRef& ref, const AuthorizationRights& rights, AuthorizationFlags flags) const override {
        asked.push_back("copyRights " + rights.at(0).name + " " + std::to_string(flags) + " pid " +
                        std::to_string(ref.subject()->pid));
        return verdict;
    }
    OSStatus rightGet(std::string_view name) const override {
        asked.push_back("rightGet " + std::string(name));
        return known;
    }
    OSStatus rightSet(const AuthorizationRef&, std::string_view name, std::string_view rule, std::string_view prompt) const override {
        asked.push_back("rightSet " + std::string(name) + " " + std::string(rule) + " " + std::string(prompt));
        return stored;
    }
};

PeerProcess ownPeer() {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    auto peer = PeerProcess::ofSocket(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    return std::move(*peer);
}

// A form made by another process, which has ended by the time it is used.
std::vector<std::uint8_t> formOfAnotherProcess() {
    int channel[2];
    if (::pipe(channel) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        const auto form = Authorization().externalFormOfThisProcess();
        if (form) (void)!::write(channel[1], form->data(), form->size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::vector<std::uint8_t> form(32);
    const auto got = ::read(channel[0], form.data(), form.size());
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    return got == 32 ? form : std::vector<std::uint8_t>{};
}

TEST(AdministratorApprovalTest, AsksPolkitOnlyForThePeersOwnFormAndLogsEveryRefusal) {
    const auto own = Authorization().externalFormOfThisProcess();
    ASSERT_TRUE(own.has_value());
    const std::vector<std::uint8_t> mine(own->begin(), own->end());
    const auto foreign = formOfAnotherProcess();
    ASSERT_EQ(foreign.size(), 32U);
    const std::string copyRights = "copyRights com.tessaldon.Vornelo.helper.remove 3 pid " + std::to_string(::getpid());
    const struct {
        const char* what;
        std::vector<std::uint8_t> form;
        OSStatus verdict;
        bool approved;
        std::vector<std::string> asked;
        std::string line;
    } cases[] = {
        {"31 bytes", std::vector<std::uint8_t>(31), 0, false, {}, "authorization blob has the wrong size: 31"},
        {"33 bytes", std::vector<std::uint8_t>(33), 0, false, {}, "authorization blob has the wrong size: 33"},
        {"no form at all", std::vector<std::uint8_t>(32, 7), 0, false, {}, "could not read the app's authorization: -60002"},
        {"another process's form", foreign, 0, false, {}, "could not read the app's authorization: -60002"},
        {"denied", mine, errAuthorizationDenied, false, {copyRights}, "authorization not granted: -60005"},
        {"cancelled", mine, errAuthorizationCanceled, false, {copyRights}, "authorization not granted: -60006"},
        {"granted", mine, errAuthorizationSuccess, true, {copyRights}, ""},
    };
    for (const auto& testCase : cases) {
        test::TempDirectory directory;
        const HelperLog log(directory / "helper.log");
        ScriptedAuthorization authorization;
        authorization.verdict = testCase.verdict;
        const AdministratorApproval approval(authorization, log);
        EXPECT_EQ(approval.isAuthorized(testCase.form, ownPeer()), testCase.approved) << testCase.what;
        EXPECT_EQ(authorization.asked, testCase.asked) << testCase.what;
        const auto written = std::filesystem::exists(log.file()) ? test::readFile(log.file()) : "";
        EXPECT_EQ(written.empty() ? "" : written.substr(21, written.size() - 22), testCase.line) << testCase.what;
    }
}

TEST(AdministratorApprovalTest, DefinesTheRightOnlyWhenPolkitDoesNotKnowIt) {
    const std::string get = "rightGet com.tessaldon.Vornelo.helper.remove";
    const std::string set = "rightSet com.tessaldon.Vornelo.helper.remove authenticate-admin " +
                            std::string(AdministratorApproval::prompt);
    const struct {
        OSStatus known;
        OSStatus stored;
        std::vector<std::string> asked;
        std::string line;
    } cases[] = {
        {errAuthorizationSuccess, 0, {get}, ""},
        {errAuthorizationDenied, errAuthorizationSuccess, {get, set}, "defined authorization right"},
        {errAuthorizationDenied, errAuthorizationDenied, {get, set}, "could not define authorization right: -60005"},
    };
    for (const auto& testCase : cases) {
        test::TempDirectory directory;
        const HelperLog log(directory / "helper.log");
        ScriptedAuthorization authorization;
        authorization.known = testCase.known;
        authorization.stored = testCase.stored;
        AdministratorApproval(authorization, log).defineAuthorizationRight();
        EXPECT_EQ(authorization.asked, testCase.asked);
        const auto written = std::filesystem::exists(log.file()) ? test::readFile(log.file()) : "";
        EXPECT_EQ(written.empty() ? "" : written.substr(21, written.size() - 22), testCase.line);
    }
}

TEST(AdministratorApprovalTest, RealPolkitDecidesForAnUnprivilegedClientOverTheSocket) {
    VORNELO_REQUIRE_POLKIT_SANDBOX();
    const std::string right(PrivilegedHelperConstants::authorizationRight);
    const test::PolkitSandbox::Actions actions{
        {right + ".policy", test::readFile(VORNELO_SOURCE_DIR "/packaging/polkit/" + right + ".policy")}};
    const struct {
        const char* result;
        std::string_view message;  // nobody has no home, so an approved request stops at the Trash
        const char* logged;
    } cases[] = {
        {"YES", ConnectionHandler::noTrash, "request from uid"},
        {"NO", ConnectionHandler::notApproved, "authorization not granted: -60005"},
    };
    for (const auto& testCase : cases) {
        const auto outcome = test::runWithPolkit({actions, test::polkitRule(right, testCase.result)}, [&]() -> std::string {
            test::TempDirectory directory;
            const HelperLog log(directory / "helper.log");
            IdleMonitor idle({}, [] { return std::chrono::system_clock::now(); }, [] {});
            const Authorization authorization;
            const AdministratorApproval approval(authorization, log);
            DaemonRemovalSteps steps({[&](auto form, const auto& peer) { return approval.isAuthorized(form, peer); },
                                      [](const std::string&) { return RemovalKind::application; }, {}},
                                     log);
            const test::ServedSocket served(std::string(HelperInterface::text), [&](const PeerProcess& peer) {
                return std::make_unique<ConnectionHandler>(peer, steps, idle, log);
            });
            const auto account = test::unprivilegedAccount();
            const auto client = test::runAsUser(account.uid, account.gid, [&]() -> std::string {
                auto connection = VarlinkClient::connect(served.path());
                const auto form = Authorization().externalFormOfThisProcess();
                if (!connection || !form) return "no connection or no form";
                const auto reply = connection->call(HelperInterface::removeItemsMethod,
                                                    {{"paths", {"/Applications/Foo.app"}}, {"authorization", Base64::encode(*form)}});
                if (!reply || (*reply)["failed"]["/Applications/Foo.app"] != testCase.message) {
                    return "unexpected reply " + (reply ? reply->dump() : reply.error().description);
                }
                return {};
            });
            if (!client.succeeded) return client.message;
            const auto written = test::readFile(log.file());
            return written.find(testCase.logged) == std::string::npos ? "log lacks the line: " + written : "";
        });
        EXPECT_TRUE(outcome.succeeded) << testCase.result << ": " << outcome.message;
    }
}

}  // namespace
}  // namespace vornelo::helper
