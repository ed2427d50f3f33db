#include "Core/AppStorageKeys.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ConcurrentMap.h"
#include "Core/LaunchAtLoginService.h"
#include "Core/ManagedPolicy.h"
#include "Core/WorkCoordinator.h"
#include "Platform/ConcurrentPerform.h"
#include "Support/TestHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vornelo {
namespace {

namespace fs = std::filesystem;
using Kind = WorkCoordinator::Kind;
using platform::LoginItemStatus;
using platform::PlistValue;

struct Sized {
    std::int64_t bytes;
    const char* text;
};

TEST(ByteSizeFormatter, FormatPicksKilobytesToTerabytesRoundsTiesToEvenAndCarriesAThousand) {
    const Sized cases[] = {
        // Digits for zero, no plain bytes, no petabytes, and the sign kept.
        {0, "0 KB"}, {1, "0 KB"}, {501, "1 KB"}, {1000, "1 KB"}, {999'499, "999 KB"}, {1'000'000, "1 MB"},
        {123'456'789, "123.5 MB"}, {1'234'567'890, "1.23 GB"}, {1'500'000'000, "1.5 GB"},
        {1'000'000'000'000, "1 TB"}, {5'000'000'000'000'000, "5,000 TB"}, {-1'500'000, "-1.5 MB"},
        // A value that rounds to a thousand moves up a unit (999.5 KB is a tie, up to even 1000).
        {999'500, "1 MB"}, {999'950, "1 MB"}, {999'949'999, "999.9 MB"}, {999'950'000, "1 GB"},
        {999'999'999, "1 GB"}, {999'995'000'000, "1 TB"},
        // Exact ties go to even; 1.05 MB is exact, with no binary 1.05000...04 to tip it.
        {500, "0 KB"}, {1'500, "2 KB"}, {2'500, "2 KB"}, {1'250'000, "1.2 MB"}, {1'350'000, "1.4 MB"},
        {1'050'000, "1 MB"}, {1'125'000'000, "1.12 GB"}, {1'135'000'000, "1.14 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeFormatter::format(bytes), text) << bytes;
}

TEST(ByteSizeFormatter, FormatRoundedGivesWholeMegabytesOrGigabytes) {
    // Below a megabyte the byte-count text; half to even; never "1000 MB"; no grouping, no TB.
    const Sized cases[] = {{999'999, "1 MB"}, {-5'000'000, "-5 MB"}, {1'000'000, "1 MB"}, {250'600'000, "251 MB"},
                           {2'500'000, "2 MB"}, {999'400'000, "999 MB"}, {999'500'000, "1 GB"},
                           {1'000'000'000, "1 GB"}, {1'500'000'000, "2 GB"}, {2'500'000'000, "2 GB"},
                           {5'000'000'000'000, "5000 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeFormatter::formatRounded(bytes), text) << bytes;
}

TEST(ByteSizeFormatter, FormatPercentShowsOneFractionDigit) {
    // 0.15 is a decimal tie, though the double is below it.
    const std::pair<double, const char*> cases[] = {{42.0, "42.0%"}, {7.25, "7.2%"},     {7.35, "7.4%"},
                                                    {0.15, "0.2%"},  {0, "0.0%"},        {150, "150.0%"},
                                                    {99.96, "100.0%"}, {std::nan(""), "NaN%"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(ByteSizeFormatter::formatPercent(value), text) << value;
}

TEST(ConcurrentMap, ResultsKeepInputOrderWhateverOrderTheyFinishIn) {
    std::atomic<int> calls{0};
    EXPECT_TRUE(concurrentMap(std::vector<int>{}, [&](int value) { return ++calls, value; }).empty());
    EXPECT_EQ(calls.load(), 0);  // empty input never calls the transform

    const auto result = concurrentMap(std::vector<int>{30, 20, 10}, [](int delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        return "done after " + std::to_string(delay);
    });
    EXPECT_EQ(result, (std::vector<std::string>{"done after 30", "done after 20", "done after 10"}));
}

TEST(ConcurrentMap, RunsElementsOnSeveralThreadsAtOnce) {
    // Both elements wait for each other: this finishes only if they run at the same time.
    std::latch bothStarted(2);
    const auto threads = concurrentMap(std::vector<int>{0, 1}, [&](int) {
        bothStarted.arrive_and_wait();
        return std::this_thread::get_id();
    });
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_NE(threads[0], threads[1]);
}

TEST(ConcurrentMap, MoveOnlyResultsLargeInputsAndNestedMaps) {
    std::vector<int> input(1000);
    for (int i = 0; i < 1000; ++i) input[static_cast<std::size_t>(i)] = i;
    const auto result = concurrentMap(input, [](int value) { return std::make_unique<int>(value * 2); });
    ASSERT_EQ(result.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(*result[static_cast<std::size_t>(i)], i * 2);
    const auto sums = concurrentMap(std::vector<int>{1, 2, 3, 4}, [](int outer) {
        const auto inner = concurrentMap(std::vector<int>{1, 2, 3}, [outer](int value) { return outer * value; });
        return inner[0] + inner[1] + inner[2];
    });
    EXPECT_EQ(sums, (std::vector<int>{6, 12, 18, 24}));
}

TEST(ConcurrentPerform, EveryIterationRunsOnceAndTheFirstExceptionReachesTheCaller) {
    std::vector<std::atomic<int>> seen(257);
    EXPECT_THROW(platform::concurrentPerform(seen.size(),
                                             [&](std::size_t index) {
                                                 ++seen[index];
                                                 if (index % 100 == 7) throw std::runtime_error("bad element");
                                             }),
                 std::runtime_error);
    for (const auto& count : seen) EXPECT_EQ(count.load(), 1);
    EXPECT_GE(platform::concurrentPerformWorkerCount(), 1u);
}

TEST(ConcurrentPerform, CallsFromManyThreadsAtOnce) {
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] { platform::concurrentPerform(100, [&](std::size_t i) { total += static_cast<long>(i); }); });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 4 * 4950);
}

TEST(LaunchAtLoginService, RegistersTheApplicationInTheUsersAutostartFolderAndReturnsFailures) {
    const test::TestHome home;
    const auto entry = home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop";
    EXPECT_EQ(LaunchAtLoginService::mainApp().entryPath(), entry);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(true));
    EXPECT_TRUE(LaunchAtLoginService::isEnabled());
    const auto text = test::readFile(entry);
    EXPECT_NE(text.find("\nExec=vornelo\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nName=Vornelo\n"), std::string::npos) << text;

    test::writeFile(entry, text + "Hidden=true\n");  // switched off by the user: requires approval
    EXPECT_EQ(LaunchAtLoginService::status(), LoginItemStatus::requiresApproval);
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());

    ASSERT_TRUE(LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(LaunchAtLoginService::isEnabled());
    EXPECT_FALSE(fs::exists(entry));

    // A platform failure is returned, not thrown (the command-line test enables under a file in the way).
    fs::create_directories(entry / "inside");
    std::expected<void, platform::FileError> result;
    EXPECT_NO_THROW(result = LaunchAtLoginService::setEnabled(false));
    EXPECT_FALSE(result);
}

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

TEST_F(ManagedPolicyTest, DisabledFeaturesCompareWithoutCaseAndTheScanIntervalMustBePositive) {
    home.writeManaged({{"DisabledFeatures", PlistValue::strings({"Scan", "UPDATES"})}});
    for (const auto* feature : {"scan", "SCAN", "updates"}) EXPECT_TRUE(forced().isFeatureDisabled(feature)) << feature;
    EXPECT_FALSE(forced().isFeatureDisabled("scans"));
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

TEST(WorkCoordinator, OneJobAtATimeAndOnlyItsTokenReleasesIt) {
    WorkCoordinator coordinator;
    EXPECT_FALSE(coordinator.isBusy());

    const auto scan = coordinator.begin("Scanning caches", Kind::scan);
    ASSERT_TRUE(scan);
    EXPECT_FALSE(coordinator.begin("Emptying the Trash", Kind::deletion));
    ASSERT_TRUE(coordinator.activity());
    EXPECT_EQ(std::tie(coordinator.activity()->id, coordinator.activity()->title, coordinator.activity()->kind),
              std::tuple(*scan, "Scanning caches", Kind::scan));

    coordinator.finish(Uuid());  // a token nobody holds
    EXPECT_TRUE(coordinator.isBusy());
    coordinator.finish(*scan);
    EXPECT_FALSE(coordinator.isBusy());

    // A late finish from the first job cannot end the next one.
    const auto update = coordinator.begin("Updating", Kind::updates);
    ASSERT_TRUE(update);
    EXPECT_NE(*update, *scan);
    coordinator.finish(*scan);
    ASSERT_TRUE(coordinator.activity());
    EXPECT_EQ(coordinator.activity()->id, *update);
}

TEST(WorkCoordinator, CancelCallsTheCurrentHandlerOnceLeavesTheJobRunningAndStaleTokensCannotReplaceIt) {
    WorkCoordinator coordinator;
    coordinator.cancel();  // idle: nothing to call
    EXPECT_FALSE(coordinator.canCancel());
    const auto first = coordinator.begin("No handler yet", Kind::scan);
    EXPECT_FALSE(coordinator.canCancel());
    coordinator.cancel();
    std::vector<std::string> calls;
    coordinator.setCancellation([&] { calls.push_back("first"); }, *first);
    EXPECT_TRUE(coordinator.canCancel());
    coordinator.cancel();
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
    EXPECT_TRUE(coordinator.isBusy());
    EXPECT_TRUE(coordinator.canCancel());
    coordinator.finish(*first);
    EXPECT_FALSE(coordinator.canCancel());

    const auto second = coordinator.begin("Second", Kind::deletion, [&] { calls.push_back("second"); });
    coordinator.setCancellation([&] { calls.push_back("stale"); }, *first);
    coordinator.cancel();
    coordinator.setCancellation([&] { calls.push_back("replaced"); }, *second);
    coordinator.cancel();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "replaced"}));
}

TEST(WorkCoordinator, HandlerMayFinishTheJobFromInsideCancel) {
    WorkCoordinator coordinator;
    std::optional<Uuid> job;
    auto state = std::make_shared<std::string>("still alive");
    std::string seenAfterFinish;
    job = coordinator.begin("Deleting", Kind::deletion, [&coordinator, &job, &seenAfterFinish, state] {
        coordinator.finish(*job);
        seenAfterFinish = *state;  // the handler's captures must survive its own release
    });
    state.reset();
    coordinator.cancel();
    EXPECT_EQ(seenAfterFinish, "still alive");
    EXPECT_FALSE(coordinator.isBusy());
}

TEST(WorkCoordinator, ObserversHearOfEachChangeBeforeItTakesEffect) {
    WorkCoordinator coordinator;
    std::vector<std::string> events;
    auto describe = [](const std::optional<WorkCoordinator::Activity>& activity) {
        return activity ? activity->title : std::string("idle");
    };
    auto willChange =
        coordinator.onWillChange([&] { events.push_back("will change, now " + describe(coordinator.activity())); });
    auto stream = coordinator.subscribeActivity([&](const auto& activity) { events.push_back("value " + describe(activity)); });

    const auto job = coordinator.begin("Scan", Kind::scan);
    EXPECT_FALSE(coordinator.begin("Refused", Kind::scan));  // a refused claim announces nothing
    coordinator.finish(*job);
    coordinator.finish(*job);  // nor does a finish that releases nothing

    EXPECT_EQ(events, (std::vector<std::string>{"value idle", "will change, now idle", "value Scan",
                                                "will change, now Scan", "value idle"}));

    // A claim from an observer during a change is refused; the outer claim holds.
    std::optional<std::optional<Uuid>> nested;
    auto claimer = coordinator.onWillChange([&] {
        if (!nested) nested = coordinator.begin("Nested", Kind::maintenance);
    });
    const auto outer = coordinator.begin("Outer", Kind::scan);
    ASSERT_TRUE(outer && nested);
    EXPECT_FALSE(*nested);
    EXPECT_EQ(std::tie(coordinator.activity()->id, coordinator.activity()->title), std::tuple(*outer, "Outer"));
}

}  // namespace
}  // namespace vornelo
