// What optimize_book proves before it builds a problem: the inputs obey every rule, and
// the caps can reach the required investment at all, so that the solver never sees a
// malformed or plainly infeasible book.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "analytics/optimize.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics::optimize_checks {

// Long/short exactly when short_cap > 0; NaN and negatives select long-only.
inline bool long_short(const OptimizerConfig& c) { return c.short_cap > 0.0; }

// The book's vectors against the n assets of the model, then the configuration; the
// first broken rule is reported.
base::Status<base::PortfolioError> validate(std::size_t n, std::span<const double> alpha,
                                            std::span<const double> w_current, const OptimizerConfig& config);

// The most weight the sector caps admit: the sum over sectors of the smaller of the cap
// and counts[s] x position_cap (a NaN operand yields the other).
double sector_capacity(std::size_t sector_count, const OptimizerConfig& config,
                       std::span<const std::size_t> counts);

// After validate: the position caps and the sector caps against the required investment
// (1 - cash_max long-only, net_min long/short).
base::Status<base::PortfolioError> check_reachable(std::size_t n, const OptimizerConfig& config);

}  // namespace tarnwick::analytics::optimize_checks
