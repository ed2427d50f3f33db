#pragma once
// An observable value: observers hear of every assignment before it takes effect.
//
// Two kinds of observer:
// - will-change observers take no argument; they run first, while value() is still the old value
//   (the "object will change" signal of an observable object);
// - value subscribers receive the current value at once when they subscribe, and then each new
//   value before it is stored (the stream of values).
// Every assignment is announced, even one that stores an equal value.
//
// Observers may subscribe, cancel (their own or others' subscriptions) and read value() from
// inside a notification; an observer cancelled during a notification is not called again, and
// one added during a notification first hears of the next assignment. Observers run on the
// assigning thread, in the order they subscribed.
//
// Thread safety: none. Like the objects that own it, a Published is used from one thread at a
// time. A Subscription may outlive its Published; cancelling it then does nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vornelo::platform {

template <typename T>
class Published {
    struct Observer {
        std::uint64_t id = 0;
        std::function<void()> willChange;           // set for will-change observers
        std::function<void(const T&)> receiveValue;  // set for value subscribers
        bool active = true;
    };
    struct State {
        std::vector<std::shared_ptr<Observer>> observers;
        std::uint64_t nextID = 1;
    };

public:
    // Ends its observation when cancelled or destroyed. Movable, not copyable.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        Subscription(Subscription&& other) noexcept
            : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                cancel();
                state_ = std::move(other.state_);
                id_ = std::exchange(other.id_, 0);
            }
            return *this;
        }
        ~Subscription() { cancel(); }

        void cancel() {
            const auto state = state_.lock();
            state_.reset();
            if (!state || id_ == 0) return;
            auto& observers = state->observers;
            for (auto it = observers.begin(); it != observers.end(); ++it) {
                if ((*it)->id != id_) continue;
                (*it)->active = false;  // a notification in progress holds its own reference
                observers.erase(it);
                break;
            }
            id_ = 0;
        }

    private:
        friend class Published;
        Subscription(std::weak_ptr<State> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}

        std::weak_ptr<State> state_;
        std::uint64_t id_ = 0;
    };

    explicit Published(T initial = T{}) : value_(std::move(initial)), state_(std::make_shared<State>()) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    [[nodiscard]] const T& value() const { return value_; }

    // Announces the assignment to every observer, then stores the value.
    void set(T newValue) {
        const auto snapshot = state_->observers;  // observers may subscribe or cancel meanwhile
        for (const auto& observer : snapshot) {
            if (observer->active && observer->willChange) observer->willChange();
        }
        for (const auto& observer : snapshot) {
            if (observer->active && observer->receiveValue) observer->receiveValue(newValue);
        }
        value_ = std::move(newValue);
    }

    // Called before every assignment, with no argument.
    [[nodiscard]] Subscription onWillChange(std::function<void()> observer) {
        return add(Observer{0, std::move(observer), {}, true});
    }

    // Called now with the current value, then with every new value before it is stored.
    [[nodiscard]] Subscription subscribe(std::function<void(const T&)> subscriber) {
        auto subscription = add(Observer{0, {}, subscriber, true});
        subscriber(value_);
        return subscription;
    }

    [[nodiscard]] std::size_t observerCount() const { return state_->observers.size(); }

private:
    Subscription add(Observer observer) {
        observer.id = state_->nextID++;
        const auto id = observer.id;
        state_->observers.push_back(std::make_shared<Observer>(std::move(observer)));
        return Subscription(state_, id);
    }

    T value_;
    std::shared_ptr<State> state_;
};

}  // namespace vornelo::platform
