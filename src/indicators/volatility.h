// Volatility and range indicators: the average true range (the one ATR of the system,
// also behind ATR-based stops and targets), Bollinger bands and rolling extremes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::indicators::volatility {

// Wilder-smoothed average true range. Errors: a high or low length differing from the
// close length (DataLengthMismatch naming len(close) and the differing length), period 0.
// period - 1 leading NaN; a period at or above the length gives an all-NaN series.
base::Result<std::vector<double>, base::CoreError> atr(std::span<const double> high, std::span<const double> low,
                                                       std::span<const double> close, std::uint64_t period);
// The same into out, which has close.size() elements and is overwritten in full.
base::Status<base::CoreError> atr_into(std::span<const double> high, std::span<const double> low,
                                       std::span<const double> close, std::uint64_t period, std::span<double> out);

struct BollingerSeries {
    std::vector<double> upper;
    std::vector<double> middle;
    std::vector<double> lower;
};

// Simple moving average +/- std_dev population standard deviations, the deviation taken
// about the moving average itself. Errors: period 0, std_dev <= 0 (a NaN std_dev passes
// and gives NaN bands). period - 1 leading NaN in all three series.
base::Result<BollingerSeries, base::CoreError> bollinger_bands(std::span<const double> data, std::uint64_t period,
                                                               double std_dev);
// The same into the three bands, each with data.size() elements and overwritten in full.
base::Status<base::CoreError> bollinger_into(std::span<const double> data, std::uint64_t period, double std_dev,
                                             std::span<double> upper, std::span<double> middle,
                                             std::span<double> lower);

// Lowest / highest value of each trailing window of `period` elements, NaN elements
// skipped; a window without any usable value (only NaN, or only the infinity that cannot
// be an extreme) gives NaN. Error: period 0. period - 1 leading NaN.
base::Result<std::vector<double>, base::CoreError> rolling_min(std::span<const double> data, std::uint64_t period);
base::Result<std::vector<double>, base::CoreError> rolling_max(std::span<const double> data, std::uint64_t period);

}  // namespace tarnwick::indicators::volatility
