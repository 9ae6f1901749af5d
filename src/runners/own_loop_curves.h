// The curves of the engines that run their own bar loop instead of a kernel session
// (basket, options, pairs, the independent multi-strategy run), and their output: the
// reduced block of figures (metrics::reduced_metrics) over those curves and the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/block_cache.h"
#include "domain/backtest_config.h"
#include "domain/trade_record.h"
#include "engine/core_session.h"
#include "metrics/reduced_metrics.h"

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

// The run's output: the reduced figures over the curves and records, which it takes over.
engine::RunOutput finish(const domain::BacktestConfig& config, Curves&& curves,
                         std::span<const std::int64_t> timestamps, std::vector<domain::TradeRecord>&& trades,
                         const metrics::TradeTally& tally);

// The output of a run that stepped no bar: no curves or records, and the figures of
// nothing (zero except the start and end values).
engine::RunOutput empty_run(const domain::BacktestConfig& config);

}  // namespace tarnwick::runners::own_loop
