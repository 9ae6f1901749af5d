// The step's order phases: the working-order walk and its actions, TWAP slices and due
// market orders, plus the schedules the session registers between steps. A kernel
// without order records or schedules skips all of them.
#include <cmath>
#include <limits>

#include "base/format.h"
#include "base/saturate.h"
#include "engine/kernel.h"
#include "engine/orders/order_walk.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::err;
using base::sat_add;
using domain::FillTiming;
using domain::OhlcvBar;

void Kernel::cancel_working_orders_at_expiry(std::uint64_t idx) {
    if (!orders_.empty()) (void)cancel_all_orders(idx);
}

void Kernel::walk_working_orders(std::uint64_t idx, const OhlcvBar& bar) {
    if (orders_.empty()) return;
    status_snapshot_.resize(orders_.size());
    for (std::size_t i = 0; i < orders_.size(); ++i) status_snapshot_[i] = orders_[i].status;
    expiry_actions_.clear();
    order_actions_.clear();
    WalkEvent ev{idx, bar, last_print_, order_latency_ns_, cfg_.config.session_tz_offset_ns,
                 cfg_.config.limit_slippage, 0.0, std::nullopt};
    if (cfg_.instrument) {
        ev.tick = cfg_.instrument->price_increment;
        ev.activation_ns = cfg_.instrument->activation_ns;
    }
    walk_orders(orders_, status_snapshot_, ev, expiry_actions_, order_actions_);
    for (const OrderAction& a : expiry_actions_) apply_order_action(idx, bar, a);
    for (const OrderAction& a : order_actions_) apply_order_action(idx, bar, a);
}

void Kernel::apply_order_action(std::uint64_t idx, const OhlcvBar& bar, const OrderAction& a) {
    if (a.order_id >= orders_.size()) return;
    OrderRecord& o = orders_[a.order_id];
    switch (a.kind) {
        case OrderActionKind::Fill: fill_order(idx, bar, a); return;
        case OrderActionKind::Trigger:
            events_.push_back(KernelEvent::order(KernelEventKind::OrderTriggered, idx, o.id, o.client_id));
            return;
        case OrderActionKind::Expire:
            events_.push_back(KernelEvent::order(KernelEventKind::OrderExpired, idx, o.id, o.client_id));
            release_children_of_partial(idx, o, events_);
            return;
        case OrderActionKind::Cancel:
            events_.push_back(KernelEvent::order(KernelEventKind::OrderCanceled, idx, o.id, o.client_id));
            release_children_of_partial(idx, o, events_);
            return;
        case OrderActionKind::Reject:
            events_.push_back(KernelEvent::order_rejected(idx, o.id, o.client_id, a.reason));
            return;
    }
}

void Kernel::run_twap_slices(std::uint64_t idx, const OhlcvBar& bar) {
    if (twaps_.empty()) return;
    for (std::size_t i = 0; i < twaps_.size(); ++i) {
        TwapSchedule& t = twaps_[i];
        if (!t.due(bar.timestamp)) continue;
        const std::uint32_t k = t.slices_done;
        // Each cumulative target in what the ledger can fill (whole lots and size
        // increments), so that no slice asks for a fraction it cannot trade.
        const double units = round_quantity(twap_cumulative_units(t.total_units, k + 1, t.slices)) -
                             round_quantity(twap_cumulative_units(t.total_units, k, t.slices));
        t.slices_done = k + 1;
        t.next_due_ns = sat_add(bar.timestamp, t.interval_ns);
        // A slice that rounds to nothing sends no order; its units come with a later one.
        if (!(units > 0.0)) continue;
        OrderRequest r;
        r.side = t.side;
        r.size_mode = SizeMode::Units;
        r.size_value = units;
        r.kind = OrderKind::Market;
        r.tif = TimeInForce::Gtc;
        r.submitted_idx = idx;
        r.submitted_ts = bar.timestamp;
        r.client_id = base::fmt::format("{}#{}", t.client_id, k);
        r.reduce_only = t.reduce_only;
        const std::uint64_t id = submit_order(std::move(r));
        orders_[id].algo_id = t.algo_id;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < twaps_.size(); ++i) {
        if (twaps_[i].complete() || !twaps_[i].active) {
            events_.push_back(KernelEvent::algo(KernelEventKind::AlgoCompleted, idx, twaps_[i].algo_id, {}));
        } else {
            if (kept != i) twaps_[kept] = std::move(twaps_[i]);
            ++kept;
        }
    }
    twaps_.resize(kept);
}

void Kernel::fill_due_market_orders(std::uint64_t idx, const OhlcvBar& bar) {
    if (orders_.empty()) return;
    const bool next_bar_open = fill_timing_ == FillTiming::NextBarOpen && !last_print_;
    if (next_bar_open) {
        // Orders for this bar are announced now and fill at the next bar's open.
        for (auto& o : orders_) {
            if (!awaits_due_fill(o) || o.submitted_idx != idx) continue;
            if (o.status == OrderStatus::Submitted) o.status = OrderStatus::Accepted;
            events_.push_back(KernelEvent::order(KernelEventKind::OrderAccepted, idx, o.id, o.client_id));
        }
    }
    due_ids_.clear();
    for (const auto& o : orders_) {
        if (awaits_due_fill(o) &&
            market_order_due(o, idx, bar.timestamp, last_print_, next_bar_open, order_latency_ns_)) {
            due_ids_.push_back(o.id);
        }
    }
    const bool inactive = cfg_.instrument && cfg_.instrument->activation_ns &&
                          bar.timestamp < *cfg_.instrument->activation_ns;
    for (std::uint64_t id : due_ids_) {
        OrderRecord& o = orders_[id];
        if (!o.working()) continue;
        if (o.status == OrderStatus::Submitted) {
            o.status = OrderStatus::Accepted;
            events_.push_back(KernelEvent::order(KernelEventKind::OrderAccepted, idx, o.id, o.client_id));
        }
        o.offered = true;
        if (inactive) {
            reject_order(idx, o, "inactive", false);
            continue;
        }
        OrderAction fill;
        fill.order_id = id;
        apply_order_action(idx, bar, fill);
    }
}

Result<std::uint64_t, OwnError> Kernel::submit_twap(const TwapArgs& args) {
    auto schedule = make_twap_schedule(args, next_algo_id_);
    if (!schedule) return err(schedule.error());
    const std::uint64_t algo_id = next_algo_id_++;
    event_sink().push_back(KernelEvent::algo(KernelEventKind::AlgoStarted, args.submitted_idx, algo_id,
                                             std::string(args.client_id)));
    twaps_.push_back(std::move(schedule).value());
    return algo_id;
}

bool Kernel::cancel_twap(std::uint64_t algo_id, std::uint64_t idx) {
    TwapSchedule* found = nullptr;
    for (auto& t : twaps_) {
        if (t.algo_id == algo_id) {
            found = &t;
            break;
        }
    }
    if (!found || !found->active) return false;
    found->active = false;
    for (const auto& o : orders_) {
        if (o.working() && o.algo_id == algo_id) (void)cancel_order(idx, o.id);
    }
    return true;
}

}  // namespace tarnwick::engine
