// Euler decomposition of a book's volatility under a risk model, and the asset-id check
// that every analytics entry taking a model and the caller's ids runs first.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics {

// Per-period quantities except total_vol_annualized.
struct RiskContributions {
    std::vector<double> marginal;  // d sigma / d w_i = (Sigma w)_i / sigma
    std::vector<double> contribution;  // w_i * marginal_i; sums to sigma
    std::vector<double> pct_contribution;  // contribution_i / sigma; a fraction, sums to 1
    double total_vol_annualized = 0.0;  // sigma * sqrt(periods_per_year)
};

// The caller's ids must equal the model's, count first, then position by position as
// exact byte strings: a reordered universe is an error, never silently re-mapped.
base::Status<base::PortfolioError> check_asset_alignment(const RiskModel& model,
                                                         std::span<const std::string> asset_ids);

// Assumes the ids were checked; validates the weights' count and finiteness.
base::Result<RiskContributions, base::PortfolioError> risk_contributions(const RiskModel& model,
                                                                         std::span<const double> weights);

}  // namespace tarnwick::analytics
