// Cross-sectional factor panels.
//
// A panel is a Matrix whose rows are dates and whose columns are assets. NaN marks a
// missing observation and may sit anywhere; infinities are refused. Every cross-sectional
// statistic of a row uses only that row's finite cells, in ascending column order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/matrix.h"
#include "base/result.h"

namespace tarnwick::analytics {

// The buffer holds rows x cols values ("shape mismatch: expected RxC=N values, got M"),
// then no cell is infinite (the first one in row-major order is reported).
base::Status<base::PortfolioError> check_panel(const base::Matrix& panel);

// 0-based average ranks of `values` (all finite): positions sorted ascending (stable), each
// run of exactly equal values shares the mean of its sorted positions. Not scaled.
std::vector<double> average_ranks(std::span<const double> values);

// Finite cells of each row clamped to the row's k-th smallest and k-th largest finite
// values, k = floor(n x pct), 0 <= pct < 0.5. Rows with fewer than two finite cells and
// every NaN cell come back unchanged.
base::Result<base::Matrix, base::PortfolioError> winsorize_panel(base::Matrix values, double pct);

// (x - mean) / population stdev per row; rows with fewer than `min_names` finite cells or
// all finite cells equal are all NaN. The mean is corrected by the mean of the cells centred
// on it, so cells that differ only in their last bits are scored by their true spread. A row
// whose sums leave the double range is scored in units of the power of two of its largest
// magnitude, which leaves its z-scores as they are. min_names >= 2.
base::Result<base::Matrix, base::PortfolioError> zscore_panel(const base::Matrix& values, std::uint64_t min_names);

// Average ranks scaled into [0, 1] by (n - 1) per row; rows with fewer than `min_names`
// finite cells are all NaN. min_names >= 2.
base::Result<base::Matrix, base::PortfolioError> rank_panel(const base::Matrix& values, std::uint64_t min_names);

// prices[t - skip] / prices[t - lookback] - 1 for t >= lookback when both prices are
// positive; NaN elsewhere. Needs skip < lookback.
base::Result<base::Matrix, base::PortfolioError> momentum_panel(const base::Matrix& prices, std::uint64_t lookback,
                                                                std::uint64_t skip);

// Cell-wise weighted sum of same-shaped panels with the weights normalised by their sum;
// NaN wherever any panel (whatever its weight) is NaN. Weights must be finite and
// non-negative with a positive sum. Its refusals carry their whole text.
base::Result<base::Matrix, base::OwnError> composite_scores(const std::vector<base::Matrix>& factors,
                                                            std::span<const double> weights);

}  // namespace tarnwick::analytics
