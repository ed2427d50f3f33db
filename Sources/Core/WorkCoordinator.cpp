#include "Core/WorkCoordinator.h"

#include <utility>

namespace vornelo {

WorkCoordinator& WorkCoordinator::shared() {
    static WorkCoordinator coordinator;
    return coordinator;
}

std::optional<Uuid> WorkCoordinator::begin(std::string title, Kind kind, Cancellation cancel) {
    // While a change is announced the stored activity is still the old one, so a claim from an
    // observer would pass the busy test and be overwritten by the change in progress.
    if (isBusy() || announcing_) return std::nullopt;
    const Uuid id;
    cancellation_ = std::move(cancel);
    publish(Activity{id, std::move(title), kind});
    return id;
}

void WorkCoordinator::setCancellation(Cancellation handler, const Uuid& id) {
    if (!isBusy() || activity()->id != id) return;
    cancellation_ = std::move(handler);
}

void WorkCoordinator::cancel() {
    if (!cancellation_) return;
    // A copy, because the handler may finish the job, which destroys the stored handler while
    // it is still running.
    const auto handler = cancellation_;
    handler();
}

void WorkCoordinator::finish(const Uuid& id) {
    if (!isBusy() || activity()->id != id) return;
    cancellation_ = nullptr;
    publish(std::nullopt);
}

void WorkCoordinator::publish(std::optional<Activity> activity) {
    struct Restore {
        bool& flag;
        bool previous;
        ~Restore() { flag = previous; }
    } restore{announcing_, std::exchange(announcing_, true)};
    activity_.set(std::move(activity));
}

}  // namespace vornelo
