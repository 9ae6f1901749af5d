// Nanosecond arithmetic for the clock-aligned builders in 128 bits: a window of up to
// 4,294,967,295 weeks, or a timestamp shifted by any offset, leaves the signed 64-bit
// range, and stamps computed from such values saturate back into it.
#pragma once

#include <cstdint>
#include <limits>

namespace tarnwick::data::aggregate {

using WideNs = __int128;

// a / b rounded toward negative infinity; b > 0.
constexpr WideNs floor_div(WideNs a, WideNs b) noexcept {
    WideNs q = a / b;
    if (a % b != 0 && a < 0) --q;
    return q;
}

constexpr std::int64_t saturate_ns(WideNs v) noexcept {
    if (v > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
    if (v < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

}  // namespace tarnwick::data::aggregate
