#include "core/core_session.h"

#include <algorithm>

namespace tarnwick {

double drawdown_pct(double peak, double equity) noexcept {
    if (!(peak > 0.0)) return 0.0;
    return (peak - equity) / peak * 100.0;
}

CoreSession::CoreSession(KernelConfig cfg) : kernel_(std::move(cfg)) {
    const BacktestConfig& bc = kernel_.config().config;
    config_ = bc;
    peak_ = bc.initial_capital;
    if (bc.max_positions && *bc.max_positions != 0) kernel_.set_max_positions(bc.max_positions);
    if (bc.max_drawdown_pct && *bc.max_drawdown_pct > 0.0) kernel_.set_max_drawdown_pct(bc.max_drawdown_pct);
}

void CoreSession::reserve(std::size_t bars) {
    out_.equity_curve.reserve(bars);
    out_.drawdown_curve.reserve(bars);
    out_.returns.reserve(bars);
    out_.timestamps.reserve(bars);
}

double CoreSession::equity() const noexcept {
    if (out_.equity_curve.empty()) return kernel_.config().config.initial_capital;
    return out_.equity_curve.back();
}

const std::vector<KernelEvent>& CoreSession::step(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal) {
    const std::vector<KernelEvent>& events = kernel_.step(idx, bar, signal, false);
    for (const auto& e : events) {
        if (e.kind == KernelEventKind::Exited && e.trade) out_.trades.push_back(*e.trade);
        if (e.kind == KernelEventKind::OrderFilled || e.kind == KernelEventKind::OrderRejected) record_order_event(e);
    }

    const double eq = kernel_.equity(bar.close);
    const bool has_previous = !out_.equity_curve.empty();
    const double previous = has_previous ? out_.equity_curve.back() : 0.0;
    out_.equity_curve.push_back(eq);
    peak_ = std::max(peak_, eq);
    const double dd = drawdown_pct(peak_, eq);
    out_.drawdown_curve.push_back(dd);
    // A threshold of 0 or below means no halt, however the kernel's limit was set.
    const std::optional<double> limit = kernel_.max_drawdown_pct();
    if (peak_ > 0.0 && !kernel_.drawdown_halt() && limit && *limit > 0.0 && dd >= *limit) {
        kernel_.set_drawdown_halt(true);
    }
    out_.returns.push_back(has_previous && previous != 0.0 ? (eq - previous) / previous : 0.0);
    out_.timestamps.push_back(bar.timestamp);
    last_bar_.emplace(idx, bar);
    return events;
}

void CoreSession::record_order_event(const KernelEvent& e) {
    const OrderRecord* record = kernel_.find_order(e.id);
    if (!record) return;
    if (snapshots_.size() <= e.id) snapshots_.resize(e.id + 1);
    std::optional<Order>& snap = snapshots_[e.id];
    if (!snap) {
        snap = report_order(*record, kernel_.config().symbol);
        snap->filled_qty = 0.0;
        snap->avg_fill_price.reset();
    }
    if (e.kind == KernelEventKind::OrderFilled) {
        snap->record_fill(e.price, e.size, e.idx);
    } else {
        snap->record_reject(e.reason);
    }
}

std::vector<Order> CoreSession::order_reports() const {
    const auto& records = kernel_.orders();
    std::vector<Order> out;
    out.reserve(records.size());
    for (const auto& r : records) {
        if (r.id < snapshots_.size() && snapshots_[r.id]) {
            out.push_back(*snapshots_[r.id]);
            // An order filled in slices ends "filled", not in the state of its first slice.
            out.back().status = std::string(name(r.status));
        } else {
            out.push_back(report_order(r, kernel_.config().symbol));
        }
    }
    return out;
}

RunOutput CoreSession::finish() && {
    if (kernel_.in_position() && last_bar_) {
        const auto& [idx, bar] = *last_bar_;
        for (auto& t : kernel_.force_close_all(idx, bar.timestamp, bar.close)) out_.trades.push_back(std::move(t));
    }
    out_.orders = order_reports();
    out_.metrics = metrics::compute_metrics(out_.equity_curve, out_.drawdown_curve, out_.returns, out_.timestamps,
                                            out_.trades, config_);
    return std::move(out_);
}

}  // namespace tarnwick
