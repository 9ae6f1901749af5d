// Attached streams from caller columns: the length checks and the shapes a session
// stores (bars, tick columns, depth snapshots).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/errors.h"
#include "base/matrix.h"
#include "base/result.h"
#include "data/events/depth_snapshot.h"
#include "data/events/tick_expansion.h"
#include "domain/bar.h"

namespace tarnwick::data {

// One bar per row; "all bar arrays must share one length" otherwise. Values and the
// order of timestamps are not checked: the merge takes the stream in stored order.
base::Result<std::vector<domain::OhlcvBar>, base::OwnError> bars_from_columns(
    const std::vector<std::int64_t>& timestamps, const std::vector<double>& open, const std::vector<double>& high,
    const std::vector<double>& low, const std::vector<double>& close, const std::vector<double>& volume);

// The optional tick columns in the order they are checked; an absent one becomes zeros.
struct OptionalTickColumns {
    std::optional<std::vector<double>> bid, ask, buy_qty_delta, sell_qty_delta, oi, ltq, bid_qty, ask_qty;
};

// "all tick arrays must share one length" when ltp or a supplied column differs from the
// timestamps' length.
base::Result<TickColumns, base::OwnError> tick_columns(std::vector<std::int64_t> timestamps, std::vector<double> ltp,
                                                       OptionalTickColumns optional);

// One snapshot per row: per side the levels with a price above 0, in column order, the
// first five kept. "depth arrays must have one row per timestamp", then "price and size
// arrays must have the same level count" (per side; the sides may differ).
base::Result<std::vector<DepthSnapshot>, base::OwnError> depth_snapshots(const std::vector<std::int64_t>& timestamps,
                                                                         const base::Matrix& bid_prices,
                                                                         const base::Matrix& bid_sizes,
                                                                         const base::Matrix& ask_prices,
                                                                         const base::Matrix& ask_sizes);

}  // namespace tarnwick::data
