// Shared building blocks of the indicator computations: the "no value" marker, the
// output allocation, and the overflow-free period arithmetic.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/fault.h"
#include "base/huge_pages.h"
#include "base/result.h"
#include "base/saturate.h"

namespace tarnwick::indicators {

// The result vocabulary every kernel of this layer speaks.
using base::CoreError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;

// The one marker of an undefined output element: the default quiet NaN.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// An output series of n undefined elements; indicators write only what they define.
inline std::vector<double> nan_series(std::size_t n) {
    std::vector<double> v;
    v.reserve(n);
    base::advise_huge_pages(v.data(), n * sizeof(double));
    v.assign(n, kNaN);
    return v;
}

// Room for an output series of n elements, none of them written yet.
inline std::vector<double> reserve_series(std::size_t n) {
    std::vector<double> v;
    v.reserve(n);
    base::advise_huge_pages(v.data(), n * sizeof(double));
    return v;
}

// Writes `count` values to dst[0 .. count), produced in order by fill(block, m), which
// writes the next m values to block[0 .. m). fill runs with no call inside (it is meant to
// be noinline), so a recursion's state stays in registers.
inline constexpr std::size_t kAppendBlock = 256;
template <class Fill>
void write_blocks(double* dst, std::size_t count, Fill fill) {
    while (count > 0) {
        const std::size_t m = count < kAppendBlock ? count : kAppendBlock;
        fill(dst, m);
        dst += m;
        count -= m;
    }
}
// Appends `count` values to `out` the same way. The storage is first extended with zeros
// in one go, a plain memset, which on large fresh outputs costs clearly less than a NaN
// fill or than copying the values in from a buffer; the values are then written in place.
template <class Fill>
void append_blocks(std::vector<double>& out, std::size_t count, Fill fill) {
    const std::size_t at = out.size();
    out.resize(at + count);
    write_blocks(out.data() + at, count, fill);
}

// Storage for a series of n elements that a kernel writing into a caller's buffer (the
// *_into functions) then overwrites in full. Callers that own the result's allocation,
// such as the Python layer handing out fresh arrays, call those kernels directly and so
// skip this zero fill.
inline std::vector<double> output_series(std::size_t n) {
    std::vector<double> v = reserve_series(n);
    v.resize(n);
    return v;
}

// Guards the contract of the *_into kernels: one output element per input element.
inline void check_output(std::span<const double> out, std::size_t n) {
    if (out.size() != n) base::fault("indicator output length differs from the input length");
}

// The series a *_into kernel writes over n elements, `into(out)`, as a new vector; the
// kernel's refusal as it gives it.
template <class Into>
base::Result<std::vector<double>, base::CoreError> series_from(std::size_t n, Into&& into) {
    std::vector<double> out = output_series(n);
    if (auto done = into(std::span<double>(out)); !done) return base::err(std::move(done).error());
    return out;
}

// W doubles side by side and their comparison masks, for kernels that form the terms of
// W bars at once (unaligned: they are loaded from anywhere in a series).
template <int W>
struct VectorLanes;
template <>
struct VectorLanes<2> {
    using V = double __attribute__((vector_size(16), aligned(8)));
    using M = std::int64_t __attribute__((vector_size(16), aligned(8)));
};
template <>
struct VectorLanes<4> {
    using V = double __attribute__((vector_size(32), aligned(8)));
    using M = std::int64_t __attribute__((vector_size(32), aligned(8)));
};

// Larger of two values where a NaN operand counts as missing: the result is NaN only
// when both are. Used by the true range so a missing close narrows the range instead of
// erasing it.
inline double max_present(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

// Whether no element is NaN or infinite. Kernels with a cheaper path for such data ask
// this once up front; the sums use independent lanes so the scan vectorises (the order of
// additions cannot change whether a NaN appears), enough of them to cover the latency
// of the additions.
inline bool all_finite(std::span<const double> x) {
    constexpr std::size_t kLanes = 16;
    double lanes[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= x.size(); i += kLanes) {
        for (std::size_t k = 0; k < kLanes; ++k) lanes[k] += x[i + k] * 0.0;
    }
    double rest = 0.0;
    for (; i < x.size(); ++i) rest += x[i] * 0.0;
    for (double l : lanes) rest += l;
    return !std::isnan(rest);
}

// Smoothing factor of an exponential average over `period` bars. The batch kernels, the
// MACD and the streaming averages all take it from here, so that they agree bit for bit.
inline double ema_alpha(std::uint64_t period) { return 2.0 / (static_cast<double>(period) + 1.0); }

// Period sums such as slow + signal can be given arbitrarily large periods; they saturate,
// which keeps "longer than the data" meaning exactly that instead of wrapping into a short
// period.
using base::sat_add_u64;

// True range of bar i: high - low on the first bar, afterwards the widest of the bar's
// own range and its distances from the previous close, each missing term ignored.
inline double true_range(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, std::size_t i) {
    const double hl = high[i] - low[i];
    if (i == 0) return hl;
    const double pc = close[i - 1];
    return max_present(max_present(hl, std::fabs(high[i] - pc)), std::fabs(low[i] - pc));
}

}  // namespace tarnwick::indicators
