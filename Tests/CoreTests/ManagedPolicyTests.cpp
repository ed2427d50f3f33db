#include "Core/AppStorageKeys.h"
#include "Core/ManagedPolicy.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

namespace vornelo {
namespace {

using platform::PlistValue;

class ManagedPolicyTest : public ::testing::Test {
protected:
    ManagedPolicy forced() const { return ManagedPolicy(home.defaults(), true); }
    test::TestHome home;
};

TEST_F(ManagedPolicyTest, OnlyAProfileForcesKeysAndItsChangesTakeEffectAtTheNextRead) {
    // The user's own copy of a key forces nothing: every property stays empty.
    home.defaults()->set("DisablePrivilegedTools", true);
    home.defaults()->set("ProtectedPaths", PlistValue::strings({"/srv"}));
    const auto policy = forced();
    EXPECT_FALSE(policy.isManaged());
    EXPECT_TRUE(policy.disabledFeatures().empty());
    EXPECT_TRUE(policy.protectedPaths().empty());
    EXPECT_TRUE(policy.protectedBundlePrefixes().empty());
    EXPECT_FALSE(policy.forceOperationLog());
    EXPECT_FALSE(policy.disableAutomaticUpdates());
    EXPECT_FALSE(policy.disablePrivilegedTools());
    EXPECT_FALSE(policy.scheduledScanIntervalHours());
    EXPECT_EQ(ManagedPolicy(home.defaults(), false).protectedPaths(), std::vector<std::string>{"/srv"})
        << "unforced values count when not required";

    home.writeManaged({{"DisablePrivilegedTools", PlistValue(true)}, {"ForceOperationLog", PlistValue(true)}});
    EXPECT_TRUE(policy.disablePrivilegedTools());
    EXPECT_TRUE(policy.forceOperationLog());
    EXPECT_TRUE(policy.isManaged());
    // A value of the wrong type reads empty but still counts as managed.
    home.writeManaged({{"ProtectedPaths", PlistValue("/single/string")}, {"ForceOperationLog", PlistValue("yes")}});
    EXPECT_TRUE(policy.protectedPaths().empty());
    EXPECT_FALSE(policy.forceOperationLog());
    EXPECT_TRUE(policy.isManaged());
    std::filesystem::remove(home.managedFile());
    EXPECT_FALSE(policy.isManaged());
}

TEST_F(ManagedPolicyTest, DisabledFeaturesCompareWithoutCase) {
    home.writeManaged({{"DisabledFeatures", PlistValue::strings({"Scan", "UPDATES"})}});
    const auto policy = forced();
    EXPECT_TRUE(policy.isFeatureDisabled("scan"));
    EXPECT_TRUE(policy.isFeatureDisabled("SCAN"));
    EXPECT_TRUE(policy.isFeatureDisabled("updates"));
    EXPECT_FALSE(policy.isFeatureDisabled("scans"));
}

TEST_F(ManagedPolicyTest, ScanIntervalMustBePositive) {
    for (const auto& [value, expected] : std::vector<std::pair<PlistValue, std::optional<std::int64_t>>>{
             {PlistValue(0), std::nullopt}, {PlistValue(-4), std::nullopt}, {PlistValue(6), 6},
             {PlistValue(12.0), 12}, {PlistValue("6"), std::nullopt}}) {
        home.writeManaged({{"ScheduledScanIntervalHours", value}});
        EXPECT_EQ(forced().scheduledScanIntervalHours(), expected);
        EXPECT_TRUE(forced().isManaged()) << "any forced value makes the machine managed";
    }
}

TEST_F(ManagedPolicyTest, SharedPolicyFollowsAReplacedStore) {
    home.writeManaged({{"DisableAutomaticUpdates", PlistValue(true)}});
    EXPECT_TRUE(ManagedPolicy::shared().disableAutomaticUpdates());
    EXPECT_TRUE(ManagedPolicy::shared().requireForced());
    test::TempDirectory other;
    AppDefaults::setStore(std::make_shared<platform::UserDefaults>(
        platform::UserDefaults::Locations{other / "user.plist", other / "managed.plist", ::getuid()}));
    EXPECT_FALSE(ManagedPolicy::shared().disableAutomaticUpdates());
    AppDefaults::setStore(home.defaults());
}

TEST(AppStorageKeyTest, EveryKeyIsTheAppNameADotAndTheMemberName) {
    EXPECT_EQ(AppStorageKey::all.size(), 15u);
    for (const auto key : AppStorageKey::all) EXPECT_TRUE(key.starts_with("Vornelo.")) << key;
    EXPECT_EQ(AppStorageKey::userExclusions, "Vornelo.userExclusions");
    EXPECT_EQ(AppStorageKey::operationLogEnabled, "Vornelo.operationLogEnabled");
    EXPECT_EQ(AppDefaults::appDomain, "com.tessaldon.Vornelo");
}

}  // namespace
}  // namespace vornelo
