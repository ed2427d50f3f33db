#pragma once
// Lets the application run at most one long job at a time (a scan, a maintenance task, a
// deletion, an update) and lets its interface show the job and offer to cancel it.
//
// A job claims the coordinator with begin() and receives a token; only that token can attach a
// cancellation handler or release the coordinator, so a late finish() from an earlier job never
// ends a newer one. Claims made while another job holds the coordinator are refused.
//
// The running job is observable: every change of activity() is announced to will-change
// observers and to activity subscribers before it takes effect (see platform::Published).
//
// Thread safety: none, by design; the coordinator takes no lock. Use it from one thread at a time
// (the interface's thread). The cancellation handler runs on the thread that calls cancel().

#include "Platform/Concurrency/Published.h"
#include "Platform/Encoding/Uuid.h"

#include <functional>
#include <optional>
#include <string>

namespace vornelo {

class WorkCoordinator {
public:
    enum class Kind { scan, maintenance, deletion, updates };

    // The job currently running. Its id is the token begin() handed out.
    struct Activity {
        Uuid id;
        std::string title;
        Kind kind = Kind::scan;

        friend bool operator==(const Activity&, const Activity&) = default;
    };

    using Cancellation = std::function<void()>;
    using Subscription = platform::Published<std::optional<Activity>>::Subscription;

    // Created once, on first use, idle; lives for the process.
    static WorkCoordinator& shared();

    WorkCoordinator() = default;
    WorkCoordinator(const WorkCoordinator&) = delete;
    WorkCoordinator& operator=(const WorkCoordinator&) = delete;

    [[nodiscard]] const std::optional<Activity>& activity() const { return activity_.value(); }
    [[nodiscard]] bool isBusy() const { return activity().has_value(); }
    [[nodiscard]] bool canCancel() const { return static_cast<bool>(cancellation_); }

    // Claims the coordinator and returns the job's token, or nothing (and changes nothing) when
    // another job holds it. A claim made by an observer while a change is being announced is
    // refused too: the coordinator is between two states then.
    [[nodiscard]] std::optional<Uuid> begin(std::string title, Kind kind, Cancellation cancel = {});
    // Attaches or replaces the handler of the job holding `id`; does nothing for any other token.
    void setCancellation(Cancellation handler, const Uuid& id);
    // Calls the current handler once, if there is one. The job stays in place until it finishes.
    // The handler may call finish() or setCancellation() itself.
    void cancel();
    // Releases the coordinator when `id` is the current job's token; otherwise does nothing.
    void finish(const Uuid& id);

    // Called before every change of activity().
    [[nodiscard]] Subscription onWillChange(std::function<void()> observer) {
        return activity_.onWillChange(std::move(observer));
    }
    // The stream of activity values: the current one at once, then each new one before it is stored.
    [[nodiscard]] Subscription subscribeActivity(std::function<void(const std::optional<Activity>&)> subscriber) {
        return activity_.subscribe(std::move(subscriber));
    }

private:
    void publish(std::optional<Activity> activity);

    platform::Published<std::optional<Activity>> activity_;
    Cancellation cancellation_;
    bool announcing_ = false;
};

}  // namespace vornelo
