// Two doubles side by side in one vector register, and the masking the metrics' passes
// use to leave a term out of an in-order sum without a branch.
//
// A term left out is -0.0, never a skipped addition: adding -0.0 leaves any sum as it was
// (a -0.0 start included), so a masked term is the same as a skipped one.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "base/simd.h"

namespace tarnwick::metrics::lanes {

// base::simd::Sse2's lanes, named by their plain vector type (the intrinsic's may_alias
// would be dropped from the template arguments these pass through).
using Lanes = double __attribute__((vector_size(16)));
using LaneMask = std::int64_t __attribute__((vector_size(16)));  // a true comparison is -1

inline Lanes load(const double* at) noexcept { return base::simd::Sse2::load(at); }
inline Lanes splat(double x) noexcept { return base::simd::Sse2::splat(x); }

// The comparisons' results as two bits, lane 0 the low one.
inline int bits(LaneMask m) noexcept { return _mm_movemask_pd((__m128d)m); }

// As bits, the lanes where low <= x <= high (never for NaN).
inline int bits_within(Lanes x, Lanes low, Lanes high) noexcept {
    return _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd((__m128d)x, (__m128d)low), _mm_cmple_pd((__m128d)x, (__m128d)high)));
}

// `x` when `keep`, else -0.0, chosen by masking rather than branching: the sign of a
// return is a coin toss a branch predictor loses.
inline double kept_or_negative_zero(bool keep, double x) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    const std::uint64_t negative_zero = std::uint64_t{1} << 63;
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & mask) | (negative_zero & ~mask));
}

// `x` in the lanes of `keep`, else -0.0.
inline Lanes kept_or_negative_zero(LaneMask keep, Lanes x) noexcept {
    const LaneMask negative_zero = {std::int64_t{1} << 63, std::int64_t{1} << 63};
    return (Lanes)(((LaneMask)x & keep) | (negative_zero & ~keep));
}

// Lane by lane, |x|: the sign bit cleared, as std::fabs does.
inline Lanes magnitude(Lanes x) noexcept {
    const LaneMask sign = {std::int64_t{1} << 63, std::int64_t{1} << 63};
    return (Lanes)((LaneMask)x & ~sign);
}

// Lane by lane, `a` where a > b, else `b` (equal or unordered lanes give `b`).
inline Lanes above_or(Lanes a, Lanes b) noexcept { return (Lanes)_mm_max_pd((__m128d)a, (__m128d)b); }

// `x` in the lanes where x > 0, else -0.0 (NaN and zeros of either sign included).
inline Lanes positive_or_negative_zero(Lanes x) noexcept { return above_or(x, splat(-0.0)); }

// Counting in lanes: subtracting a comparison's mask adds one where it held.
inline std::uint64_t total(LaneMask counts) noexcept { return static_cast<std::uint64_t>(counts[0] + counts[1]); }

}  // namespace tarnwick::metrics::lanes
