// An order inside the kernel from submission to a final status, and the decisions the
// working-order walk hands back to the kernel to carry out.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "domain/order_report.h"
#include "engine/orders/order_request.h"

namespace tarnwick::engine {

// Codes below Filled are working; the others are final and never change again.
enum class OrderStatus : std::uint8_t {
    Submitted = 0,
    Accepted = 1,
    Triggered = 2,
    PartiallyFilled = 3,
    Filled = 4,
    Canceled = 5,
    Expired = 6,
    Rejected = 7,
};
std::string_view name(OrderStatus status) noexcept;  // "submitted", ..., "partially_filled", ...
inline bool is_working(OrderStatus s) noexcept { return static_cast<std::uint8_t>(s) < 4; }

struct OrderRecord {
    std::uint64_t id = 0;  // equals the record's position in the kernel's order list
    std::string client_id;
    OrderSide side = OrderSide::Buy;
    OrderKind kind = OrderKind::Market;
    OrderPrices prices;
    TimeInForce tif = TimeInForce::Gtc;
    std::int64_t expire_ns = 0;  // "gtd" only
    SizeMode size_mode = SizeMode::None;
    double size_value = 0.0;  // units or capital fraction, as the size mode says
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::optional<std::uint64_t> parent_id;
    std::optional<std::uint64_t> oco_group;
    std::optional<std::uint64_t> algo_id;  // the TWAP schedule that sent this slice
    // Trailing kinds: the extreme price seen since the order was first walked, and the
    // limit price fixed when a trailing stop-limit triggers.
    std::optional<double> trail_extreme;
    std::optional<double> trail_limit;
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;  // nanoseconds since the Unix epoch
    double filled_qty = 0.0;        // units filled so far
    // Whether the walk has offered the order an event it could trade on: post-only and
    // the activation gate apply to the first one.
    bool offered = false;
    bool post_only = false;
    bool reduce_only = false;
    OrderStatus status = OrderStatus::Submitted;

    bool working() const noexcept { return is_working(status); }
    int direction() const noexcept { return direction_of(side); }
    bool sized_in_units() const noexcept { return size_mode == SizeMode::Units; }
    std::optional<double> requested_units() const noexcept {
        if (size_mode == SizeMode::Units) return size_value;
        return std::nullopt;
    }
};

// The reported form of a record at this moment, with the kernel's symbol. Fill history
// (average price, last fill, slices) and the reject reason start empty: whoever watches
// the order's events fills them in.
domain::Order report_order(const OrderRecord& record, std::string_view symbol);

// One decision of the working-order walk.
enum class OrderActionKind : std::uint8_t { Fill = 0, Trigger = 1, Expire = 2, Cancel = 3, Reject = 4 };

struct OrderAction {
    OrderActionKind kind = OrderActionKind::Fill;
    std::uint64_t order_id = 0;
    // Fill: the decided price; NaN takes the event's reference price for the order.
    double price = std::numeric_limits<double>::quiet_NaN();
    std::string_view reason;  // Reject: a static reject reason text
    // Fill of a limit kind: the price its slippage may not pass (a buy's highest, a
    // sell's lowest); NaN for every other fill.
    double cap = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace tarnwick::engine
