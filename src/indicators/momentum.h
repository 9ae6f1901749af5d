// Momentum oscillators: RSI with Wilder smoothing, MACD on the ema kernel, and the
// stochastic oscillator.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::indicators::momentum {

// Relative strength index, Wilder smoothing, seeded with the plain means of the first
// period gains and losses (period + 1 prices). period leading NaN; 100 when the average
// loss is 0. Error: period 0.
base::Result<std::vector<double>, base::CoreError> rsi(std::span<const double> data, std::uint64_t period);
// The same into out, which has data.size() elements and is overwritten in full.
base::Status<base::CoreError> rsi_into(std::span<const double> data, std::uint64_t period, std::span<double> out);

struct MacdSeries {
    std::vector<double> macd;       // fast ema - slow ema; slow_period - 1 leading NaN
    std::vector<double> signal;     // ema of the macd line; slow + signal - 2 leading NaN
    std::vector<double> histogram;  // macd - signal
};

// Errors: any period 0, then fast_period >= slow_period.
base::Result<MacdSeries, base::CoreError> macd(std::span<const double> data, std::uint64_t fast_period,
                                               std::uint64_t slow_period, std::uint64_t signal_period);
// The same into the three outputs, each of data.size() elements and overwritten in full.
base::Status<base::CoreError> macd_into(std::span<const double> data, std::uint64_t fast_period,
                                        std::uint64_t slow_period, std::uint64_t signal_period,
                                        std::span<double> macd_out, std::span<double> signal_out,
                                        std::span<double> histogram_out);

struct StochasticSeries {
    std::vector<double> k;  // k_period - 1 leading NaN; 50 where the window has no range
    std::vector<double> d;  // mean of the last d_period %K values; k + d - 2 leading NaN
};

// Errors: a high or low length differing from the close length, then a zero period.
base::Result<StochasticSeries, base::CoreError> stochastic(std::span<const double> high, std::span<const double> low,
                                                           std::span<const double> close, std::uint64_t k_period,
                                                           std::uint64_t d_period);

}  // namespace tarnwick::indicators::momentum
