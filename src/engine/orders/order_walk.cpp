#include "engine/orders/order_walk.h"

#include <algorithm>
#include <cmath>

#include "base/saturate.h"
#include "engine/orders/price_grid.h"

namespace tarnwick::engine {

using base::sat_add;
using domain::OhlcvBar;
using domain::is_tradable_price;

namespace {

constexpr std::int64_t kDayNs = 86400000000000LL;

void push(std::vector<OrderAction>& out, OrderActionKind kind, const OrderRecord& o,
          double price = std::numeric_limits<double>::quiet_NaN(), std::string_view reason = {}) {
    out.push_back(OrderAction{kind, o.id, price, reason});
}

// A fill at `price`, when it is a price at all: a gap in the bar decides nothing, and
// the order waits for an event that trades.
bool fill_at(std::vector<OrderAction>& out, const OrderRecord& o, double price) {
    if (!is_tradable_price(price)) return false;
    push(out, OrderActionKind::Fill, o, price);
    return true;
}

void trigger(OrderRecord& o, std::vector<OrderAction>& out) {
    // A child released late can still be "submitted" here; triggering moves it on too,
    // so the trigger is reported once.
    if (o.status == OrderStatus::Accepted || o.status == OrderStatus::Submitted) o.status = OrderStatus::Triggered;
    push(out, OrderActionKind::Trigger, o);
}

bool not_yet_triggered(const OrderRecord& o) noexcept {
    return o.status == OrderStatus::Submitted || o.status == OrderStatus::Accepted;
}

// The two ways a level is met. A resting level (limit, touched orders) is met from the
// far side: a buy when the price comes down to it, a sell when it comes up. A stop level
// is met the other way: a buy when the price rises to it, a sell when it falls.
enum class Meet : std::uint8_t { Resting, Stop };

class Levels {
public:
    Levels(const OrderRecord& o, const WalkEvent& ev) noexcept
        : buy_(o.side == OrderSide::Buy), ev_(ev), grid_{ev.tick} {}

    // A buy's resting level and a sell's stop are met by a falling price, the others by
    // a rising one.
    bool from_below(Meet how) const noexcept { return (how == Meet::Resting) != buy_; }
    // Whether `price` is at `level` or beyond it on the side that meets it.
    bool meets(Meet how, double price, double level) const noexcept {
        return from_below(how) ? grid_.at_or_above(price, level) : grid_.at_or_below(price, level);
    }
    // Whether the event reached `level` at all (its low or high, as the meeting side says).
    bool reached(Meet how, double level) const noexcept {
        return meets(how, from_below(how) ? ev_.bar.high : ev_.bar.low, level);
    }
    // Whether the event opened at or beyond `level`: it traded there from its first price.
    bool opened_through(Meet how, double level) const noexcept {
        return is_tradable_price(ev_.bar.open) && meets(how, ev_.bar.open, level);
    }
    // The price a fill at a reached `level` takes: the open when the event opened through
    // it, else the level itself, kept within what the bar traded. A print fills a resting
    // level at the level and a stop at the print.
    double price_at(Meet how, double level) const noexcept {
        if (ev_.is_print) return how == Meet::Stop ? ev_.bar.open : level;
        if (opened_through(how, level)) return ev_.bar.open;
        return grid_.fill_at(level, from_below(how), ev_.bar.low, ev_.bar.high);
    }
    // The price a limit fill decided at `base` may not pass once slipped: the limit as the
    // grid meets it, or the base itself where the touch rule let it fall a rounding step
    // past the limit.
    double limit_cap(double base, double limit) const noexcept {
        const double on_grid = grid_.level_on_grid(limit, from_below(Meet::Resting));
        return buy_ ? std::max(on_grid, base) : std::min(on_grid, base);
    }
    const PriceGrid& grid() const noexcept { return grid_; }
    // `price` given up by the limit slippage fraction: up for a buy, down for a sell.
    double slipped(double price) const noexcept {
        const double s = ev_.limit_slippage;
        return buy_ ? price + price * s : price - price * s;
    }
    const WalkEvent& event() const noexcept { return ev_; }

private:
    bool buy_;
    const WalkEvent& ev_;
    PriceGrid grid_;
};

// A fill of a limit kind decided at `base`: slipped, and never past the limit.
bool limit_fill_at(std::vector<OrderAction>& out, const OrderRecord& o, double base, double limit,
                   const Levels& lv) {
    if (!is_tradable_price(base)) return false;
    out.push_back(OrderAction{OrderActionKind::Fill, o.id, lv.slipped(base), {}, lv.limit_cap(base, limit)});
    return true;
}

// A working limit at `limit`: filled once the event reaches it, at the open when the
// event opened through it.
bool limit_rule(OrderRecord& o, double limit, const Levels& lv, std::vector<OrderAction>& out) {
    if (!lv.reached(Meet::Resting, limit)) return false;
    return limit_fill_at(out, o, lv.price_at(Meet::Resting, limit), limit, lv);
}

// A limit that has just been triggered at `trigger_price` (the open when the event opened
// through its trigger) fills on the same event when the event trades at the limit or
// better after the trigger: at once when the trigger price is within the limit; else, when
// the trigger came at the open, wherever the rest of the event reaches the limit; else
// only when the close, the one price known to come after the trigger, is within it.
void fill_on_trigger(OrderRecord& o, double trigger_price, bool at_open, double limit, const Levels& lv,
                     std::vector<OrderAction>& out) {
    const OhlcvBar& b = lv.event().bar;
    if (lv.meets(Meet::Resting, trigger_price, limit)) {
        (void)limit_fill_at(out, o, trigger_price, limit, lv);
        return;
    }
    if (lv.event().is_print) return;
    const bool after = at_open ? lv.reached(Meet::Resting, limit) : lv.meets(Meet::Resting, b.close, limit);
    if (after) {
        const double base = lv.grid().fill_at(limit, lv.from_below(Meet::Resting), b.low, b.high);
        (void)limit_fill_at(out, o, base, limit, lv);
    }
}

// Triggers an order whose trigger level the event reached and fills it on the same event
// when it can. `how` says how the trigger is met (stop kinds rise to a buy trigger).
bool trigger_then_limit(OrderRecord& o, Meet how, double level, double limit, const Levels& lv,
                        std::vector<OrderAction>& out) {
    if (!lv.reached(how, level)) return false;
    trigger(o, out);
    const bool at_open = !lv.event().is_print && lv.opened_through(how, level);
    fill_on_trigger(o, lv.price_at(how, level), at_open, limit, lv, out);
    return true;
}

// A stop at `stop`: a buy fires when the event rises to it, a sell when it falls to it,
// filling at the open when the event opened through it.
bool stop_rule(OrderRecord& o, double stop, const Levels& lv, std::vector<OrderAction>& out) {
    if (!lv.reached(Meet::Stop, stop)) return false;
    return fill_at(out, o, lv.price_at(Meet::Stop, stop));
}

// The stop a trailing order tests this event against: from the extreme known before the
// event (the last close when it was submitted, else the first open it meets). Nothing
// when no price is known yet.
std::optional<double> trailing_level(OrderRecord& o, const OhlcvBar& b) {
    if (!o.trail_extreme && is_tradable_price(b.open)) o.trail_extreme = b.open;
    if (!o.trail_extreme) return std::nullopt;
    const double extreme = *o.trail_extreme;
    const double d = o.prices.offset;
    const double amount = o.prices.offset_kind == OffsetKind::Bps ? d * extreme / 10000.0 : d;
    return o.side == OrderSide::Sell ? extreme - amount : extreme + amount;
}

// After the test, the event's own high (a sell) or low (a buy) moves the extreme.
void trail(OrderRecord& o, const OhlcvBar& b) {
    const bool sell = o.side == OrderSide::Sell;
    const double fresh = sell ? b.high : b.low;
    if (!is_tradable_price(fresh)) return;
    if (!o.trail_extreme || (sell ? fresh > *o.trail_extreme : fresh < *o.trail_extreme)) o.trail_extreme = fresh;
}

// The kind rules: the one place order kinds are told apart. True when something was decided.
bool decide_kind(OrderRecord& o, const WalkEvent& ev, std::vector<OrderAction>& out) {
    const OhlcvBar& b = ev.bar;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double limit = o.prices.limit_price.value_or(nan);
    const double trig = o.prices.trigger_price.value_or(nan);
    const Levels lv(o, ev);
    switch (o.kind) {
        case OrderKind::Market:
            if (o.tif == TimeInForce::AtOpen || o.tif == TimeInForce::AtClose) {
                if (ev.is_print) return false;
                return fill_at(out, o, o.tif == TimeInForce::AtOpen ? b.open : b.close);
            }
            if (!o.parent_id) return false;
            return fill_at(out, o, b.open);
        case OrderKind::Limit:
            // Post-only is a maker's promise: marketable on the first event it could
            // trade, the order is refused rather than take liquidity.
            if (o.post_only && !o.offered && lv.meets(Meet::Resting, b.open, limit)) {
                o.status = OrderStatus::Rejected;
                push(out, OrderActionKind::Reject, o, nan, "post_only");
                return true;
            }
            return limit_rule(o, limit, lv, out);
        case OrderKind::StopMarket: return stop_rule(o, trig, lv, out);
        case OrderKind::StopLimit:
            if (not_yet_triggered(o)) return trigger_then_limit(o, Meet::Stop, trig, limit, lv, out);
            return limit_rule(o, limit, lv, out);
        case OrderKind::MarketIfTouched:
            if (!lv.reached(Meet::Resting, trig)) return false;
            return fill_at(out, o, lv.slipped(lv.price_at(Meet::Resting, trig)));
        case OrderKind::LimitIfTouched:
            if (not_yet_triggered(o)) return trigger_then_limit(o, Meet::Resting, trig, limit, lv, out);
            return limit_rule(o, limit, lv, out);
        case OrderKind::MarketToLimit: return fill_at(out, o, b.open);
        case OrderKind::TrailingStopMarket: {
            const std::optional<double> stop = trailing_level(o, b);
            if (stop && stop_rule(o, *stop, lv, out)) return true;
            trail(o, b);
            return false;
        }
        case OrderKind::TrailingStopLimit: {
            if (!not_yet_triggered(o)) return limit_rule(o, o.trail_limit.value_or(b.close), lv, out);
            const std::optional<double> stop = trailing_level(o, b);
            if (stop && lv.reached(Meet::Stop, *stop)) {
                const double m = o.prices.limit_offset;
                o.trail_limit = o.side == OrderSide::Sell ? *stop - m : *stop + m;
                return trigger_then_limit(o, Meet::Stop, *stop, *o.trail_limit, lv, out);
            }
            trail(o, b);
            return false;
        }
    }
    return false;
}

}  // namespace

std::int64_t session_day(std::int64_t timestamp, std::int64_t tz_offset_ns) noexcept {
    const std::int64_t t = sat_add(timestamp, tz_offset_ns);
    std::int64_t q = t / kDayNs;
    if (t % kDayNs != 0 && t < 0) --q;
    return q;
}

void walk_orders(std::span<OrderRecord> orders, std::span<const OrderStatus> snapshot, const WalkEvent& ev,
                 std::vector<OrderAction>& expiries, std::vector<OrderAction>& others) {
    const std::int64_t ts = ev.bar.timestamp;
    for (OrderRecord& o : orders) {
        if (!o.working() || !(o.submitted_idx < ev.idx)) continue;
        if (ev.is_print && ev.latency_ns > 0 && ts < sat_add(o.submitted_ts, ev.latency_ns)) continue;

        if (o.parent_id) {
            if (*o.parent_id >= snapshot.size()) continue;
            const OrderStatus parent = snapshot[*o.parent_id];
            const bool ended = parent == OrderStatus::Canceled || parent == OrderStatus::Expired ||
                               parent == OrderStatus::Rejected;
            // A parent that ended after filling part of its quantity left its children
            // working for that part; one that filled nothing takes them with it.
            const bool parent_filled_some = *o.parent_id < orders.size() && orders[*o.parent_id].filled_qty > 0.0;
            if (ended && !parent_filled_some) {
                o.status = OrderStatus::Canceled;
                push(others, OrderActionKind::Cancel, o);
                continue;
            }
            if (parent != OrderStatus::Filled && !ended) continue;
        }

        // An instrument that is not trading yet trades no order: one first offered an
        // event before the activation time is refused on it.
        if (!o.offered && ev.activation_ns && ts < *ev.activation_ns) {
            o.status = OrderStatus::Rejected;
            push(others, OrderActionKind::Reject, o, std::numeric_limits<double>::quiet_NaN(), "inactive");
            continue;
        }

        bool expires = false;
        if (o.tif == TimeInForce::Day) {
            expires = session_day(ts, ev.tz_offset_ns) > session_day(o.submitted_ts, ev.tz_offset_ns);
        } else if (o.tif == TimeInForce::Gtd) {
            expires = ts >= o.expire_ns;
        }
        if (expires) {
            // Every working status ends here, "submitted" included, so the expiry is
            // reported exactly once.
            o.status = OrderStatus::Expired;
            push(expiries, OrderActionKind::Expire, o);
            continue;
        }

        const bool decided = decide_kind(o, ev, others);
        o.offered = true;
        if (decided) continue;
        if (o.kind == OrderKind::Market && !o.parent_id) continue;
        if (o.tif == TimeInForce::Ioc || o.tif == TimeInForce::Fok) {
            o.status = OrderStatus::Canceled;
            push(others, OrderActionKind::Cancel, o);
        }
    }
}

bool awaits_due_fill(const OrderRecord& o) noexcept {
    if (!o.working() || o.kind != OrderKind::Market || o.parent_id) return false;
    return o.tif != TimeInForce::AtOpen && o.tif != TimeInForce::AtClose;
}

bool market_order_due(const OrderRecord& o, std::uint64_t idx, std::int64_t timestamp, bool is_print,
                      bool next_bar_open, std::int64_t latency_ns) noexcept {
    if (is_print) return o.submitted_idx <= idx && timestamp >= sat_add(o.submitted_ts, latency_ns);
    if (next_bar_open) return o.submitted_idx < idx;
    return o.submitted_idx <= idx;
}

}  // namespace tarnwick::engine
