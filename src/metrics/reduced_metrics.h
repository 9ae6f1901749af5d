// The reduced block of figures that the engines running their own bar loop (basket,
// options, pairs, the independent multi-strategy run) report instead of the full one:
// returns, drawdown, Sharpe and Sortino, Calmar, profit factor, trade counts and the fees
// the records carry; every other figure stays zero or absent.
#pragma once

#include <cstdint>
#include <span>

#include "domain/trade_record.h"
#include "metrics/metrics.h"

namespace tarnwick::metrics {

// The figures of a run that computed none: every value zero (+0.0, the sums included),
// every optional absent.
BacktestMetrics zeroed_metrics() noexcept;

// How a run counts its trades, and what its records add up to, in one pass over them;
// which records win or lose is the engine's rule.
struct TradeTally {
    std::uint64_t total = 0;
    std::uint64_t wins = 0;
    std::uint64_t losses = 0;
    double gross_profit = 0.0;  // the records with pnl above 0, their pnl summed in record order from 0.0
    double gross_loss = 0.0;    // the records with pnl below 0, their |pnl| the same way
    // Every record's fees, the same way: the fee total of a run whose every fee is on a
    // record (a position still open carries its entry fee).
    double fees = 0.0;
};

// One trade per record: pnl above 0 wins, below 0 loses, exactly 0 is neither.
TradeTally tally_per_record(std::span<const domain::TradeRecord> trades) noexcept;

// Round trips of two records each (a last one alone: a pair still open at the end); a
// round trip wins when its records' pnl adds up above 0 and loses otherwise. Gross profit
// and loss are per record.
TradeTally tally_round_trips(std::span<const domain::TradeRecord> trades) noexcept;

// Sharpe and Sortino from the records' returns (return_pct / 100) on the legacy fixed
// year of 252 periods, without the risk-free rate: Welford's running mean and squared
// deviations over the records in order, and the squares of their parts below 0.
struct RiskRatios {
    double sharpe = 0.0;
    double sortino = 0.0;
};
RiskRatios trade_return_ratios(std::span<const domain::TradeRecord> trades) noexcept;

// The reduced block over a finished run's curves (equity, drawdown in percent below the
// running peak, per-bar returns), its timestamps (nanoseconds), records and their tally
// (whose fees are the fee total). Sharpe
// and Sortino come from the per-bar returns annualised by the periods per year inferred
// from `timestamps` (252 when nothing can be inferred), or, under legacy annualisation,
// from the records' returns. Omega, payoff and recovery are 0.
BacktestMetrics reduced_metrics(const MetricsSettings& settings, std::span<const double> equity,
                                std::span<const double> drawdown, std::span<const double> returns,
                                std::span<const std::int64_t> timestamps,
                                std::span<const domain::TradeRecord> trades, const TradeTally& tally);

}  // namespace tarnwick::metrics
