// Saturating integer arithmetic for timestamps and counts, and float-to-integer casts
// that clamp instead of invoking undefined behaviour on out-of-range or NaN input.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tarnwick::base {

// a + b clamped to the signed 64-bit range (nanosecond timestamps and offsets).
constexpr std::int64_t sat_add(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return out;
}

// a + b clamped to the unsigned 64-bit range (counts, periods and indices).
constexpr std::uint64_t sat_add_u64(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t out = 0;
    return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

// a - b clamped to the signed 64-bit range.
constexpr std::int64_t sat_sub(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) {
        return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return out;
}

// Float to signed 64-bit: truncates toward zero, clamps at the range ends, NaN gives 0.
inline std::int64_t sat_cast_i64(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// Float to unsigned 64-bit: truncates toward zero, negative and NaN give 0.
inline std::uint64_t sat_cast_u64(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

}  // namespace tarnwick::base
