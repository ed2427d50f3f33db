#pragma once
// Arithmetic on byte sizes and counters: overflow is a programming error, never a wrapped value.

#include <cstdint>
#include <cstdlib>

namespace vornelo::platform {

// Aborts the process on signed 64-bit overflow.
[[nodiscard]] inline std::int64_t checkedAdd(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        std::abort();
    }
    return sum;
}

// Aborts the process on signed 64-bit overflow.
[[nodiscard]] inline std::int64_t checkedMultiply(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        std::abort();
    }
    return product;
}

}  // namespace vornelo::platform

namespace vornelo {
using platform::checkedAdd;
using platform::checkedMultiply;
}  // namespace vornelo
