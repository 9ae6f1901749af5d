// Rebalance-policy simulation: what following a target-weight series costs under a
// calendar or drift-band policy with one Indian cost segment's per-leg charges.
//
// Panels are dates x assets (core/matrix.h). The book starts as cash only, holdings are
// fractional units, and every trade fills at the date's price with no slippage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/matrix.h"
#include "base/result.h"
#include "domain/fees/cost_segment.h"

namespace tarnwick::analytics {

enum class RebalancePolicy : std::uint8_t { Calendar, Band };

// ASCII letters lower-cased, then exactly "calendar" or "band"; fails with
// "unknown policy '<lower-cased>'; expected 'calendar' or 'band'".
base::Result<RebalancePolicy, base::OwnError> parse_rebalance_policy(std::string_view text);
std::string_view name(RebalancePolicy policy) noexcept;

struct RebalanceRequest {
    base::Matrix prices;
    base::Matrix target_weights;  // fraction of equity per asset, same shape as prices
    double initial_capital = 0.0;
    std::string policy;
    double policy_param = 0.0;  // calendar: every N dates (whole, >= 1); band: one-way drift fraction
    std::string segment = "equity_delivery";
    double min_trade_value = 0.0;  // legs below this absolute value are not traded
    double dp_charge_per_isin = domain::kDpSellChargePerIsinPerDay;
    double periods_per_year = 252.0;
};

struct RebalanceSimResult {
    std::vector<double> equity_curve;     // after each date's trades and costs
    std::vector<double> turnover;         // 0.5 x traded value / equity before trading
    std::vector<double> cost_regulatory;  // every leg charge except brokerage
    std::vector<double> cost_brokerage;
    std::vector<double> cost_dp;
    double total_cost_drag_annualized = 0.0;  // total cost / mean equity / years
    std::uint32_t n_rebalances = 0;           // dates with at least one traded leg
    std::uint32_t n_trades = 0;               // legs traded over the run
};

// Σ holdings_i x price_i over one date's prices, in column order.
double holdings_value(const std::vector<double>& holdings, const double* prices) noexcept;

// Σ |holdings_i x price_i / equity - target_i|: the L1 distance of the book from its targets.
double drift_l1(const std::vector<double>& holdings, const double* prices, double equity,
                const double* targets) noexcept;

// Refusals carry their whole text.
base::Result<RebalanceSimResult, base::OwnError> simulate_rebalance_policy(const RebalanceRequest& request);

}  // namespace tarnwick::analytics
