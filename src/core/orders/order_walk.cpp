#include "core/orders/order_walk.h"

#include <algorithm>
#include <cmath>

#include "core/saturate.h"

namespace tarnwick {

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

// A limit order at `limit`: refused when post-only and marketable at the open of the
// first event after submission, else filled once the event reaches the limit.
bool limit_rule(OrderRecord& o, double limit, const WalkEvent& ev, bool post_only_test,
                std::vector<OrderAction>& out) {
    const bool buy = o.side == OrderSide::Buy;
    const OhlcvBar& b = ev.bar;
    if (post_only_test && o.post_only && o.submitted_idx + 1 == ev.idx) {
        const bool marketable = buy ? limit >= b.open : b.open >= limit;
        if (marketable) {
            o.status = OrderStatus::Rejected;
            push(out, OrderActionKind::Reject, o, std::numeric_limits<double>::quiet_NaN(), "post_only");
            return true;
        }
    }
    const bool reached = buy ? b.low <= limit : b.high >= limit;
    if (!reached) return false;
    const double s = ev.limit_slippage;
    return fill_at(out, o, buy ? limit + limit * s : limit - limit * s);
}

// A stop at `trigger_price`: buys fire on the high, sells on the low, filling at the
// worse of the open and the stop.
bool stop_rule(OrderRecord& o, double stop, const OhlcvBar& b, std::vector<OrderAction>& out) {
    const bool buy = o.side == OrderSide::Buy;
    if (!(buy ? b.high >= stop : b.low <= stop)) return false;
    if (!is_tradable_price(b.open)) return fill_at(out, o, stop);
    return fill_at(out, o, buy ? std::max(b.open, stop) : std::min(b.open, stop));
}

bool stop_reached(const OrderRecord& o, double stop, const OhlcvBar& b) noexcept {
    return o.side == OrderSide::Buy ? b.high >= stop : b.low <= stop;
}

bool touch_reached(const OrderRecord& o, double level, const OhlcvBar& b) noexcept {
    return o.side == OrderSide::Buy ? b.low <= level : b.high >= level;
}

// Moves the trailing extreme with the event (a sell trails the highs, a buy the lows)
// and returns the stop it implies.
double trailing_stop(OrderRecord& o, const OhlcvBar& b) {
    const bool sell = o.side == OrderSide::Sell;
    const double fresh = sell ? b.high : b.low;
    if (!o.trail_extreme) {
        o.trail_extreme = fresh;
    } else if (!std::isnan(fresh)) {
        const double old = *o.trail_extreme;
        if (std::isnan(old) || (sell ? fresh > old : fresh < old)) o.trail_extreme = fresh;
    }
    const double extreme = *o.trail_extreme;
    const double d = o.prices.offset;
    const double amount = o.prices.offset_kind == OffsetKind::Bps ? d * extreme / 10000.0 : d;
    return sell ? extreme - amount : extreme + amount;
}

// The kind rules: the one place order kinds are told apart. True when something was decided.
bool decide_kind(OrderRecord& o, const WalkEvent& ev, std::vector<OrderAction>& out) {
    const OhlcvBar& b = ev.bar;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double limit = o.prices.limit_price.value_or(nan);
    const double trig = o.prices.trigger_price.value_or(nan);
    const double s = ev.limit_slippage;
    switch (o.kind) {
        case OrderKind::Market:
            if (o.tif == TimeInForce::AtOpen || o.tif == TimeInForce::AtClose) {
                if (ev.is_print) return false;
                return fill_at(out, o, o.tif == TimeInForce::AtOpen ? b.open : b.close);
            }
            if (!o.parent_id) return false;
            return fill_at(out, o, b.open);
        case OrderKind::Limit: return limit_rule(o, limit, ev, true, out);
        case OrderKind::StopMarket: return stop_rule(o, trig, b, out);
        case OrderKind::StopLimit:
            if (not_yet_triggered(o)) {
                if (!stop_reached(o, trig, b)) return false;
                trigger(o, out);
                return true;
            }
            return limit_rule(o, limit, ev, false, out);
        case OrderKind::MarketIfTouched:
            if (!touch_reached(o, trig, b)) return false;
            return fill_at(out, o, o.side == OrderSide::Buy ? trig + trig * s : trig - trig * s);
        case OrderKind::LimitIfTouched:
            if (not_yet_triggered(o)) {
                if (!touch_reached(o, trig, b)) return false;
                trigger(o, out);
                return true;
            }
            return limit_rule(o, limit, ev, false, out);
        case OrderKind::MarketToLimit: return fill_at(out, o, b.open);
        case OrderKind::TrailingStopMarket: return stop_rule(o, trailing_stop(o, b), b, out);
        case OrderKind::TrailingStopLimit:
            if (not_yet_triggered(o)) {
                const double stop = trailing_stop(o, b);
                if (!stop_reached(o, stop, b)) return false;
                const double m = o.prices.limit_offset;
                o.trail_limit = o.side == OrderSide::Sell ? stop - m : stop + m;
                trigger(o, out);
                return true;
            }
            return limit_rule(o, o.trail_limit.value_or(b.close), ev, false, out);
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
            if (parent == OrderStatus::Canceled || parent == OrderStatus::Expired || parent == OrderStatus::Rejected) {
                o.status = OrderStatus::Canceled;
                push(others, OrderActionKind::Cancel, o);
                continue;
            }
            if (parent != OrderStatus::Filled) continue;
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

        if (decide_kind(o, ev, others)) continue;
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

}  // namespace tarnwick
