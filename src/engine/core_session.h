// A single-instrument run: one Kernel plus the buffers that turn its steps into a
// finished run. Built once, stepped once per bar in order, finished once.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/block_cache.h"
#include "domain/bar.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"
#include "engine/kernel.h"
#include "engine/kernel_config.h"
#include "engine/kernel_event.h"
#include "engine/orders/order_snapshots.h"
#include "metrics/metrics.h"

namespace tarnwick::engine {

// What a finished run yields. Curves hold one sample per stepped bar.
struct RunOutput {
    metrics::BacktestMetrics metrics;
    base::Curve equity_curve;              // account equity at each bar's close
    base::Curve drawdown_curve;            // percent below the running peak
    base::Curve returns;                   // simple return of each bar, 0.0 for the first
    std::vector<std::int64_t> timestamps;  // nanoseconds since the Unix epoch; empty when the caller kept them
    std::vector<domain::TradeRecord> trades;  // in the order their positions closed
    std::vector<domain::Order> orders;        // one per order the kernel handled, in submission order
};

class CoreSession {
public:
    // Builds the kernel from `cfg`. The run's limits reach the kernel only when they
    // mean something: max_positions when set and not 0, max_drawdown_pct when above 0.
    explicit CoreSession(KernelConfig cfg);

    // Reserves the curves for `bars` steps, so stepping allocates nothing for them; large
    // curves are backed by huge pages where the system allows.
    void reserve(std::size_t bars);

    // The bars' timestamps are the caller's, in step order: the session records none and
    // its metrics read the first of `timestamps` as many as there were steps. The caller
    // keeps them alive until `finish` returns and steps bar i with timestamps[i]. Call
    // before `reserve` and the first step.
    void read_timestamps_from(std::span<const std::int64_t> timestamps) noexcept {
        external_timestamps_ = timestamps;
    }

    // Steps the kernel with the bar (never as a trade print), records closed trades,
    // samples equity, drawdown and return, and applies the drawdown halt. Returns the
    // kernel's events for the step; valid until the next call that changes the session.
    const std::vector<KernelEvent>& step(std::uint64_t idx, const domain::OhlcvBar& bar,
                                         const domain::BarSignal& signal);

    // Bars first_idx, first_idx + 1, ... given as columns of equal length, on which the
    // kernel is quiet (`kernel().quiet()`) and no signal arrives: the same samples, halt
    // and last bar as stepping them one at a time, without the per-step work. `atr` is the
    // last bar's ATR.
    struct QuietBars {
        std::span<const std::int64_t> timestamps;
        std::span<const double> open;
        std::span<const double> high;
        std::span<const double> low;
        std::span<const double> close;
        std::span<const double> volume;
        double atr = 0.0;
    };
    void step_quiet(std::uint64_t first_idx, const QuietBars& bars);

    // Force-closes what is still open at the last bar's close (EndOfData, no exit fee;
    // the curves are not extended), computes the metrics over the run's curves and
    // trades, and hands over the run's buffers.
    RunOutput finish() &&;

    Kernel& kernel() noexcept { return kernel_; }
    const Kernel& kernel() const noexcept { return kernel_; }
    // The latest equity sample, or the initial capital before the first step.
    double equity() const noexcept;
    double peak_equity() const noexcept { return peak_; }
    const base::Curve& equity_curve() const noexcept { return out_.equity_curve; }
    const base::Curve& drawdown_curve() const noexcept { return out_.drawdown_curve; }
    const base::Curve& returns() const noexcept { return out_.returns; }
    const std::vector<domain::TradeRecord>& trades() const noexcept { return out_.trades; }
    const std::optional<std::pair<std::uint64_t, domain::OhlcvBar>>& last_bar() const noexcept { return last_bar_; }
    // The orders as they would be reported now: an order that filled or was rejected
    // keeps the prices and settings it had at that first event, carries its summed fills
    // and reject reason, and reports its current status; any other order is reported as
    // it stands.
    std::vector<domain::Order> order_reports() const;

private:
    Kernel kernel_;
    domain::BacktestConfig config_;  // the run's own copy, for the metrics
    RunOutput out_;
    double peak_ = 0.0;
    std::optional<std::pair<std::uint64_t, domain::OhlcvBar>> last_bar_;
    OrderSnapshots snapshots_;
    std::optional<std::span<const std::int64_t>> external_timestamps_;
};

// Percent below the running peak; 0.0 when the peak is not above 0 (no meaningful base).
inline double drawdown_pct(double peak, double equity) noexcept {
    if (!(peak > 0.0)) return 0.0;
    return (peak - equity) / peak * 100.0;
}

// The return of one period from the equity before it, over that equity's magnitude so the
// return has the sign of the change: after the account has gone below zero a further loss
// is still a negative return. The callers decide what a previous equity of 0 gives.
inline double period_return(double previous, double equity) noexcept {
    return (equity - previous) / std::fabs(previous);
}

}  // namespace tarnwick::engine
