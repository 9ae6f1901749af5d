// Attached streams from caller columns: the length checks and the shapes a session
// stores (bars, tick columns, depth snapshots).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bar.h"
#include "core/errors.h"
#include "core/matrix.h"
#include "core/result.h"
#include "data/events/depth_snapshot.h"
#include "data/events/tick_expansion.h"

namespace tarnwick {

// One bar per row; "all bar arrays must share one length" otherwise. Values and the
// order of timestamps are not checked: the merge takes the stream in stored order.
Result<std::vector<OhlcvBar>, OwnError> bars_from_columns(const std::vector<std::int64_t>& timestamps,
                                                          const std::vector<double>& open,
                                                          const std::vector<double>& high,
                                                          const std::vector<double>& low,
                                                          const std::vector<double>& close,
                                                          const std::vector<double>& volume);

// The optional tick columns in the order they are checked; an absent one becomes zeros.
struct OptionalTickColumns {
    std::optional<std::vector<double>> bid, ask, buy_qty_delta, sell_qty_delta, oi, ltq, bid_qty, ask_qty;
};

// "all tick arrays must share one length" when ltp or a supplied column differs from the
// timestamps' length.
Result<TickColumns, OwnError> tick_columns(std::vector<std::int64_t> timestamps, std::vector<double> ltp,
                                           OptionalTickColumns optional);

// One snapshot per row: per side the levels with a price above 0, in column order, the
// first five kept. "depth arrays must have one row per timestamp", then "price and size
// arrays must have the same level count" (per side; the sides may differ).
Result<std::vector<DepthSnapshot>, OwnError> depth_snapshots(const std::vector<std::int64_t>& timestamps,
                                                             const Matrix& bid_prices, const Matrix& bid_sizes,
                                                             const Matrix& ask_prices, const Matrix& ask_sizes);

}  // namespace tarnwick
