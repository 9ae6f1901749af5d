#include "analytics/rebalance.h"

#include <cmath>

#include "analytics/factor_panel.h"
#include "base/format.h"
#include "base/saturate.h"
#include "base/text.h"

namespace tarnwick::analytics {

using base::Matrix;
using base::OwnError;
using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::ascii_lower;
using base::err;
using base::sat_cast_u64;
using domain::FeeBreakdown;
using domain::fill_total;
using domain::parse_cost_segment;
using domain::segment_fill_charges;

namespace {

OwnError own(const PortfolioError& e) { return OwnError{e.message()}; }
OwnError degenerate(std::string text) { return own(PortfolioError::degenerate(std::move(text))); }

// Length check, then the first cell that is NaN or infinite.
Status<PortfolioError> check_all_finite(const Matrix& m) {
    if (auto s = check_panel(m); !s) return s;
    for (std::size_t i = 0; i < m.data.size(); ++i) {
        if (!std::isfinite(m.data[i])) return err(PortfolioError::non_finite(i / m.cols, i % m.cols));
    }
    return Unit{};
}

void bump(std::uint32_t& count) noexcept {
    if (count < UINT32_MAX) ++count;
}

}  // namespace

Result<RebalancePolicy, OwnError> parse_rebalance_policy(std::string_view text) {
    const std::string lower = ascii_lower(text);
    if (lower == "calendar") return RebalancePolicy::Calendar;
    if (lower == "band") return RebalancePolicy::Band;
    return err(OwnError{base::fmt::format("unknown policy '{}'; expected 'calendar' or 'band'", lower)});
}

std::string_view name(RebalancePolicy policy) noexcept {
    switch (policy) {
        case RebalancePolicy::Calendar: return "calendar";
        case RebalancePolicy::Band: return "band";
    }
    return "calendar";
}

double holdings_value(const std::vector<double>& holdings, const double* prices) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < holdings.size(); ++i) sum += holdings[i] * prices[i];
    return sum;
}

double drift_l1(const std::vector<double>& holdings, const double* prices, double equity,
                const double* targets) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < holdings.size(); ++i) sum += std::fabs(holdings[i] * prices[i] / equity - targets[i]);
    return sum;
}

Result<RebalanceSimResult, OwnError> simulate_rebalance_policy(const RebalanceRequest& q) {
    const Matrix& prices = q.prices;
    const Matrix& targets = q.target_weights;
    if (targets.rows != prices.rows || targets.cols != prices.cols) {
        return err(OwnError{base::fmt::format("target_weights shape {}x{} differs from prices shape {}x{}",
                                              targets.rows, targets.cols, prices.rows, prices.cols)});
    }
    auto policy = parse_rebalance_policy(q.policy);
    if (!policy) return err(policy.error());
    std::uint64_t every_n = 1;
    if (*policy == RebalancePolicy::Calendar) {
        if (!(q.policy_param >= 1.0) || q.policy_param != std::trunc(q.policy_param) ||
            !std::isfinite(q.policy_param)) {
            return err(OwnError{
                base::fmt::format("calendar policy_param must be a whole number >= 1, got {}", q.policy_param)});
        }
        every_n = sat_cast_u64(q.policy_param);
    }
    auto segment = parse_cost_segment(q.segment);
    if (!segment) return err(segment.error());
    if (auto s = check_all_finite(prices); !s) return err(own(s.error()));
    if (auto s = check_all_finite(targets); !s) return err(own(s.error()));
    if (prices.rows == 0 || prices.cols == 0) return err(degenerate("empty panel"));
    for (std::size_t i = 0; i < prices.data.size(); ++i) {
        if (!(prices.data[i] > 0.0)) {
            return err(degenerate(base::fmt::format("non-positive price {} at row {}, col {}", prices.data[i],
                                                    i / prices.cols, i % prices.cols)));
        }
    }
    for (std::size_t t = 0; t < targets.rows; ++t) {
        double sum = 0.0;
        bool negative = false;
        for (std::size_t j = 0; j < targets.cols; ++j) {
            sum += targets(t, j);
            negative = negative || targets(t, j) < -1e-12;
        }
        if (negative || sum > 1.000000001) {
            return err(degenerate(base::fmt::format("target weights on date {} must be long-only and sum <= 1 (sum {})",
                                                    t, base::fmt::fixed(sum, 6))));
        }
    }
    if (!(q.initial_capital > 0.0) || !std::isfinite(q.initial_capital)) {
        return err(degenerate(base::fmt::format("initial_capital must be > 0, got {}", q.initial_capital)));
    }
    // NaN is refused with the negatives: it would otherwise trade every leg (min_trade_value)
    // or turn every sell into a NaN charge (dp_charge_per_isin).
    if (!(q.dp_charge_per_isin >= 0.0) || !(q.min_trade_value >= 0.0)) {
        return err(degenerate("dp_charge_per_isin and min_trade_value must be >= 0"));
    }
    if (!(q.periods_per_year > 0.0) || !std::isfinite(q.periods_per_year)) {
        return err(degenerate(base::fmt::format("periods_per_year must be > 0, got {}", q.periods_per_year)));
    }
    if (*policy == RebalancePolicy::Band && (!(q.policy_param > 0.0) || !std::isfinite(q.policy_param))) {
        return err(degenerate("Band band must be a positive finite fraction"));
    }

    const std::size_t rows = prices.rows;
    const std::size_t cols = prices.cols;
    RebalanceSimResult out;
    out.equity_curve.assign(rows, 0.0);
    out.turnover.assign(rows, 0.0);
    out.cost_regulatory.assign(rows, 0.0);
    out.cost_brokerage.assign(rows, 0.0);
    out.cost_dp.assign(rows, 0.0);

    std::vector<double> holdings(cols, 0.0);
    double cash = q.initial_capital;
    double total_cost = 0.0;
    std::uint64_t counter = 0;
    for (std::size_t t = 0; t < rows; ++t) {
        const double* px = prices.data.data() + t * cols;
        const double* tw = targets.data.data() + t * cols;
        const double equity = holdings_value(holdings, px) + cash;
        bool rebalance = false;
        switch (*policy) {
            case RebalancePolicy::Calendar: rebalance = counter == 0; break;
            case RebalancePolicy::Band: rebalance = t == 0 || 0.5 * drift_l1(holdings, px, equity, tw) > q.policy_param; break;
        }
        if (rebalance) {
            double brokerage = 0.0;
            double regulatory = 0.0;
            double traded = 0.0;
            std::uint64_t sells = 0;
            bool any = false;
            for (std::size_t i = 0; i < cols; ++i) {
                const double dv = tw[i] * equity - holdings[i] * px[i];
                if (dv == 0.0 || std::fabs(dv) < q.min_trade_value) continue;
                const double v = std::fabs(dv);
                const FeeBreakdown leg = segment_fill_charges(*segment, v, dv > 0.0);
                const double leg_total = fill_total(leg);
                holdings[i] += dv / px[i];
                cash = cash - dv - leg_total;
                brokerage += leg.brokerage;
                regulatory += leg_total - leg.brokerage;
                traded += v;
                if (dv < 0.0) ++sells;
                bump(out.n_trades);
                any = true;
            }
            if (any) {
                out.cost_dp[t] = static_cast<double>(sells) * q.dp_charge_per_isin;
                cash -= out.cost_dp[t];
                out.cost_regulatory[t] = regulatory;
                out.cost_brokerage[t] = brokerage;
                out.turnover[t] = traded / equity * 0.5;
                total_cost += regulatory + brokerage + out.cost_dp[t];
                bump(out.n_rebalances);
            }
        }
        out.equity_curve[t] = holdings_value(holdings, px) + cash;
        if (++counter == every_n) counter = 0;
    }

    double equity_sum = 0.0;
    for (double e : out.equity_curve) equity_sum += e;
    const double mean_equity = equity_sum / static_cast<double>(rows);
    const double years = static_cast<double>(rows) / q.periods_per_year;
    if (!(mean_equity > 0.0) || !(years > 0.0)) {
        return err(degenerate("average equity or horizon not positive; cost drag undefined"));
    }
    out.total_cost_drag_annualized = total_cost / mean_equity / years;
    return out;
}

}  // namespace tarnwick::analytics
