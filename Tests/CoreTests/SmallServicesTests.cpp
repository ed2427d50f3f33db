#include "Core/AppStorageKeys.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/ConcurrentMap.h"
#include "Core/LaunchAtLoginService.h"
#include "Core/ManagedPolicy.h"
#include "Core/WorkCoordinator.h"
#include "Platform/Concurrency/ConcurrentPerform.h"
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

TEST(ByteSizeFormatter, FormatRoundedGivesWholeMegabytesOrGigabytesAndFormatPercentOneFractionDigit) {
    // Below a megabyte the byte-count text; half to even; never "1000 MB"; no grouping, no TB.
    const Sized cases[] = {{999'999, "1 MB"}, {-5'000'000, "-5 MB"}, {1'000'000, "1 MB"}, {250'600'000, "251 MB"},
                           {2'500'000, "2 MB"}, {999'400'000, "999 MB"}, {999'500'000, "1 GB"},
                           {1'000'000'000, "1 GB"}, {1'500'000'000, "2 GB"}, {2'500'000'000, "2 GB"},
                           {5'000'000'000'000, "5000 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ByteSizeFormatter::formatRounded(bytes), text) << bytes;
    // Percentages show one fraction digit; 0.15 is a decimal tie, though the double is below it.
    const std::pair<double, const char*> percents[] = {{42.0, "42.0%"}, {7.25, "7.2%"},     {7.35, "7.4%"},
                                                    {0.15, "0.2%"},  {0, "0.0%"},        {150, "150.0%"},
                                                    {99.96, "100.0%"}, {std::nan(""), "NaN%"}};
    for (const auto& [value, text] : percents) EXPECT_EQ(ByteSizeFormatter::formatPercent(value), text) << value;
}

// The two elements wait for each other, so the map ends only if they run at once.
TEST(ConcurrentMap, ResultsKeepInputOrderAndElementsRunOnSeveralThreadsAtOnce) {
    std::atomic<int> calls{0};
    EXPECT_TRUE(concurrentMap(std::vector<int>{}, [&](int value) { return ++calls, value; }).empty());
    EXPECT_EQ(calls.load(), 0);
    const auto result = concurrentMap(std::vector<int>{30, 20, 10}, [](int delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        return "done after " + std::to_string(delay);
    });
    EXPECT_EQ(result, (std::vector<std::string>{"done after 30", "done after 20", "done after 10"}));
    std::latch bothStarted(2);
    const auto threads = concurrentMap(std::vector<int>{0, 1}, [&](int) {
        bothStarted.arrive_and_wait();
        return std::this_thread::get_id();
    });
    EXPECT_NE(threads.at(0), threads.at(1));

    std::vector<int> input(1000);
    for (int i = 0; i < 1000; ++i) input[static_cast<std::size_t>(i)] = i;
    const auto doubled = concurrentMap(input, [](int value) { return std::make_unique<int>(value * 2); });
    ASSERT_EQ(doubled.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(*doubled[static_cast<std::size_t>(i)], i * 2);
    const auto sums = concurrentMap(std::vector<int>{1, 2, 3, 4}, [](int outer) {
        const auto inner = concurrentMap(std::vector<int>{1, 2, 3}, [outer](int value) { return outer * value; });
        return inner[0] + inner[1] + inner[2];
    });
    EXPECT_EQ(sums, (std::vector<int>{6, 12, 18, 24}));
}

TEST(ConcurrentPerform, EveryIterationRunsOnceTheFirstExceptionReachesTheCallerAndManyMayCallAtOnce) {
    std::vector<std::atomic<int>> seen(257);
    EXPECT_THROW(platform::concurrentPerform(seen.size(),
                                             [&](std::size_t index) {
                                                 ++seen[index];
                                                 if (index % 100 == 7) throw std::runtime_error("bad element");
                                             }),
                 std::runtime_error);
    for (const auto& count : seen) EXPECT_EQ(count.load(), 1);
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] { platform::concurrentPerform(100, [&](std::size_t i) { total += static_cast<long>(i); }); });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 4 * 4950);
}

// Switching off and failures are for the command-line test.
TEST(LaunchAtLoginService, RegistersTheApplicationAndAnEntrySwitchedOffIsNotEnabled) {
    const test::TestHome home;
    const auto entry = home.home() / ".config/autostart/com.tessaldon.Vornelo.desktop";
    ASSERT_TRUE(LaunchAtLoginService::setEnabled(true));
    EXPECT_EQ(std::tuple(LaunchAtLoginService::mainApp().entryPath(), LaunchAtLoginService::isEnabled()), std::tuple(entry, true));
    const auto text = test::readFile(entry);
    EXPECT_TRUE(text.contains("\nExec=vornelo\n") && text.contains("\nName=Vornelo\n")) << text;
    test::writeFile(entry, text + "Hidden=true\n");
    EXPECT_EQ(std::tuple(LaunchAtLoginService::status(), LaunchAtLoginService::isEnabled()),
              std::tuple(LoginItemStatus::requiresApproval, false));
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
    EXPECT_FALSE(policy.isManaged() || policy.forceOperationLog() || policy.disableAutomaticUpdates() ||
                 policy.disablePrivilegedTools() || policy.scheduledScanIntervalHours());
    EXPECT_TRUE(policy.disabledFeatures().empty() && policy.protectedPaths().empty() && policy.protectedBundlePrefixes().empty());
    EXPECT_EQ(ManagedPolicy(home.defaults(), false).protectedPaths(), std::vector<std::string>{"/srv"})
        << "unforced values count when not required";

    home.writeManaged({{"DisablePrivilegedTools", PlistValue(true)}, {"ForceOperationLog", PlistValue(true)}});
    EXPECT_TRUE(policy.disablePrivilegedTools() && policy.forceOperationLog() && policy.isManaged());
    // A value of the wrong type reads empty but still counts as managed.
    home.writeManaged({{"ProtectedPaths", PlistValue("/single/string")}, {"ForceOperationLog", PlistValue("yes")}});
    EXPECT_EQ(std::tuple(policy.protectedPaths().empty(), policy.forceOperationLog(), policy.isManaged()), std::tuple(true, false, true));
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

TEST(WorkCoordinator, OneJobAtATimeAndOnlyItsTokenReleasesIt) {
    WorkCoordinator coordinator;
    EXPECT_FALSE(coordinator.isBusy());

    const auto scan = coordinator.begin("Scanning caches", Kind::scan);
    ASSERT_TRUE(scan);
    EXPECT_FALSE(coordinator.begin("Emptying the Trash", Kind::deletion));
    EXPECT_EQ(coordinator.activity(), (WorkCoordinator::Activity{*scan, "Scanning caches", Kind::scan}));

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

TEST(WorkCoordinator, CancelCallsTheCurrentHandlerOnceStaleTokensCannotReplaceItAndItMayFinishTheJob) {
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
    EXPECT_EQ(std::tuple(calls, coordinator.isBusy(), coordinator.canCancel()), std::tuple(std::vector<std::string>{"first"}, true, true));
    coordinator.finish(*first);
    EXPECT_FALSE(coordinator.canCancel());

    const auto second = coordinator.begin("Second", Kind::deletion, [&] { calls.push_back("second"); });
    coordinator.setCancellation([&] { calls.push_back("stale"); }, *first);
    coordinator.cancel();
    coordinator.setCancellation([&] { calls.push_back("replaced"); }, *second);
    coordinator.cancel();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "replaced"}));
    coordinator.finish(*second);

    // The handler may finish the job from inside cancel; its captures survive its own release.
    std::optional<Uuid> job;
    auto state = std::make_shared<std::string>("still alive");
    std::string seenAfterFinish;
    job = coordinator.begin("Deleting", Kind::deletion, [&coordinator, &job, &seenAfterFinish, state] {
        coordinator.finish(*job);
        seenAfterFinish = *state;
    });
    state.reset();
    coordinator.cancel();
    EXPECT_EQ(std::tuple(seenAfterFinish, coordinator.isBusy()), std::tuple("still alive", false));
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
