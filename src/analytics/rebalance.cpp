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

// The panels' values: both finite (prices first), not empty, every price above 0, and
// each date's targets long-only and summing to at most 1.
Status<OwnError> check_panels(const Matrix& prices, const Matrix& targets) {
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
    return Unit{};
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

namespace {

// What the checks settle about a request: its policy, the calendar's period and the
// cost segment.
struct Plan {
    RebalancePolicy policy = RebalancePolicy::Calendar;
    std::uint64_t every_n = 1;  // the calendar's dates per rebalance; 1 under the band policy
    domain::CostSegment segment = domain::CostSegment::EquityDelivery;
};

// Every refusal, in the order the caller meets them: shapes, the policy and its
// parameter, the segment, the panels' values, then the scalars.
Result<Plan, OwnError> check_request(const RebalanceRequest& q) {
    const Matrix& prices = q.prices;
    const Matrix& targets = q.target_weights;
    if (targets.rows != prices.rows || targets.cols != prices.cols) {
        return err(OwnError{base::fmt::format("target_weights shape {}x{} differs from prices shape {}x{}",
                                              targets.rows, targets.cols, prices.rows, prices.cols)});
    }
    auto policy = parse_rebalance_policy(q.policy);
    if (!policy) return err(policy.error());
    Plan plan;
    plan.policy = *policy;
    if (*policy == RebalancePolicy::Calendar) {
        if (!(q.policy_param >= 1.0) || q.policy_param != std::trunc(q.policy_param) ||
            !std::isfinite(q.policy_param)) {
            return err(OwnError{
                base::fmt::format("calendar policy_param must be a whole number >= 1, got {}", q.policy_param)});
        }
        plan.every_n = sat_cast_u64(q.policy_param);
    }
    auto segment = parse_cost_segment(q.segment);
    if (!segment) return err(segment.error());
    plan.segment = *segment;
    if (auto s = check_panels(prices, targets); !s) return err(s.error());
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
    return plan;
}

// The book as the dates pass: units held per asset, the cash, and every cost so far.
struct Book {
    std::vector<double> holdings;
    double cash = 0.0;
    double total_cost = 0.0;
};

// Whether date t rebalances: the calendar's every n-th date from the first (`counter` is
// t modulo n), or the first date and any whose one-way drift passes the band.
bool rebalance_due(const Plan& plan, double band, std::uint64_t counter, std::size_t t, const Book& book,
                   const double* px, const double* tw, double equity) noexcept {
    switch (plan.policy) {
        case RebalancePolicy::Calendar: return counter == 0;
        case RebalancePolicy::Band: return t == 0 || 0.5 * drift_l1(book.holdings, px, equity, tw) > band;
    }
    return false;
}

// Trades every leg of date t to its target share of `equity` at the date's prices,
// leaving out legs below the minimum trade value, and books the date's costs.
void rebalance(const RebalanceRequest& q, const Plan& plan, std::size_t t, const double* px, const double* tw,
               double equity, Book& book, RebalanceSimResult& out) {
    double brokerage = 0.0;
    double regulatory = 0.0;
    double traded = 0.0;
    std::uint64_t sells = 0;
    bool any = false;
    double cash = book.cash;
    for (std::size_t i = 0; i < book.holdings.size(); ++i) {
        const double dv = tw[i] * equity - book.holdings[i] * px[i];
        if (dv == 0.0 || std::fabs(dv) < q.min_trade_value) continue;
        const double v = std::fabs(dv);
        const FeeBreakdown leg = segment_fill_charges(plan.segment, v, dv > 0.0);
        const double leg_total = fill_total(leg);
        book.holdings[i] += dv / px[i];
        cash = cash - dv - leg_total;
        brokerage += leg.brokerage;
        regulatory += leg_total - leg.brokerage;
        traded += v;
        if (dv < 0.0) ++sells;
        bump(out.n_trades);
        any = true;
    }
    book.cash = cash;
    if (!any) return;
    out.cost_dp[t] = static_cast<double>(sells) * q.dp_charge_per_isin;
    book.cash -= out.cost_dp[t];
    out.cost_regulatory[t] = regulatory;
    out.cost_brokerage[t] = brokerage;
    out.turnover[t] = traded / equity * 0.5;
    book.total_cost += regulatory + brokerage + out.cost_dp[t];
    bump(out.n_rebalances);
}

// The total cost per year as a fraction of the mean equity.
Result<double, OwnError> cost_drag(const std::vector<double>& equity_curve, double total_cost,
                                   double periods_per_year) {
    double equity_sum = 0.0;
    for (double e : equity_curve) equity_sum += e;
    const double rows = static_cast<double>(equity_curve.size());
    const double mean_equity = equity_sum / rows;
    const double years = rows / periods_per_year;
    if (!(mean_equity > 0.0) || !(years > 0.0)) {
        return err(degenerate("average equity or horizon not positive; cost drag undefined"));
    }
    return total_cost / mean_equity / years;
}

}  // namespace

Result<RebalanceSimResult, OwnError> simulate_rebalance_policy(const RebalanceRequest& q) {
    auto plan = check_request(q);
    if (!plan) return err(plan.error());
    const Matrix& prices = q.prices;
    const Matrix& targets = q.target_weights;
    const std::size_t rows = prices.rows;
    const std::size_t cols = prices.cols;
    RebalanceSimResult out;
    out.equity_curve.assign(rows, 0.0);
    out.turnover.assign(rows, 0.0);
    out.cost_regulatory.assign(rows, 0.0);
    out.cost_brokerage.assign(rows, 0.0);
    out.cost_dp.assign(rows, 0.0);

    Book book{std::vector<double>(cols, 0.0), q.initial_capital, 0.0};
    std::uint64_t counter = 0;
    for (std::size_t t = 0; t < rows; ++t) {
        const double* px = prices.data.data() + t * cols;
        const double* tw = targets.data.data() + t * cols;
        const double equity = holdings_value(book.holdings, px) + book.cash;
        if (rebalance_due(*plan, q.policy_param, counter, t, book, px, tw, equity)) {
            rebalance(q, *plan, t, px, tw, equity, book, out);
        }
        out.equity_curve[t] = holdings_value(book.holdings, px) + book.cash;
        if (++counter == plan->every_n) counter = 0;
    }

    auto drag = cost_drag(out.equity_curve, book.total_cost, q.periods_per_year);
    if (!drag) return err(drag.error());
    out.total_cost_drag_annualized = *drag;
    return out;
}

}  // namespace tarnwick::analytics
