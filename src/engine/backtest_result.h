// What a finished single-instrument run reports, owned outright: its figures, its curves,
// its closed trades and the orders it handled.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/block_cache.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"
#include "metrics/metric_fields.h"

namespace tarnwick::engine {

// The run's figures as reported: the fields of metrics::BacktestMetrics, in the same
// units, except that the six ratios that can be unbounded (sortino, calmar, omega, profit
// factor, payoff, recovery) are absent here instead of infinite or NaN.
struct ReportedMetrics {
#define TARNWICK_REPORTED_FIGURE(type, name, initial, place, label, doc) type name = initial;
#define TARNWICK_REPORTED_RATIO(name, initial, place, label, doc) std::optional<double> name;
    TARNWICK_METRIC_FIELDS(TARNWICK_REPORTED_FIGURE, TARNWICK_REPORTED_RATIO)
#undef TARNWICK_REPORTED_FIGURE
#undef TARNWICK_REPORTED_RATIO
};

struct BacktestResult {
    ReportedMetrics metrics;
    base::Curve equity_curve;                 // one sample per stepped bar or trade print
    base::Curve drawdown_curve;               // percent below the running peak, same samples
    base::Curve returns;                      // one per period, as the run produced them
    std::vector<domain::TradeRecord> trades;  // in the order their positions closed
    std::vector<domain::Order> orders;        // in submission order
};

}  // namespace tarnwick::engine
