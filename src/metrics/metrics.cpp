#include "metrics/metrics.h"

#include <cmath>

#include "base/saturate.h"
#include "metrics/annualization.h"
#include "metrics/figures.h"
#include "metrics/return_stats.h"

namespace tarnwick::metrics {

using base::sat_sub;
using domain::ExitReason;
using domain::TradeRecord;

namespace {

// Bars held; a record whose exit precedes its entry counts as held for none.
double bars_held(const TradeRecord& t) noexcept {
    return t.exit_idx >= t.entry_idx ? static_cast<double>(t.exit_idx - t.entry_idx) : 0.0;
}

bool is_open(const TradeRecord& t) noexcept { return t.exit_reason == ExitReason::EndOfData; }
bool is_winner(const TradeRecord& t) noexcept { return !is_open(t) && t.pnl > 0.0; }
bool is_loser(const TradeRecord& t) noexcept { return !is_open(t) && t.pnl < 0.0; }

double percent_of(std::uint64_t part, std::uint64_t whole) noexcept {
    return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

// The run's return statistics.
void report_returns(BacktestMetrics& m, const ReturnSummary& summary) {
    const ReturnStats& rs = summary.stats;
    m.sharpe_ratio = rs.sharpe;
    m.sortino_ratio = rs.sortino;
    m.omega_ratio = rs.omega;
    m.return_skew = rs.skew;
    m.return_kurtosis = rs.kurtosis;
    m.tail_ratio = summary.tail_ratio;
    if (summary.nonzero > 0) m.return_consistency_pct = percent_of(summary.positive, summary.nonzero);
}

// The drawdown figures and the two ratios over the deepest drawdown; `net` is the run's
// gain over its start value `start`, whose return is already in `m`.
void report_drawdown(BacktestMetrics& m, const DrawdownStats& dd, double start, double net) {
    m.max_drawdown_pct = dd.max_pct;
    m.max_drawdown_duration = dd.max_duration;
    m.max_drawdown_duration_secs = dd.max_duration_secs;
    m.ulcer_index = dd.ulcer_index;
    m.time_under_water_pct = dd.time_under_water_pct;
    m.avg_drawdown_pct = dd.avg_pct;
    m.calmar_ratio = figures::calmar_ratio(m.total_return_pct, m.max_drawdown_pct);
    m.recovery_factor = figures::recovery_factor(net, m.max_drawdown_pct, start);
}

// What one pass over the trades, in recorded order, adds up. Every sum starts from -0.0.
struct TradeSums {
    std::uint64_t open = 0, winners = 0, losers = 0, covered = 0, covered_winners = 0;
    double closed_pnl = -0.0, open_pnl = -0.0, fees = -0.0, win_pnl = -0.0, loss_abs = -0.0;
    double all_return = -0.0, win_return = -0.0, loss_return = -0.0;
    double all_bars = -0.0, win_bars = -0.0, loss_bars = -0.0;
    double all_secs = -0.0, gross_win = -0.0, mae_sum = -0.0, capture_num = -0.0, capture_mfe = -0.0;
    double best = -INFINITY, worst = INFINITY;  // over the returns that are not NaN
    bool time_reversed = false;                 // some trade exits before it enters
    std::uint64_t max_wins = 0, max_losses = 0;  // the longest runs, open trades included
};

TradeSums sum_trades(std::span<const TradeRecord> trades) {
    TradeSums s;
    std::uint64_t win_run = 0, loss_run = 0;
    for (const TradeRecord& t : trades) {
        s.fees += t.fees;
        s.all_return += t.return_pct;
        s.all_bars += bars_held(t);
        if (!std::isnan(t.return_pct)) {
            if (t.return_pct > s.best) s.best = t.return_pct;
            if (t.return_pct < s.worst) s.worst = t.return_pct;
        }
        if (t.exit_time < t.entry_time) s.time_reversed = true;
        s.all_secs += static_cast<double>(sat_sub(t.exit_time, t.entry_time)) / 1e9;

        // Runs count every trade, open ones included.
        if (t.pnl > 0.0) {
            ++win_run;
            loss_run = 0;
            if (win_run > s.max_wins) s.max_wins = win_run;
        } else if (t.pnl < 0.0) {
            ++loss_run;
            win_run = 0;
            if (loss_run > s.max_losses) s.max_losses = loss_run;
        }

        if (is_open(t)) {
            ++s.open;
            s.open_pnl += t.pnl;
            continue;
        }
        s.closed_pnl += t.pnl;
        const bool excursions = t.mae_pnl.has_value() && t.mfe_pnl.has_value();
        if (excursions) {
            ++s.covered;
            s.mae_sum += *t.mae_pnl;
        }
        if (is_winner(t)) {
            ++s.winners;
            s.win_pnl += t.pnl;
            s.win_return += t.return_pct;
            s.win_bars += bars_held(t);
            s.gross_win += t.pnl + t.fees;
            if (excursions) {
                ++s.covered_winners;
                s.capture_num += t.pnl + t.fees;
                s.capture_mfe += *t.mfe_pnl;
            }
        } else if (is_loser(t)) {
            ++s.losers;
            s.loss_abs += std::fabs(t.pnl);
            s.loss_return += t.return_pct;
            s.loss_bars += bars_held(t);
        }
    }
    return s;
}

// The counts and the closed trades' figures: win rate, expectancy, excursion coverage and
// capture, profit factor.
void report_trade_counts(BacktestMetrics& m, const TradeSums& s, std::span<const TradeRecord> trades) {
    const std::uint64_t total = trades.size();
    const std::uint64_t closed = total - s.open;
    m.total_trades = total;
    m.total_open_trades = s.open;
    m.total_closed_trades = closed;
    m.open_trade_pnl = s.open_pnl;
    m.winning_trades = s.winners;
    m.losing_trades = s.losers;
    m.max_consecutive_wins = s.max_wins;
    m.max_consecutive_losses = s.max_losses;
    m.total_fees_paid = s.fees;
    m.total_turnover = trade_stats::total_turnover(trades);

    if (closed > 0) {
        m.win_rate_pct = figures::win_rate_pct(s.winners, closed);
        m.expectancy = s.closed_pnl / static_cast<double>(closed);
        m.mae_mfe_coverage_pct = percent_of(s.covered, closed);
    }
    if (s.covered > 0) m.avg_mae_pnl = s.mae_sum / static_cast<double>(s.covered);
    if (s.covered_winners > 0 && s.capture_mfe > 0.0) m.mfe_capture_ratio = s.capture_num / s.capture_mfe;
    m.profit_factor = figures::profit_factor(s.win_pnl, s.loss_abs);
}

// The system quality number over the closed trades' pnl: a second pass, as the deviations
// need the mean (`expectancy`) first; 0 with fewer than two closed trades or no spread.
double system_quality(std::span<const TradeRecord> trades, std::uint64_t closed, double expectancy) {
    if (closed < 2) return 0.0;
    double sq = -0.0;
    for (const TradeRecord& t : trades) {
        if (is_open(t)) continue;
        const double d = t.pnl - expectancy;
        sq += d * d;
    }
    const double n = static_cast<double>(closed);
    const double variance = sq / (n - 1.0);
    return variance > 0.0 ? std::sqrt(n) * expectancy / std::sqrt(variance) : 0.0;
}

// The per-trade averages (return, holding period, wins and losses apart), the extremes, the
// exposure over `samples` equity samples and the payoff ratio.
void report_trade_averages(BacktestMetrics& m, const TradeSums& s, std::uint64_t total, std::size_t samples) {
    if (total > 0) {
        const double n = static_cast<double>(total);
        m.best_trade_pct = std::isinf(s.best) ? 0.0 : s.best;
        m.worst_trade_pct = std::isinf(s.worst) ? 0.0 : s.worst;
        m.avg_trade_return_pct = s.all_return / n;
        m.avg_holding_period = s.all_bars / n;
        if (!s.time_reversed) m.avg_holding_period_secs = s.all_secs / n;
    }
    if (s.winners > 0) {
        m.avg_win_pct = s.win_return / static_cast<double>(s.winners);
        m.avg_winning_duration = s.win_bars / static_cast<double>(s.winners);
    }
    if (s.losers > 0) {
        m.avg_loss_pct = s.loss_return / static_cast<double>(s.losers);
        m.avg_losing_duration = s.loss_bars / static_cast<double>(s.losers);
    }
    if (samples > 0) {
        const double exposure = s.all_bars / static_cast<double>(samples) * 100.0;
        m.exposure_pct = exposure < 100.0 ? exposure : 100.0;
    }
    m.payoff_ratio = figures::payoff_ratio(m.avg_win_pct, m.avg_loss_pct);
}

// What the fees cost against the winners' gross profit, and how many times over the net
// gain would pay them.
void report_costs(BacktestMetrics& m, double gross_win, double net) {
    if (gross_win > 0.0) m.cost_to_gross_profit_pct = m.total_fees_paid / gross_win * 100.0;
    if (net > 0.0 && m.total_fees_paid > 0.0) m.breakeven_cost_multiple = net / m.total_fees_paid;
}

}  // namespace

namespace trade_stats {

double total_turnover(std::span<const TradeRecord> trades) noexcept {
    double sum = -0.0;
    for (const TradeRecord& t : trades) {
        sum += std::fabs(t.size * t.entry_price);
        if (t.exit_reason != ExitReason::EndOfData && t.exit_reason != ExitReason::Settlement) {
            sum += std::fabs(t.size * t.exit_price);
        }
    }
    return sum;
}

}  // namespace trade_stats

// The figures in phases, each filling its own fields: the run's value, its returns and
// drawdown (both curves read in the same passes), then the trades, summed in one pass and
// read off those sums.
BacktestMetrics compute_metrics(std::span<const double> equity, std::span<const double> drawdown,
                                std::span<const double> returns, std::span<const std::int64_t> timestamps,
                                std::span<const TradeRecord> trades, const MetricsSettings& settings) {
    BacktestMetrics m;
    const double start = settings.initial_capital;
    const double end = equity.empty() ? start : equity.back();
    const double net = end - start;
    m.start_value = start;
    m.end_value = end;
    m.total_return_pct = figures::total_return_pct(start, end);

    const double periods = annualization::run_periods_per_year(settings.legacy_annualization, settings.periods_per_year,
                                                               settings.session_minutes, timestamps);
    const CurveSummary curves = summarize_curves(returns, drawdown, timestamps, periods, settings.risk_free_rate);
    report_returns(m, curves.returns);
    report_drawdown(m, curves.drawdown, start, net);
    const TradeSums sums = sum_trades(trades);
    report_trade_counts(m, sums, trades);
    m.sqn = system_quality(trades, m.total_closed_trades, m.expectancy);
    report_trade_averages(m, sums, m.total_trades, equity.size());
    report_costs(m, sums.gross_win, net);
    return m;
}

}  // namespace tarnwick::metrics
