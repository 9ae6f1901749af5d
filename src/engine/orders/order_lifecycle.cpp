// The order record's status machine: submission, cancels, rejections, the bookkeeping of
// a fill, and the session's edits (modify, one-cancels-other groups).
#include "engine/orders/order_lifecycle.h"

#include <algorithm>
#include <array>

#include "engine/kernel.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::err;
using domain::Order;

namespace {

constexpr std::array<std::string_view, 8> kStatusNames = {
    "submitted", "accepted", "triggered", "partially_filled", "filled", "canceled", "expired", "rejected",
};

// Filled quantities this close to the completion quantity count as complete: units that
// were split and summed again may miss the request by a rounding step.
constexpr double kCompletionTolerance = 1e-9;

}  // namespace

std::string_view name(OrderStatus status) noexcept {
    const auto i = static_cast<std::size_t>(status);
    return i < kStatusNames.size() ? kStatusNames[i] : kStatusNames[0];
}

Order report_order(const OrderRecord& r, std::string_view symbol) {
    Order o;
    o.id = r.id;
    o.client_id = r.client_id;
    o.symbol = std::string(symbol);
    o.side = std::string(name(r.side));
    o.kind = std::string(name(r.kind));
    o.tif = std::string(name(r.tif));
    o.status = std::string(name(r.status));
    o.submitted_idx = r.submitted_idx;
    o.submitted_ts = r.submitted_ts;
    o.requested_qty = r.requested_units();
    o.filled_qty = r.filled_qty;
    if (has_limit_price(r.kind)) o.limit_price = r.prices.limit_price;
    if (has_trigger_price(r.kind)) o.trigger_price = r.prices.trigger_price;
    o.parent_id = r.parent_id;
    o.oco_group = r.oco_group;
    return o;
}

Result<std::uint64_t, OwnError> Kernel::submit_order(const OrderRequestArgs& args) {
    const double increment = cfg_.instrument ? cfg_.instrument->price_increment : 0.0;
    auto request = parse_order_request(args, increment);
    if (!request) return err(request.error());
    return submit_order(std::move(request).value());
}

std::uint64_t Kernel::submit_order(OrderRequest r) {
    OrderRecord o;
    o.id = orders_.size();
    o.client_id = std::move(r.client_id);
    o.side = r.side;
    o.kind = r.kind;
    o.prices = r.prices;
    o.tif = r.tif;
    o.expire_ns = r.expire_ns;
    o.size_mode = r.size_mode;
    o.size_value = r.size_value;
    o.stop_price = r.stop_price;
    o.target_price = r.target_price;
    o.parent_id = r.parent_id;
    o.submitted_idx = r.submitted_idx;
    o.submitted_ts = r.submitted_ts;
    o.post_only = r.post_only;
    o.reduce_only = r.reduce_only;
    // A trailing order trails from the last price known when it is sent.
    if (o.kind == OrderKind::TrailingStopMarket || o.kind == OrderKind::TrailingStopLimit) o.trail_extreme = last_mark_;
    // Plain market orders are accepted when they come due; children when their parent fills.
    const bool timed_market = o.tif == TimeInForce::AtOpen || o.tif == TimeInForce::AtClose;
    if (!o.parent_id && (o.kind != OrderKind::Market || timed_market)) {
        o.status = OrderStatus::Accepted;
        event_sink().push_back(KernelEvent::order(KernelEventKind::OrderAccepted, o.submitted_idx, o.id, o.client_id));
    }
    orders_.push_back(std::move(o));
    return orders_.back().id;
}

bool Kernel::cancel_into(std::uint64_t idx, std::uint64_t order_id, std::vector<KernelEvent>& out) {
    if (order_id >= orders_.size()) return false;
    OrderRecord& o = orders_[order_id];
    if (!o.working()) return false;
    o.status = OrderStatus::Canceled;
    out.push_back(KernelEvent::order(KernelEventKind::OrderCanceled, idx, o.id, o.client_id));
    release_children_of_partial(idx, o, out);
    return true;
}

void Kernel::release_children(std::uint64_t idx, const OrderRecord& parent, std::optional<double> filled,
                              std::vector<KernelEvent>& out) {
    for (auto& child : orders_) {
        if (child.status != OrderStatus::Submitted || child.parent_id != parent.id) continue;
        child.status = OrderStatus::Accepted;
        if (filled && child.sized_in_units()) child.size_value = std::min(child.size_value, *filled);
        out.push_back(KernelEvent::order(KernelEventKind::OrderAccepted, idx, child.id, child.client_id));
    }
}

void Kernel::release_children_of_partial(std::uint64_t idx, const OrderRecord& parent,
                                         std::vector<KernelEvent>& out) {
    if (parent.filled_qty > 0.0) release_children(idx, parent, parent.filled_qty, out);
}

bool Kernel::cancel_order(std::uint64_t idx, std::uint64_t order_id) {
    return cancel_into(idx, order_id, event_sink());
}

void Kernel::cancel_linked_order(std::uint64_t idx, std::uint64_t order_id) {
    cancel_into(idx, order_id, event_sink());
    queues_.erase(order_id);
}

std::vector<std::uint64_t> Kernel::cancel_all_orders(std::uint64_t idx) {
    std::vector<std::uint64_t> ids = open_order_ids();
    for (std::uint64_t id : ids) orders_[id].status = OrderStatus::Canceled;
    auto& out = event_sink();
    for (std::uint64_t id : ids) {
        out.push_back(KernelEvent::order(KernelEventKind::OrderCanceled, idx, id, orders_[id].client_id));
    }
    return ids;
}

std::vector<std::uint64_t> Kernel::open_order_ids() const {
    std::vector<std::uint64_t> ids;
    for (const auto& o : orders_) {
        if (o.working()) ids.push_back(o.id);
    }
    return ids;
}

void Kernel::reject_order(std::uint64_t idx, OrderRecord& o, std::string_view reason, bool counts_as_entry) {
    if (o.working()) o.status = OrderStatus::Rejected;
    if (counts_as_entry) ++rejected_entries_;
    auto& out = event_sink();
    out.push_back(KernelEvent::order_rejected(idx, o.id, o.client_id, reason));
    release_children_of_partial(idx, o, out);
}

void Kernel::apply_fill(std::uint64_t idx, OrderRecord& o, KernelEvent ledger_event, double price, double quantity,
                        double completion) {
    o.filled_qty += quantity;
    const bool complete = o.filled_qty + kCompletionTolerance >= completion;
    // Whatever working status the order had (a market order or a child may still read
    // "submitted"), the fill moves it on, so it never fills a second time.
    if (o.working()) o.status = complete ? OrderStatus::Filled : OrderStatus::PartiallyFilled;
    auto& out = event_sink();
    out.push_back(KernelEvent::order_filled(idx, o.id, o.client_id, price, quantity));
    out.push_back(std::move(ledger_event));
    if (!complete) {
        if (o.tif == TimeInForce::Ioc) cancel_linked_order(idx, o.id);
        return;
    }
    release_children(idx, o, std::nullopt, out);
    if (o.oco_group) {
        for (auto& sibling : orders_) {
            if (sibling.id != o.id && sibling.working() && sibling.oco_group == o.oco_group) {
                cancel_linked_order(idx, sibling.id);
            }
        }
    }
}

Result<bool, OwnError> Kernel::modify_order(std::uint64_t order_id, std::optional<double> units,
                                            std::optional<double> size_frac, std::optional<double> limit_price,
                                            std::optional<double> trigger_price) {
    if (auto ok = check_order_size(units, size_frac); !ok) return err(ok.error());
    if (auto ok = check_order_price(limit_price, "limit_price"); !ok) return err(ok.error());
    if (auto ok = check_order_price(trigger_price, "trigger_price"); !ok) return err(ok.error());
    if (order_id >= orders_.size()) return false;
    OrderRecord& o = orders_[order_id];
    if (!o.working()) return false;
    // Orders without a price of their own to replace are not edited at all: a market
    // order resized between steps would fill a quantity nobody sent.
    switch (o.kind) {
        case OrderKind::Market:
        case OrderKind::MarketToLimit:
        case OrderKind::TrailingStopMarket:
        case OrderKind::TrailingStopLimit: return false;
        default: break;
    }

    // Each given price the kind carries is replaced, the limit first; a trigger that has
    // already fired cannot move, and a price the kind does not carry refuses the edit
    // (whatever was replaced before stays).
    const bool carries_limit = has_limit_price(o.kind);
    const bool carries_trigger = has_trigger_price(o.kind);
    if (limit_price && carries_limit) o.prices.limit_price = limit_price;
    if (trigger_price && carries_trigger) {
        if (o.status == OrderStatus::Triggered) return false;
        o.prices.trigger_price = trigger_price;
    }
    if ((limit_price && !carries_limit) || (trigger_price && !carries_trigger)) return false;
    if (units) {
        o.size_mode = SizeMode::Units;
        o.size_value = *units;
    } else if (size_frac) {
        o.size_mode = SizeMode::SizeFrac;
        o.size_value = *size_frac;
    }
    return true;
}

void Kernel::link_oco(std::span<const std::uint64_t> order_ids) {
    if (order_ids.empty()) return;
    const std::uint64_t group = *std::min_element(order_ids.begin(), order_ids.end());
    for (std::uint64_t id : order_ids) {
        if (id < orders_.size()) orders_[id].oco_group = group;
    }
}

}  // namespace tarnwick::engine
