#pragma once
// A parallel map: the transform runs on the platform's parallel-for, several elements at once, and
// the results come back in input order.
//
// Thread safety: the transform is called from several threads at once and must allow that; the
// caller's thread blocks until every element is done. If a transform throws, the other elements
// still run and the first exception is rethrown to the caller.

#include "Platform/Concurrency/ConcurrentPerform.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace vornelo {

namespace detail {

// The map's result store: one slot per input element, written under a lock.
template <typename T>
class Slots {
public:
    explicit Slots(std::size_t count) : storage_(count) {}

    // An index outside the store is a programming error and throws std::out_of_range.
    void set(std::size_t index, T value) {
        std::lock_guard guard(lock_);
        storage_.at(index) = std::move(value);
    }

    // The filled slots' values in index order.
    std::vector<T> values() {
        std::lock_guard guard(lock_);
        std::vector<T> result;
        result.reserve(storage_.size());
        for (auto& slot : storage_) {
            if (slot) result.push_back(std::move(*slot));
        }
        return result;
    }

private:
    std::mutex lock_;
    std::vector<std::optional<T>> storage_;
};

}  // namespace detail

template <typename Input, typename Transform>
auto concurrentMap(const std::vector<Input>& input, const Transform& transform)
    -> std::vector<std::decay_t<std::invoke_result_t<const Transform&, const Input&>>> {
    using Output = std::decay_t<std::invoke_result_t<const Transform&, const Input&>>;
    if (input.empty()) return {};
    detail::Slots<Output> slots(input.size());
    platform::concurrentPerform(input.size(), [&](std::size_t index) { slots.set(index, transform(input[index])); });
    return slots.values();
}

}  // namespace vornelo
