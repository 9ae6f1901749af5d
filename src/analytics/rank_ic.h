// Rank information coefficient of a factor panel against forward returns.
//
// The forward returns are derived here from a price panel of the factor's shape, so the
// caller cannot shift them the wrong way: the pair of date t is (factor[t], prices[t +
// horizon] / prices[t] - 1). Each date's IC is the Spearman correlation of its pairs.
#pragma once

#include <cstdint>
#include <vector>

#include "base/errors.h"
#include "base/matrix.h"
#include "base/result.h"

namespace tarnwick::analytics {

struct RankIC {
    std::vector<double> daily_ic;  // one per date; NaN where the date was not scored
    double mean_ic = 0.0;
    double stdev_ic = 0.0;  // sample (divisor n - 1)
    double t_stat = 0.0;
    double t_stat_deflated = 0.0;  // t_stat / sqrt(horizon): overlapping windows corrected
    std::uint64_t n_dates_scored = 0;
    double n_independent = 0.0;  // n_dates_scored / horizon
    std::uint64_t overlap_days = 0;
    double mean_names = 0.0;  // average pairs per scored date
};

// A date is scored when it has at least `min_names` pairs with positive, finite prices at
// both ends and a finite factor, and neither its factor ranks nor its return ranks are all
// equal. Refusals carry their whole text.
base::Result<RankIC, base::OwnError> rank_ic(const base::Matrix& factor, const base::Matrix& prices,
                                             std::uint64_t horizon, std::uint64_t min_names);

}  // namespace tarnwick::analytics
