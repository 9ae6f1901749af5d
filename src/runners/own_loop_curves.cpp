#include "runners/own_loop_curves.h"

#include <algorithm>

#include "base/fault.h"

namespace tarnwick::runners::own_loop {

using base::fault;
using domain::BacktestConfig;
using domain::TradeRecord;
using engine::RunOutput;

Curves::Curves(std::size_t bars, double initial_capital)
    : equity_(bars, 0.0), drawdown_(bars, 0.0), returns_(bars, 0.0), peak_(initial_capital) {}

void Curves::sample(std::size_t i, double equity) noexcept {
    equity_[i] = equity;
    peak_ = std::max(peak_, equity);  // a NaN equity keeps the peak
    drawdown_[i] = (peak_ - equity) / peak_ * 100.0;
    if (i >= 1) returns_[i] = engine::period_return(equity_[i - 1], equity);
}

void Curves::mark(std::size_t i, double equity) {
    if (i >= equity_.size()) fault("curve sample beyond the run's bars");
    sample(i, equity);
}

void Curves::restate_last(double equity) {
    if (equity_.empty()) fault("restating the last sample of an empty run");
    sample(equity_.size() - 1, equity);
}

RunOutput finish(const BacktestConfig& config, Curves&& curves, std::span<const std::int64_t> timestamps,
                 std::vector<TradeRecord>&& trades, const metrics::TradeTally& tally) {
    RunOutput out;
    out.metrics = metrics::reduced_metrics(metrics::MetricsSettings::from(config), curves.equity(), curves.drawdown(),
                                           curves.returns(), timestamps, trades, tally);
    out.equity_curve = curves.take_equity();
    out.drawdown_curve = curves.take_drawdown();
    out.returns = curves.take_returns();
    out.trades = std::move(trades);
    return out;
}

RunOutput empty_run(const BacktestConfig& config) {
    RunOutput out;
    out.metrics = metrics::reduced_metrics(metrics::MetricsSettings::from(config), {}, {}, {}, {}, {}, {});
    return out;
}

}  // namespace tarnwick::runners::own_loop
