// Extreme of every trailing window of a short fixed length over a whole series, with
// vector instructions and no data-dependent branch.
//
// Each window is the union of a few runs of equal width that start at fixed offsets from
// the window's start: the last run ends at the window's end and may overlap the one
// before. A run of width 4w is in turn four adjacent runs of width w, so run extremes are
// built level by level in a small buffer, and every level and the windows themselves are
// folds of a few loads at fixed offsets, the same for every position. A chunk of windows
// is finished before the next is started, so the buffer stays in the first-level cache.
//
// The result is bit for bit that of a left-to-right scan which skips NaN and takes every
// value at least as extreme as the one held, equal values included, so a zero's sign is
// that of the latest extreme zero. A window holding nothing but NaN and the infinity
// pointing away from the extreme (the scan's start value) has no value: NaN.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwick::indicators {

// Periods up to this one fit the level buffer on the stack. A longer one would redo much
// of its window at every chunk; the block method (sliding_extreme.h), with constant work
// per element whatever the period, serves it.
inline constexpr std::size_t kWindowExtremeMaxPeriod = 256;

// out[i] = maximum (kMax) or minimum of x[i - period + 1 ..= i] as described above, or
// NaN when the window holds no value, for every i from period - 1 to len(x) - 1; out[0 ..
// period - 1) is not written. Requires 1 <= period <= min(len(x), kWindowExtremeMaxPeriod)
// and len(out) == len(x).
template <bool kMax>
void window_extremes(std::span<const double> x, std::size_t period, std::span<double> out);

}  // namespace tarnwick::indicators
