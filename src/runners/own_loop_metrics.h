// Curves and the reduced figures of the engines that run their own bar loop instead of
// a kernel session (options, pairs and the like). They report a subset of the metrics:
// returns, drawdown, Sharpe and Sortino, Calmar, profit factor, trade counts and the fees
// the records carry; every other figure stays zero or absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/block_cache.h"
#include "domain/backtest_config.h"
#include "domain/trade_record.h"
#include "engine/core_session.h"
#include "metrics/metrics.h"

namespace tarnwick::runners::own_loop {

// Equity, drawdown (percent below the running peak) and simple returns, one sample per
// bar, allocated once for the run.
class Curves {
public:
    Curves(std::size_t bars, double initial_capital);

    // Bar i's equity. A NaN equity leaves the peak as it was; the first bar's return is 0.
    void mark(std::size_t i, double equity);
    // The last sample replaced (a position settled after the last bar): the peak also
    // sees the new value, and the last return is taken again from the bar before.
    void restate_last(double equity);

    const base::Curve& equity() const noexcept { return equity_; }
    const base::Curve& drawdown() const noexcept { return drawdown_; }
    const base::Curve& returns() const noexcept { return returns_; }

    base::Curve take_equity() noexcept { return std::move(equity_); }
    base::Curve take_drawdown() noexcept { return std::move(drawdown_); }
    base::Curve take_returns() noexcept { return std::move(returns_); }

private:
    void sample(std::size_t i, double equity) noexcept;

    base::Curve equity_, drawdown_, returns_;
    double peak_;
};

// How the run counts its trades: which records win or lose is the engine's rule.
struct TradeTally {
    std::uint64_t total = 0;
    std::uint64_t wins = 0;
    std::uint64_t losses = 0;
    double gross_profit = 0.0;  // sum of the winning records' pnl
    double gross_loss = 0.0;    // sum of the losing records' |pnl|
};

// One record per trade: pnl above 0 wins, below 0 loses, exactly 0 is neither.
TradeTally tally_per_record(std::span<const domain::TradeRecord> trades) noexcept;

// (Sharpe, Sortino). Normally from the per-bar returns, annualised by the periods per
// year inferred from `timestamps` (252 sessions when nothing can be inferred).
// Under legacy annualisation from the trades' returns on a fixed 252-period year,
// without the risk-free rate.
struct RiskRatios {
    double sharpe = 0.0;
    double sortino = 0.0;
};
RiskRatios risk_ratios(const domain::BacktestConfig& config, std::span<const double> returns,
                       std::span<const std::int64_t> timestamps, std::span<const domain::TradeRecord> trades);

// The reduced block over a finished run's curves and records; the fee total is the sum
// of the records' fees. Omega, payoff and recovery are 0.
metrics::BacktestMetrics reduced_metrics(const domain::BacktestConfig& config, const Curves& curves,
                                         std::span<const std::int64_t> timestamps,
                                         std::span<const domain::TradeRecord> trades, const TradeTally& tally);

// The run's output: the reduced figures over the curves and records, which it takes over.
engine::RunOutput finish(const domain::BacktestConfig& config, Curves&& curves,
                         std::span<const std::int64_t> timestamps, std::vector<domain::TradeRecord>&& trades,
                         const TradeTally& tally);

}  // namespace tarnwick::runners::own_loop
