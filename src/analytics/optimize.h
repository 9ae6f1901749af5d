// The portfolio optimiser: one book's current weights and expected returns in, a new
// target book out, as a mean-variance quadratic program with a linear turnover penalty,
// long-only by default and long/short with a gross budget when short_cap > 0.
//
// Weights are fractions of portfolio value; cash is 1 minus their sum. The model's
// covariance is per period; only the reported volatility is annualised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics {

// Stored as given; optimize_book validates it against each book.
struct OptimizerConfig {
    double risk_aversion = 0.0;  // lambda of the variance term, > 0
    double turnover_penalty = 0.0;  // cost per unit of absolute weight traded, >= 0
    double position_cap = 0.0;  // largest weight of one asset, in (0, 1]
    std::vector<std::uint64_t> sector_ids;  // one per asset, in model order
    std::vector<double> sector_caps;  // indexed by sector id, each > 0
    double no_trade_band = 0.0;  // a smaller weight change is not traded
    double min_trade_value = 0.0;  // money; a smaller trade is not traded; 0 disables
    double portfolio_value = 0.0;  // money value of the book, read only with min_trade_value
    double cash_max = 0.0;  // largest cash fraction when long-only, in [0, 1)
    std::uint32_t max_iter = 200;  // solver iteration limit
    double tolerance = 1e-8;  // solver gap and feasibility tolerance
    double short_cap = 0.0;  // largest short weight of one asset, in [0, 1]; 0 is long-only
    double gross_max = 1.0;  // long/short: bound on the sum of absolute weights
    double net_min = 0.0;  // long/short: bounds on the sum of weights
    double net_max = 1.0;
};

struct OptimizationResult {
    std::vector<double> weights;  // the new book after snapping
    std::vector<double> trades;  // weights - w_current
    std::vector<bool> snapped;  // true where a trade was snapped back to the current weight
    double cash = 0.0;
    double gross_exposure = 0.0;  // sum of |weights|
    double net_exposure = 0.0;  // sum of weights
    double turnover = 0.0;  // half the sum of |trades|
    double objective = 0.0;  // the solver's objective at its own solution, before snapping
    double vol_annualized = 0.0;
    std::string solver_status;  // always "Solved" in a result
    std::uint32_t iterations = 0;
};

// Pure: validates, proves reachability, solves, snaps and re-checks. Safe to call from
// any number of threads at once on shared read-only inputs.
base::Result<OptimizationResult, base::PortfolioError> optimize_book(const RiskModel& model,
                                                                     std::span<const double> alpha,
                                                                     std::span<const double> w_current,
                                                                     const OptimizerConfig& config);

// The post-processing of a solved book, given the solver's weights (its first n values):
// clears tiny negatives, snaps trades under the no-trade band or the minimum trade value,
// and re-checks what snapping can break. Fills weights, trades, snapped and cash.
// The budget and sector sums are checked with the weight the clearing added on top of
// the check tolerance, so that rounding spread over many assets is not taken for
// stranded weight.
base::Result<OptimizationResult, base::PortfolioError> settle_book(std::span<const double> solved,
                                                                   std::span<const double> w_current,
                                                                   const OptimizerConfig& config);

// x' M x for a square row-major matrix: each row's dot product with x (ascending column,
// from -0.0), times x(i), added to a running total from -0.0.
double quadratic_form(std::span<const double> matrix, std::span<const double> x);

}  // namespace tarnwick::analytics
