// The working-order walk: for every working order, what the current bar or trade print
// does to it. The walk only decides (and sets the statuses it owns: expired, canceled,
// triggered, rejected); the kernel carries the decisions out in order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "domain/bar.h"
#include "engine/orders/order_lifecycle.h"

namespace tarnwick::engine {

struct WalkEvent {
    std::uint64_t idx = 0;
    domain::OhlcvBar bar;  // a trade print carries its price in all four fields
    bool is_print = false;
    std::int64_t latency_ns = 0;      // order latency, never negative
    std::int64_t tz_offset_ns = 0;    // session offset that decides where a "day" ends
    double limit_slippage = 0.0;      // fraction of the fill price given up on limit and touched fills
    double tick = 0.0;                // the instrument's price increment; 0 = none
    std::optional<std::int64_t> activation_ns;  // the instrument trades from then on
};

// Walks `orders` (submission order) against the event. `snapshot` holds every order's
// status from before the walk, indexed by order id; parent links read it. Expiries go
// to `expiries`, every other decision to `others`, each in walk order.
//
// On a bar, a level (limit, touched, stop or trailing) that the bar opens through
// fills at the open, else at the level, so that no fill lies outside what the bar traded.
// A trade print fills a resting level at the level and a stop at the print. A triggered
// limit fills on its trigger event when the event trades at the limit or better after
// the trigger.
void walk_orders(std::span<OrderRecord> orders, std::span<const OrderStatus> snapshot, const WalkEvent& event,
                 std::vector<OrderAction>& expiries, std::vector<OrderAction>& others);

// Working market orders without a parent that execute when due rather than in the walk.
bool awaits_due_fill(const OrderRecord& order) noexcept;

// Whether such an order is due on this event. On a bar under next-bar-open timing it
// waits for a later bar; on a trade print for the order latency to pass; otherwise it is
// due on any event at or after its submission index.
bool market_order_due(const OrderRecord& order, std::uint64_t idx, std::int64_t timestamp, bool is_print,
                      bool next_bar_open, std::int64_t latency_ns) noexcept;

// Calendar day of a timestamp in the session's time zone (floor division).
std::int64_t session_day(std::int64_t timestamp, std::int64_t tz_offset_ns) noexcept;

}  // namespace tarnwick::engine
