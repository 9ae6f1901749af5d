#include "runners/own_loop_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.h"
#include "metrics/annualization.h"
#include "metrics/return_stats.h"

namespace tarnwick::runners::own_loop {

using base::fault;
using domain::BacktestConfig;
using domain::TradeRecord;
using engine::RunOutput;
using metrics::BacktestMetrics;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Trade-return ratios of the legacy constants: 252 periods, scaled by sqrt(252).
constexpr double kLegacyPeriods = 252.0;
constexpr double kSqrtLegacyPeriods = 15.874507866387544;
constexpr double kFallbackPeriods = 252.0;

RiskRatios legacy_trade_ratios(std::span<const TradeRecord> trades) noexcept {
    // Welford's running mean and squared deviations, over the records in closing order.
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
    const double unbounded = mean > 0.0 ? kInf : 0.0;
    if (k <= 1) return {0.0, unbounded};
    const double var = sq_dev / static_cast<double>(k - 1);
    const double downside = down_sq / static_cast<double>(k - 1);
    RiskRatios out;
    out.sharpe = var == 0.0 ? 0.0 : mean * kLegacyPeriods / (std::sqrt(var) * kSqrtLegacyPeriods);
    out.sortino = downside == 0.0 ? unbounded : mean * kLegacyPeriods / (std::sqrt(downside) * kSqrtLegacyPeriods);
    return out;
}

}  // namespace

Curves::Curves(std::size_t bars, double initial_capital)
    : equity_(bars, 0.0), drawdown_(bars, 0.0), returns_(bars, 0.0), peak_(initial_capital) {}

void Curves::sample(std::size_t i, double equity) noexcept {
    equity_[i] = equity;
    peak_ = std::max(peak_, equity);  // a NaN equity keeps the peak
    drawdown_[i] = (peak_ - equity) / peak_ * 100.0;
    if (i >= 1) returns_[i] = (equity - equity_[i - 1]) / equity_[i - 1];
}

void Curves::mark(std::size_t i, double equity) {
    if (i >= equity_.size()) fault("curve sample beyond the run's bars");
    sample(i, equity);
}

void Curves::restate_last(double equity) {
    if (equity_.empty()) fault("restating the last sample of an empty run");
    sample(equity_.size() - 1, equity);
}

TradeTally tally_per_record(std::span<const TradeRecord> trades) noexcept {
    TradeTally t;
    t.total = trades.size();
    for (const TradeRecord& r : trades) {
        if (r.pnl > 0.0) {
            ++t.wins;
            t.gross_profit += r.pnl;
        } else if (r.pnl < 0.0) {
            ++t.losses;
            t.gross_loss += std::fabs(r.pnl);
        }
    }
    return t;
}

RiskRatios risk_ratios(const BacktestConfig& config, std::span<const double> returns,
                       std::span<const std::int64_t> timestamps, std::span<const TradeRecord> trades) {
    if (config.legacy_annualization) return legacy_trade_ratios(trades);
    const bool continuous = config.session_minutes && !(*config.session_minutes > 0.0);
    const double periods = metrics::annualization::periods_per_year(
        config.periods_per_year, timestamps, continuous,
        config.session_minutes.value_or(metrics::annualization::kDefaultSessionMinutes), kFallbackPeriods);
    const metrics::ReturnStats stats = metrics::return_stats(returns, periods, config.risk_free_rate);
    return {stats.sharpe, stats.sortino};
}

BacktestMetrics reduced_metrics(const BacktestConfig& config, const Curves& curves,
                                std::span<const std::int64_t> timestamps, std::span<const TradeRecord> trades,
                                const TradeTally& tally) {
    const double initial = config.initial_capital;
    double max_dd = 0.0;
    for (const double dd : curves.drawdown()) {
        if (dd > max_dd) max_dd = dd;  // NaN never compares above
    }
    const double end_value = curves.equity().empty() ? initial : curves.equity().back();
    const double total_return = (end_value - initial) / initial * 100.0;
    const RiskRatios ratios = risk_ratios(config, curves.returns(), timestamps, trades);

    BacktestMetrics m;
    m.total_return_pct = total_return;
    m.sharpe_ratio = ratios.sharpe;
    m.sortino_ratio = ratios.sortino;
    m.calmar_ratio = max_dd > 0.0 ? total_return / max_dd : (total_return > 0.0 ? kInf : 0.0);
    m.omega_ratio = 0.0;
    m.max_drawdown_pct = max_dd;
    m.win_rate_pct =
        tally.total > 0 ? static_cast<double>(tally.wins) / static_cast<double>(tally.total) * 100.0 : 0.0;
    m.profit_factor = tally.gross_loss > 0.0 ? tally.gross_profit / tally.gross_loss
                                             : (tally.gross_profit > 0.0 ? kInf : 0.0);
    m.total_trades = tally.total;
    m.winning_trades = tally.wins;
    m.losing_trades = tally.losses;
    m.start_value = initial;
    m.end_value = end_value;
    // Every fee the run paid is on a record (a position still open carries its entry
    // fee), so the records' fees, summed in record order, are the run's fee total.
    double fees = 0.0;
    for (const TradeRecord& t : trades) fees += t.fees;
    m.total_fees_paid = fees;
    // Figures these engines do not measure read as plain zeros.
    m.open_trade_pnl = 0.0;
    m.total_turnover = 0.0;
    m.payoff_ratio = 0.0;
    m.recovery_factor = 0.0;
    return m;
}

RunOutput finish(const BacktestConfig& config, Curves&& curves, std::span<const std::int64_t> timestamps,
                 std::vector<TradeRecord>&& trades, const TradeTally& tally) {
    RunOutput out;
    out.metrics = reduced_metrics(config, curves, timestamps, trades, tally);
    out.equity_curve = curves.take_equity();
    out.drawdown_curve = curves.take_drawdown();
    out.returns = curves.take_returns();
    out.trades = std::move(trades);
    return out;
}

}  // namespace tarnwick::runners::own_loop
