#include "metrics/reduced_metrics.h"

#include <algorithm>
#include <cmath>

#include "metrics/annualization.h"
#include "metrics/figures.h"
#include "metrics/return_stats.h"

namespace tarnwick::metrics {

using domain::TradeRecord;

namespace {

// The legacy constants of the trade-return ratios: 252 periods, scaled by sqrt(252).
constexpr double kLegacyPeriods = 252.0;
constexpr double kSqrtLegacyPeriods = 15.874507866387544;
// The periods per year of the per-bar ratios when the timestamps tell nothing.
constexpr double kFallbackPeriods = 252.0;

// Sharpe and Sortino of the per-bar returns, and the deepest drawdown, read in the same
// passes over the curves; or, under legacy annualisation, from the records.
struct RiskAndDepth {
    RiskRatios ratios;
    double max_drawdown_pct = 0.0;
};

RiskAndDepth risk_and_depth(const MetricsSettings& settings, std::span<const double> drawdown,
                            std::span<const double> returns, std::span<const std::int64_t> timestamps,
                            std::span<const TradeRecord> trades) {
    if (settings.legacy_annualization) return {trade_return_ratios(trades), drawdown_stats(drawdown, {}).max_pct};
    const double periods = annualization::settings_periods_per_year(settings.periods_per_year,
                                                                    settings.session_minutes, timestamps,
                                                                    kFallbackPeriods);
    const CurveSummary curves =
        summarize_curves(returns, drawdown, timestamps, periods, settings.risk_free_rate, TailRatio::Skip);
    return {{curves.returns.stats.sharpe, curves.returns.stats.sortino}, curves.drawdown.max_pct};
}

}  // namespace

BacktestMetrics zeroed_metrics() noexcept {
    BacktestMetrics m;
    m.omega_ratio = 0.0;
    m.open_trade_pnl = 0.0;
    m.total_fees_paid = 0.0;
    m.total_turnover = 0.0;
    return m;
}

namespace {

// A record's pnl into the gross profit or loss (a pnl of 0 into neither), its fees into
// the fee total.
void add_sums(TradeTally& t, const TradeRecord& r) noexcept {
    if (r.pnl > 0.0) {
        t.gross_profit += r.pnl;
    } else if (r.pnl < 0.0) {
        t.gross_loss += -r.pnl;
    }
    t.fees += r.fees;
}

}  // namespace

TradeTally tally_per_record(std::span<const TradeRecord> trades) noexcept {
    TradeTally t;
    t.total = trades.size();
    for (const TradeRecord& r : trades) {
        if (r.pnl > 0.0) {
            ++t.wins;
        } else if (r.pnl < 0.0) {
            ++t.losses;
        }
        add_sums(t, r);
    }
    return t;
}

TradeTally tally_round_trips(std::span<const TradeRecord> trades) noexcept {
    TradeTally t;
    for (std::size_t i = 0; i < trades.size(); i += 2) {
        const bool pair = i + 1 < trades.size();
        double sum = trades[i].pnl;
        if (pair) sum += trades[i + 1].pnl;
        ++t.total;
        if (sum > 0.0) ++t.wins;
        add_sums(t, trades[i]);
        if (pair) add_sums(t, trades[i + 1]);
    }
    t.losses = t.total - t.wins;
    return t;
}

RiskRatios trade_return_ratios(std::span<const TradeRecord> trades) noexcept {
    double mean = 0.0;
    double sq_dev = 0.0;
    double down_sq = 0.0;
    std::size_t k = 0;
    for (const TradeRecord& t : trades) {
        const double r = t.return_pct / 100.0;
        ++k;
        const double delta = r - mean;
        mean += delta / static_cast<double>(k);
        sq_dev += delta * (r - mean);
        const double down = std::min(r, 0.0);
        down_sq += down * down;
    }
    const double unbounded = mean > 0.0 ? INFINITY : 0.0;
    if (k <= 1) return {0.0, unbounded};
    const double var = sq_dev / static_cast<double>(k - 1);
    const double downside = down_sq / static_cast<double>(k - 1);
    RiskRatios out;
    out.sharpe = var == 0.0 ? 0.0 : mean * kLegacyPeriods / (std::sqrt(var) * kSqrtLegacyPeriods);
    out.sortino = downside == 0.0 ? unbounded : mean * kLegacyPeriods / (std::sqrt(downside) * kSqrtLegacyPeriods);
    return out;
}

BacktestMetrics reduced_metrics(const MetricsSettings& settings, std::span<const double> equity,
                                std::span<const double> drawdown, std::span<const double> returns,
                                std::span<const std::int64_t> timestamps, std::span<const TradeRecord> trades,
                                const TradeTally& tally) {
    const double start = settings.initial_capital;
    const double end = equity.empty() ? start : equity.back();
    const RiskAndDepth risk = risk_and_depth(settings, drawdown, returns, timestamps, trades);

    BacktestMetrics m = zeroed_metrics();
    m.total_return_pct = figures::total_return_pct(start, end);
    m.sharpe_ratio = risk.ratios.sharpe;
    m.sortino_ratio = risk.ratios.sortino;
    m.max_drawdown_pct = risk.max_drawdown_pct;
    m.calmar_ratio = figures::calmar_ratio(m.total_return_pct, m.max_drawdown_pct);
    m.win_rate_pct = figures::win_rate_pct(tally.wins, tally.total);
    m.profit_factor = figures::profit_factor(tally.gross_profit, tally.gross_loss);
    m.total_trades = tally.total;
    m.winning_trades = tally.wins;
    m.losing_trades = tally.losses;
    m.start_value = start;
    m.end_value = end;
    m.total_fees_paid = tally.fees;
    return m;
}

}  // namespace tarnwick::metrics
