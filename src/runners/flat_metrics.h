// The figures of a run that computed none: every value zero, every optional absent.
// The engines with their own loops report these for runs without a market to measure.
#pragma once

#include "metrics/metrics.h"

namespace tarnwick::runners {

inline metrics::BacktestMetrics zeroed_metrics() noexcept {
    metrics::BacktestMetrics m;
    m.omega_ratio = 0.0;
    m.open_trade_pnl = 0.0;
    m.total_fees_paid = 0.0;
    m.total_turnover = 0.0;
    return m;
}

}  // namespace tarnwick::runners
