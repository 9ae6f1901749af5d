#include "engine/orders/order_snapshots.h"

namespace tarnwick::engine {

using domain::Order;

void OrderSnapshots::record(const KernelEvent& e, const std::vector<OrderRecord>& records, std::string_view symbol) {
    if (e.kind != KernelEventKind::OrderFilled && e.kind != KernelEventKind::OrderRejected) return;
    if (e.id >= records.size()) return;
    if (captured_.size() <= e.id) captured_.resize(e.id + 1);
    std::optional<Order>& snap = captured_[e.id];
    if (!snap) {
        snap = report_order(records[e.id], symbol);
        snap->filled_qty = 0.0;
        snap->avg_fill_price.reset();
    }
    if (e.kind == KernelEventKind::OrderFilled) {
        snap->record_fill(e.price, e.size, e.idx);
    } else {
        snap->record_reject(e.reason);
    }
}

std::vector<Order> OrderSnapshots::reports(const std::vector<OrderRecord>& records, std::string_view symbol) const {
    std::vector<Order> out;
    out.reserve(records.size());
    for (const auto& r : records) {
        if (r.id < captured_.size() && captured_[r.id]) {
            out.push_back(*captured_[r.id]);
            // An order filled in slices ends "filled", not in the state of its first slice.
            out.back().status = std::string(name(r.status));
        } else {
            out.push_back(report_order(r, symbol));
        }
    }
    return out;
}

}  // namespace tarnwick::engine
