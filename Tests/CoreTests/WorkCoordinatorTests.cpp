#include "Core/WorkCoordinator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vornelo {
namespace {

using Kind = WorkCoordinator::Kind;

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
}

TEST(WorkCoordinator, ClaimFromAnObserverDuringAChangeIsRefused) {
    WorkCoordinator coordinator;
    std::optional<std::optional<Uuid>> nested;
    auto observer = coordinator.onWillChange([&] {
        if (!nested) nested = coordinator.begin("Nested", Kind::maintenance);
    });
    const auto outer = coordinator.begin("Outer", Kind::scan);
    ASSERT_TRUE(outer);
    ASSERT_TRUE(nested);
    EXPECT_FALSE(*nested);
    EXPECT_EQ(std::tie(coordinator.activity()->id, coordinator.activity()->title), std::tuple(*outer, "Outer"));
}

}  // namespace
}  // namespace vornelo
