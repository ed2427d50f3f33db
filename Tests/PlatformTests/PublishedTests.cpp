#include "Platform/Published.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(Published, AnnouncesEveryAssignmentBeforeItIsStored) {
    Published<int> value(1);
    std::vector<std::string> events;
    auto willChange = value.onWillChange([&] { events.push_back("will change from " + std::to_string(value.value())); });
    auto stream = value.subscribe([&](const int& next) {
        events.push_back("value " + std::to_string(next) + " while stored " + std::to_string(value.value()));
    });

    value.set(2);
    value.set(2);  // an equal value is still announced

    EXPECT_EQ(events, (std::vector<std::string>{"value 1 while stored 1", "will change from 1",
                                                "value 2 while stored 1", "will change from 2",
                                                "value 2 while stored 2"}));
    EXPECT_EQ(value.value(), 2);
}

TEST(Published, ObserversMayCancelOthersAndSubscribeDuringANotification) {
    Published<int> value;
    std::vector<std::string> events;
    Published<int>::Subscription second;
    Published<int>::Subscription late;
    auto first = value.onWillChange([&] {
        events.push_back("first");
        second.cancel();
        if (value.observerCount() == 1) late = value.onWillChange([&] { events.push_back("late"); });
    });
    second = value.onWillChange([&] { events.push_back("second"); });

    value.set(1);
    EXPECT_EQ(events, (std::vector<std::string>{"first"}));  // second was cancelled, late is too new
    events.clear();
    value.set(2);
    EXPECT_EQ(events, (std::vector<std::string>{"first", "late"}));
    EXPECT_EQ(value.observerCount(), 2u);
}

TEST(Published, SubscriptionOutlivingItsValueCancelsHarmlessly) {
    Published<std::optional<int>>::Subscription survivor;
    std::optional<int> received = 7;
    {
        Published<std::optional<int>> value;
        survivor = value.subscribe([&](const std::optional<int>& next) { received = next; });
        EXPECT_EQ(value.observerCount(), 1u);
    }
    EXPECT_EQ(received, std::nullopt);  // the current value arrived at once
    survivor.cancel();  // must not touch the destroyed value (ASan checks)
}

}  // namespace
}  // namespace vornelo::platform
