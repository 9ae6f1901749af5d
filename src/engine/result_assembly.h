// Turning a finished run into the result it reports. Every producer of a single-instrument
// result (the core session, the array runners, the portfolio session) goes through here,
// so the reported form is decided in one place.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "base/block_cache.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"
#include "engine/backtest_result.h"
#include "engine/core_session.h"
#include "metrics/metrics.h"

namespace tarnwick::engine::assembly {

// One itemised line of a fee breakdown as callers see it.
struct FeeLine {
    std::string_view name;
    double amount;
};

// The six lines of the breakdown under their reported names, then "total": the six added
// left to right (FeeBreakdown::total), so the total matches the fees the trade carried.
std::array<FeeLine, 7> fee_breakdown_dict(const domain::FeeBreakdown& b) noexcept;

// The figures as reported: the six unbounded ratios kept only when finite (0.0 stays
// 0.0), every other field copied as computed.
ReportedMetrics report_metrics(const metrics::BacktestMetrics& m) noexcept;

// Assembles a result from its parts, taking ownership of the curves, trades and orders.
// The metrics are computed by the caller over the same curves and trades.
BacktestResult build_backtest_result(const metrics::BacktestMetrics& metrics, base::Curve equity_curve,
                                     base::Curve drawdown_curve, base::Curve returns,
                                     std::vector<domain::TradeRecord> trades, std::vector<domain::Order> orders);

// The same from a finished core session, whose output already carries its metrics. The
// orders are those the session reported, in submission order.
BacktestResult build_backtest_result(RunOutput run);

}  // namespace tarnwick::engine::assembly
