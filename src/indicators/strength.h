// Trend-strength and volume indicators: the average directional index and the
// cumulative volume-weighted average price.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::indicators::strength {

// ADX line with Wilder's smoothed sums. 2 * period - 1 leading NaN; data shorter than
// 2 * period gives all NaN. Errors: a high or low length differing from the close
// length, then period 0.
base::Result<std::vector<double>, base::CoreError> adx(std::span<const double> high, std::span<const double> low,
                                                       std::span<const double> close, std::uint64_t period);
// The same into out, which has close.size() elements and is overwritten in full.
base::Status<base::CoreError> adx_into(std::span<const double> high, std::span<const double> low,
                                       std::span<const double> close, std::uint64_t period, std::span<double> out);

// Volume-weighted average of the typical price (high + low + close) / 3 from the first
// bar on, no reset; NaN while the cumulative volume is not positive. Error: a high, low
// or volume length differing from the close length.
base::Result<std::vector<double>, base::CoreError> vwap(std::span<const double> high, std::span<const double> low,
                                                        std::span<const double> close, std::span<const double> volume);

}  // namespace tarnwick::indicators::strength
