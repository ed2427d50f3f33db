#include "Helper/AdministratorApproval.h"

#include "Support/TempDirectory.h"
#include "Support/VarlinkFixture.h"

#include <gtest/gtest.h>

#include <tuple>
#include <unistd.h>

namespace vornelo::helper {
namespace {

using namespace platform;

// polkit's answers come from the test; the forms and subjects are the real ones. Real polkit,
// through the daemon and its client, is tried in HelperRemovalTests.
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

TEST(AdministratorApprovalTest, AsksPolkitOnlyForThePeersOwnFormAndLogsEveryRefusal) {
    const auto own = Authorization().externalFormOfThisProcess();
    ASSERT_TRUE(own.has_value());
    const std::vector<std::uint8_t> mine(own->begin(), own->end());
    // A well-made form of another process (init) that reached this connection.
    const auto other = ExternalFormContents{{1, AuthorizationSubject::startTimeOf(1).value_or(1), 0}, 7}.encode();
    const std::vector<std::uint8_t> foreign(other.begin(), other.end());
    const std::string copyRights = "copyRights com.tessaldon.Vornelo.helper.remove 3 pid " + std::to_string(::getpid());
    const struct {
        const char* what;
        std::vector<std::uint8_t> form;
        OSStatus verdict;
        bool approved;
        std::vector<std::string> asked;
        std::vector<std::string> lines;
    } cases[] = {
        {"31 bytes", std::vector<std::uint8_t>(31), 0, false, {}, {"authorization blob has the wrong size: 31"}},
        {"33 bytes", std::vector<std::uint8_t>(33), 0, false, {}, {"authorization blob has the wrong size: 33"}},
        {"no form at all", std::vector<std::uint8_t>(32, 7), 0, false, {}, {"could not read the app's authorization: -60002"}},
        {"another process's form", foreign, 0, false, {}, {"could not read the app's authorization: -60002"}},
        {"denied", mine, errAuthorizationDenied, false, {copyRights}, {"authorization not granted: -60005"}},
        {"granted", mine, errAuthorizationSuccess, true, {copyRights}, {}},
    };
    for (const auto& testCase : cases) {
        test::TempDirectory directory;
        const HelperLog log(directory / "helper.log");
        ScriptedAuthorization authorization;
        authorization.verdict = testCase.verdict;
        const AdministratorApproval approval(authorization, log);
        EXPECT_EQ(approval.isAuthorized(testCase.form, test::ownPeer()), testCase.approved) << testCase.what;
        EXPECT_EQ(authorization.asked, testCase.asked) << testCase.what;
        EXPECT_EQ(test::logMessages(log.file()), testCase.lines) << testCase.what;
    }
}

TEST(AdministratorApprovalTest, DefinesTheRightOnlyWhenPolkitDoesNotKnowIt) {
    const std::string set = "rightSet com.tessaldon.Vornelo.helper.remove authenticate-admin " + std::string(AdministratorApproval::prompt);
    for (const auto& [known, stored, line] : {std::tuple{errAuthorizationSuccess, 0, ""}, {errAuthorizationDenied, 0, "defined authorization right"},
                                              {errAuthorizationDenied, errAuthorizationDenied, "could not define authorization right: -60005"}}) {
        test::TempDirectory directory;
        const HelperLog log(directory / "helper.log");
        ScriptedAuthorization authorization;
        authorization.known = known;
        authorization.stored = stored;
        AdministratorApproval(authorization, log).defineAuthorizationRight();
        EXPECT_EQ(authorization.asked.back(), known == 0 ? "rightGet com.tessaldon.Vornelo.helper.remove" : set);
        EXPECT_EQ(test::logMessages(log.file()), *line ? std::vector<std::string>{line} : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace vornelo::helper
