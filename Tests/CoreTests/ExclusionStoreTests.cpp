#include "Core/AppStorageKeys.h"
#include "Core/ExclusionStore.h"
#include "Core/PathProtection.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vornelo {
namespace {

using platform::PlistValue;
using namespace std::chrono_literals;

class ExclusionStoreTest : public ::testing::Test {
protected:
    ExclusionStore makeStore() {
        return ExclusionStore(home.defaults(), [this] { return now; });
    }
    // Writes behind the store's back, as another process or a profile would.
    void writeUserListDirectly(const std::vector<std::string>& paths) {
        platform::UserDefaults other(home.defaults()->locations());
        other.set(std::string(AppStorageKey::userExclusions), PlistValue::strings(paths));
    }
    std::string homePath() const { return home.home().native(); }

    test::TestHome home;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
};

TEST_F(ExclusionStoreTest, StoringDropsEmptyAndRepeatedEntriesAndTheCanonicalFormExpandsAndNormalises) {
    auto store = makeStore();
    store.setUserPaths({"~/Projects/", "", "~/Projects/", "/private/tmp/x", "/a/./b/../c//"});
    const std::vector<std::string> stored{"~/Projects/", "/private/tmp/x", "/a/./b/../c//"};
    EXPECT_EQ(store.userPaths(), stored);
    EXPECT_EQ(home.defaults()->stringArray(std::string(AppStorageKey::userExclusions)), stored);
    EXPECT_EQ(*store.normalisedPaths(), (std::vector<std::string>{homePath() + "/Projects", "/tmp/x", "/a/c"}));
}

TEST_F(ExclusionStoreTest, OnlyAForcedAdministratorListIsAppendedAfterTheUsers) {
    auto store = makeStore();
    store.setUserPaths({"/mine"});
    home.defaults()->set("ProtectedPaths", PlistValue::strings({"/not/forced"}));
    store.invalidate();
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/mine"});
    EXPECT_TRUE(store.managedPaths().empty());
    home.writeManaged({{"ProtectedPaths", PlistValue::strings({"/srv/keep/", "", "/mine"})}});
    store.invalidate();
    EXPECT_EQ(store.managedPaths(), (std::vector<std::string>{"/srv/keep/", "", "/mine"}));
    EXPECT_EQ(*store.normalisedPaths(), (std::vector<std::string>{"/mine", "/srv/keep", "", "/mine"}))
        << "an empty managed entry stays empty so it can never match";
}

TEST_F(ExclusionStoreTest, TheListIsCachedForThirtySeconds) {
    auto store = makeStore();
    store.setUserPaths({"/first"});
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/first"});
    writeUserListDirectly({"/second"});
    now += 10s;
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/first"}) << "still fresh";
    now += 19s;
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/first"}) << "29 seconds is still fresh";
    now += 1s;
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/second"}) << "30 seconds is stale";
    writeUserListDirectly({"/third"});
    store.invalidate();
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/third"});
    store.setUserPaths({"/fourth"});
    EXPECT_EQ(*store.normalisedPaths(), std::vector<std::string>{"/fourth"});
}

TEST_F(ExclusionStoreTest, AStoreWithItsOwnDefaultsNeverTouchesTheSharedOnes) {
    test::TempDirectory elsewhere;
    auto own = std::make_shared<platform::UserDefaults>(
        platform::UserDefaults::Locations{elsewhere / "own.plist", elsewhere / "managed.plist", ::getuid()});
    ExclusionStore store(own);
    store.setUserPaths({"/only/here"});
    EXPECT_FALSE(home.defaults()->object(std::string(AppStorageKey::userExclusions)));
    EXPECT_EQ(own->stringArray(std::string(AppStorageKey::userExclusions)), std::vector<std::string>{"/only/here"});
}

TEST_F(ExclusionStoreTest, AListThatCannotBeReadIsReportedAndADamagedFileIsNeverReplaced) {
    auto store = makeStore();
    EXPECT_FALSE(store.readProblem());
    home.defaults()->set(std::string(AppStorageKey::userExclusions), PlistValue("/not/a/list"));
    EXPECT_TRUE(store.userPaths().empty());
    EXPECT_TRUE(store.normalisedPaths()->empty());
    EXPECT_NE(store.readProblem().value_or("").find("not a list of paths"), std::string::npos);

    ASSERT_TRUE(store.setUserPaths({"/kept"}));
    EXPECT_FALSE(store.readProblem());
    const auto file = home.defaults()->locations().userFile;
    auto damaged = test::readFile(file);
    damaged.replace(damaged.find("<array>"), 7, "<arr>");
    test::writeFile(file, damaged);
    EXPECT_TRUE(store.userPaths().empty());
    EXPECT_NE(store.readProblem().value_or("").find(file.native()), std::string::npos);
    const auto stored = store.setUserPaths({"/new"});
    ASSERT_FALSE(stored);
    EXPECT_NE(stored.error().find(file.native()), std::string::npos) << stored.error();
    EXPECT_EQ(test::readFile(file), damaged) << "the entry it holds must survive";
}

TEST_F(ExclusionStoreTest, ProtectionSeesEditsWhileOtherThreadsCheck) {
    auto store = makeStore();
    const PathProtection protection(home.home(), [&store] { return store.normalisedPaths(); }, PathProtection::noStrings());
    const auto keep = home.home() / "Keep";
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) (void)protection.shouldProtect(keep / "file");
        });
    }
    for (int i = 0; i < 20; ++i) {
        store.setUserPaths({keep.native()});
        EXPECT_TRUE(protection.shouldProtect(keep / "file"));
        store.setUserPaths({});
        EXPECT_FALSE(protection.shouldProtect(keep / "file")) << "an edit must never be hidden by a stale cache";
    }
    stop = true;
    for (auto& reader : readers) reader.join();
}

TEST_F(ExclusionStoreTest, SharedProtectionUsesTheSharedStoreAndTheManagedPrefixes) {
    ExclusionStore::shared().setUserPaths({(home.home() / "Projects").native()});
    home.writeManaged({{"ProtectedBundlePrefixes", PlistValue::strings({"org.example."})}});
    const PathProtection protection(home.home());
    EXPECT_TRUE(protection.shouldProtect(home.home() / "projects/site"));
    EXPECT_TRUE(protection.isEndpointSecurityBundle("org.example.guard"));
    ExclusionStore::shared().setUserPaths({});
    EXPECT_FALSE(protection.shouldProtect(home.home() / "projects/site"));
}

}  // namespace
}  // namespace vornelo
