#include "engine/result_assembly.h"

#include <utility>

namespace tarnwick::engine::assembly {

using base::Curve;
using domain::FeeBreakdown;
using domain::Order;
using domain::TradeRecord;
using metrics::BacktestMetrics;

std::array<FeeLine, 7> fee_breakdown_dict(const FeeBreakdown& b) noexcept {
    return {{
        {"brokerage", b.brokerage},
        {"stt", b.stt},
        {"exchange_txn", b.exchange_txn},
        {"sebi_fee", b.sebi_fee},
        {"stamp_duty", b.stamp_duty},
        {"gst", b.gst},
        {"total", b.total()},
    }};
}

ReportedMetrics report_metrics(const BacktestMetrics& m) noexcept {
    using metrics::finite_or_none;
    ReportedMetrics r;
#define TARNWICK_COPY_FIGURE(type, name, initial, place, label, doc) r.name = m.name;
#define TARNWICK_REPORT_RATIO(name, initial, place, label, doc) r.name = finite_or_none(m.name);
    TARNWICK_METRIC_FIELDS(TARNWICK_COPY_FIGURE, TARNWICK_REPORT_RATIO)
#undef TARNWICK_COPY_FIGURE
#undef TARNWICK_REPORT_RATIO
    return r;
}

BacktestResult build_backtest_result(const BacktestMetrics& metrics, Curve equity_curve,
                                     Curve drawdown_curve, Curve returns,
                                     std::vector<TradeRecord> trades, std::vector<Order> orders) {
    BacktestResult r;
    r.metrics = report_metrics(metrics);
    r.equity_curve = std::move(equity_curve);
    r.drawdown_curve = std::move(drawdown_curve);
    r.returns = std::move(returns);
    r.trades = std::move(trades);
    r.orders = std::move(orders);
    return r;
}

BacktestResult build_backtest_result(RunOutput run) {
    return build_backtest_result(run.metrics, std::move(run.equity_curve), std::move(run.drawdown_curve),
                                 std::move(run.returns), std::move(run.trades), std::move(run.orders));
}

}  // namespace tarnwick::engine::assembly
