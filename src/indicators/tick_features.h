// Per-tick features over time windows: lookback return, realized volatility, open
// interest position, tick velocity, spread and buy/sell imbalance.
//
// Timestamps are nanoseconds since the epoch, expected non-decreasing (not checked). A
// window is given in seconds and turned once into nanoseconds with saturation (NaN is an
// empty window). Tick i looks back over the earlier ticks only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::indicators::tick_features {

// seconds * 1e9 as a signed 64-bit count, saturating at both ends; NaN gives 0.
std::int64_t window_ns(double window_seconds);

// Percent return from the last earlier tick at least the window old; NaN without one or
// with a non-positive base. Error: ltp shorter than timestamps_ns (longer is ignored).
base::Result<std::vector<double>, base::CoreError> return_window(std::span<const std::int64_t> timestamps_ns,
                                                                 std::span<const double> ltp,
                                                                 double window_seconds = 60.0);

// Sample standard deviation, in percent, of the log returns between the ticks inside the
// window (the tick exactly one window back included); NaN with fewer than two returns.
// Error: ltp shorter than timestamps_ns.
base::Result<std::vector<double>, base::CoreError> realized_vol_rolling(std::span<const std::int64_t> timestamps_ns,
                                                                        std::span<const double> ltp,
                                                                        double window_seconds = 300.0);

// Open interest as a percent of the day's range, unclamped; all NaN when the range is
// not positive.
std::vector<double> oi_position_pct(std::span<const double> oi, double oi_day_high, double oi_day_low);

// Ticks per minute over the window, the current tick included; all 0 for a window that
// is not positive.
std::vector<double> tick_velocity(std::span<const std::int64_t> timestamps_ns, double window_seconds = 60.0);

// (ask - bid) in percent of the mid; 0 where the mid is not positive. Length is the
// shorter of the two.
std::vector<double> tick_spread_pct(std::span<const double> bid, std::span<const double> ask);

// Buy share of each tick's volume from cumulative session totals (a falling or missing
// total counts as no volume); 0.5 where nothing traded. Error: sell shorter than buy.
base::Result<std::vector<double>, base::CoreError> buy_sell_imbalance_delta(
    std::span<const double> buy_qty_cumulative, std::span<const double> sell_qty_cumulative);

}  // namespace tarnwick::indicators::tick_features
