// One fill decided by the walk (or a due market order): the fill models say whether and
// at which price it happens, the route says whether it opens, adds to or closes a
// position, and every outcome either changes the ledger or is reported as a rejection.
#include <algorithm>
#include <cmath>

#include "engine/kernel.h"

namespace tarnwick::engine {

using domain::OhlcvBar;
using domain::is_tradable_price;

void Kernel::fill_order(std::uint64_t idx, const OhlcvBar& bar, const OrderAction& a) {
    OrderRecord& o = orders_[a.order_id];
    // A sibling's fill earlier in the same step may already have canceled this order.
    if (!o.working()) return;

    // Route first: a reduce-only order only ever takes off a position held the other way.
    const Position* first = ledger_.empty() ? nullptr : &ledger_.positions().front();
    bool closing = false;
    if (o.reduce_only) {
        if (ledger_.hedging() || !first || first->direction == o.direction()) {
            reject_order(idx, o, "reduce_only", true);
            return;
        }
        closing = true;
    } else if (!ledger_.hedging()) {
        closing = first && first->direction != o.direction();
    }

    const bool buy = o.side == OrderSide::Buy;
    double price = a.price;
    if (std::isnan(price)) {
        // A market order takes the price a fill of its kind takes on this event: a
        // closing fill the price a close of that position would take.
        const int dir = closing ? first->direction : o.direction();
        price = reference_price(cfg_.price_source, bar, dir, !closing);
    }
    // A gap in the prices fills nothing; the order keeps working for a later event.
    if (!is_tradable_price(price)) return;
    if (is_resting_limit(o)) {
        bool queued_fill = false;
        if (cfg_.config.queue_fill_model && last_print_) {
            const double limit = resting_limit_price(o);
            switch (queues_.on_print(o.id, o.side, limit, bar.close, bar.volume, book_)) {
                case QueueOutcome::Fill:
                    price = limit;
                    queued_fill = true;
                    break;
                case QueueOutcome::NoFill: return;
                case QueueOutcome::NotApplicable: break;
            }
        }
        if (!queued_fill && !limit_fill_passes(cfg_.config.fill_prob_limit, fill_random_)) return;
    }
    // A market kind may slip a tick; the position's extremes take the price it slipped from.
    const FillSlotScope market(fill_market_, price);
    if (!is_resting_limit(o)) {
        const double increment = cfg_.instrument ? cfg_.instrument->price_increment : 0.0;
        price = slipped_fill_price(price, buy, cfg_.config.fill_prob_slippage, increment, fill_random_);
    }

    // Every slippage the ledger adds stops at the limit of a limit kind.
    const FillSlotScope cap(fill_cap_, std::isnan(a.cap) ? std::nullopt : std::optional<double>(a.cap));
    if (closing) {
        fill_closing(idx, bar, o, price);
    } else {
        fill_opening(idx, bar, o, price);
    }
}

std::optional<double> Kernel::fill_quantity(std::uint64_t idx, const OhlcvBar& bar, OrderRecord& o,
                                            double quantity) {
    if (!(last_print_ && cfg_.config.partial_fills && bar.volume > 0.0)) return quantity;
    const double cut = std::min(quantity, bar.volume);
    if (cut < quantity && o.tif == TimeInForce::Fok) {
        cancel_linked_order(idx, o.id);
        return std::nullopt;
    }
    return cut;
}

void Kernel::fill_closing(std::uint64_t idx, const OhlcvBar& bar, OrderRecord& o, double price) {
    const Position& p = ledger_.positions().front();
    const std::uint64_t position_id = p.position_id;
    const double held = p.size;
    double quantity = held;
    double completion = held;
    if (o.sized_in_units()) {
        quantity = std::min(o.size_value - o.filled_qty, held);
        completion = std::min(o.size_value, o.filled_qty + held);
    }
    if (!(quantity > 0.0)) return;
    const auto q = fill_quantity(idx, bar, o, quantity);
    if (!q || !(*q > 0.0)) return;
    auto trade = close_by_order(idx, bar.timestamp, position_id, bar.volume, *q, price);
    if (!trade) {
        reject_order(idx, o, "unfillable", false);
        return;
    }
    const double exit_price = trade->exit_price;
    const double size = trade->size;
    apply_fill(idx, o, KernelEvent::exited(idx, std::move(*trade)), exit_price, size, completion);
}

Position* Kernel::position_of_order(const OrderRecord& o) noexcept {
    for (const auto& p : ledger_.positions()) {
        if (!p.opening_order_id) continue;
        if (*p.opening_order_id == o.id) return ledger_.find(p.position_id);
        // Slices of one schedule build one position where only one position may be held.
        if (!ledger_.hedging() && o.algo_id && *p.opening_order_id < orders_.size() &&
            orders_[*p.opening_order_id].algo_id == o.algo_id) {
            return ledger_.find(p.position_id);
        }
    }
    return nullptr;
}

void Kernel::fill_opening(std::uint64_t idx, const OhlcvBar& bar, OrderRecord& o, double price) {
    const int dir = o.direction();
    Position* own = position_of_order(o);
    if (own && o.sized_in_units()) {
        const std::uint64_t position_id = own->position_id;
        const double remaining = o.size_value - o.filled_qty;
        if (!(remaining > 0.0)) return;
        const auto q = fill_quantity(idx, bar, o, remaining);
        if (!q || !(*q > 0.0)) return;
        const bool keep = o.stop_price.has_value() || o.target_price.has_value();
        const auto added = add_to_position(position_id, keep, keep, bar.volume, price, *q);
        if (!added) {
            reject_order(idx, o, "unfillable", true);
            return;
        }
        apply_fill(idx, o, KernelEvent::entered(idx, static_cast<std::int8_t>(dir), added->price, added->quantity),
                   added->price, added->quantity, o.size_value);
        return;
    }

    if (!ledger_.hedging() && !ledger_.empty() && !own) {
        reject_order(idx, o, "position_open", true);
        return;
    }
    if (margin_call_) {
        reject_order(idx, o, "margin_call", true);
        return;
    }
    if (drawdown_halt_) {
        reject_order(idx, o, "drawdown_halt", true);
        return;
    }
    if (max_positions_ && portfolio_open_count_.value_or(ledger_.size()) >= *max_positions_) {
        reject_order(idx, o, "max_positions", true);
        return;
    }
    if (o.size_mode == SizeMode::None) {
        reject_order(idx, o, "invalid_qty", true);
        return;
    }
    std::optional<double> size_frac;
    std::optional<double> units;
    if (o.size_mode == SizeMode::SizeFrac) {
        size_frac = o.size_value;
    } else {
        const double remaining = o.size_value - o.filled_qty;
        if (!(remaining > 0.0)) return;
        units = fill_quantity(idx, bar, o, remaining);
        if (!units || !(*units > 0.0)) return;
    }
    const OpenOutcome out = open_position({.idx = idx, .timestamp = bar.timestamp, .direction = dir,
                                           .volume = bar.volume, .reference = price, .size_frac = size_frac,
                                           .units = units, .atr = atr_, .stop_price = o.stop_price,
                                           .target_price = o.target_price});
    switch (out.kind) {
        case OpenOutcome::Kind::Opened: {
            // The position this fill opened, which in a hedging ledger need not be the first.
            if (Position* p = ledger_.find(out.position_id)) p->opening_order_id = o.id;
            const double completion = o.sized_in_units() ? o.size_value : out.size;
            apply_fill(idx, o, KernelEvent::entered(idx, static_cast<std::int8_t>(dir), out.entry_price, out.size),
                       out.entry_price, out.size, completion);
            return;
        }
        case OpenOutcome::Kind::Rejected: reject_order(idx, o, name(out.reason), false); return;
        case OpenOutcome::Kind::Refused: reject_order(idx, o, "unfillable", true); return;
    }
}

}  // namespace tarnwick::engine
