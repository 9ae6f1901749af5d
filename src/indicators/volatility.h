// Volatility and range indicators: the average true range (the one ATR of the system,
// also behind ATR-based stops and targets), Bollinger bands and rolling extremes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.h"
#include "core/result.h"

namespace tarnwick::indicators::volatility {

// Wilder-smoothed average true range. Errors: a high or low length differing from the
// close length (DataLengthMismatch naming len(close) and the differing length), period 0.
// period - 1 leading NaN; a period at or above the length gives an all-NaN series.
Result<std::vector<double>, CoreError> atr(std::span<const double> high, std::span<const double> low,
                                           std::span<const double> close, std::uint64_t period);

}  // namespace tarnwick::indicators::volatility
