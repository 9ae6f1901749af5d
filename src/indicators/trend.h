// Moving averages and the supertrend. The Bollinger bands run the sma recursion inline,
// the MACD the ema recursion and the supertrend the atr recursion, each with exactly the
// arithmetic of the kernel it repeats, so their values agree bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::indicators::trend {

// Simple moving average over a running sum (leaving value subtracted before the entering
// one is added). period - 1 leading NaN; a period longer than the data gives all NaN.
base::Result<std::vector<double>, base::CoreError> sma(std::span<const double> data, std::uint64_t period);
// The same into out, which has data.size() elements and is overwritten in full.
base::Status<base::CoreError> sma_into(std::span<const double> data, std::uint64_t period, std::span<double> out);

// Exponential moving average, alpha = 2 / (period + 1), seeded with the mean of the first
// period values. period - 1 leading NaN; a period longer than the data gives all NaN.
base::Result<std::vector<double>, base::CoreError> ema(std::span<const double> data, std::uint64_t period);
// The same into out, which has data.size() elements and is overwritten in full.
base::Status<base::CoreError> ema_into(std::span<const double> data, std::uint64_t period, std::span<double> out);

struct SupertrendSeries {
    std::vector<double> value;         // the band the trend rides on; NaN while undefined
    std::vector<std::int8_t> direction;  // 1 riding the lower band, -1 the upper, 0 no value yet
};

// ATR-band trend follower. Errors: a high or low length differing from the close length,
// period 0. A period at or above the length gives all NaN values and all-zero directions.
base::Result<SupertrendSeries, base::CoreError> supertrend(std::span<const double> high, std::span<const double> low,
                                                           std::span<const double> close, std::uint64_t period,
                                                           double multiplier);

}  // namespace tarnwick::indicators::trend
