// A typed order as the kernel accepts it, and the parsing that turns the caller's text and
// numbers into one. Nothing reaches a kernel unless every check here passes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::engine {

enum class OrderSide : std::uint8_t { Buy = 0, Sell = 1 };
std::string_view name(OrderSide side) noexcept;  // "buy" / "sell"
// Exact, case-sensitive; "unknown side {}" with the text quoted.
base::Result<OrderSide, base::OwnError> parse_order_side(std::string_view text);
inline int direction_of(OrderSide side) noexcept { return side == OrderSide::Buy ? 1 : -1; }

enum class OrderKind : std::uint8_t {
    Market = 0,
    Limit = 1,
    StopMarket = 2,
    StopLimit = 3,
    MarketIfTouched = 4,
    LimitIfTouched = 5,
    MarketToLimit = 6,
    TrailingStopMarket = 7,
    TrailingStopLimit = 8,
};
std::string_view name(OrderKind kind) noexcept;  // "market", "limit", "stop_market", ...
// Exact; "unknown order kind {}" with the text quoted.
base::Result<OrderKind, base::OwnError> parse_order_kind(std::string_view text);
// The kinds that carry a limit price / a trigger price of their own.
bool has_limit_price(OrderKind kind) noexcept;
bool has_trigger_price(OrderKind kind) noexcept;

enum class TimeInForce : std::uint8_t { Gtc = 0, Day = 1, Gtd = 2, Ioc = 3, Fok = 4, AtOpen = 5, AtClose = 6 };
std::string_view name(TimeInForce tif) noexcept;  // "gtc", "day", ...
// Exact; "unknown tif {}" with the text quoted.
base::Result<TimeInForce, base::OwnError> parse_tif(std::string_view text);

// Unit of a trailing offset: an absolute price distance, or basis points of the trailing
// extreme. Offsets given in ticks become price distances when parsed.
enum class OffsetKind : std::uint8_t { Price = 0, Bps = 1 };
std::string_view name(OffsetKind kind) noexcept;

// How an order is sized: a number of units, a fraction of the available capital, or
// nothing at all (a closing-side order for the whole position).
enum class SizeMode : std::uint8_t { Units = 0, SizeFrac = 1, None = 2 };

// The prices an order kind carries; a price the kind does not use stays absent.
struct OrderPrices {
    std::optional<double> limit_price;
    std::optional<double> trigger_price;
    OffsetKind offset_kind = OffsetKind::Price;  // trailing kinds only
    double offset = 0.0;                         // trailing kinds only, above 0
    double limit_offset = 0.0;                   // trailing stop-limit only
};

struct OrderRequest {
    OrderSide side = OrderSide::Buy;
    SizeMode size_mode = SizeMode::None;
    double size_value = 0.0;  // units, or the capital fraction in (0, 1]
    OrderKind kind = OrderKind::Market;
    OrderPrices prices;
    TimeInForce tif = TimeInForce::Gtc;
    std::int64_t expire_ns = 0;  // "gtd" only; nanoseconds since the Unix epoch
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;  // nanoseconds since the Unix epoch
    std::string client_id;
    std::optional<double> stop_price;    // levels for the position the order opens
    std::optional<double> target_price;
    bool post_only = false;
    bool reduce_only = false;
    std::optional<std::uint64_t> parent_id;  // the order waits until this one has filled
};

// The raw values of a submission, as the caller extracted them.
struct OrderRequestArgs {
    std::string_view side;
    std::string_view kind;
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;
    std::string_view client_id;
    std::optional<double> units;
    std::optional<double> size_frac;
    std::optional<double> limit_price;
    std::optional<double> trigger_price;
    std::string_view tif = "gtc";
    std::optional<std::int64_t> expire_ns;
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::optional<double> offset;
    std::string_view offset_kind = "price";
    double limit_offset = 0.0;
    bool post_only = false;
    bool reduce_only = false;
    std::optional<std::uint64_t> parent_id;
};

// Validates in a fixed order and stops at the first failure: side, size, kind and the
// prices it needs, time in force, post-only. `price_increment` is the instrument's (0.0
// without one) and converts tick offsets. Sizes and prices that are NaN, infinite or not
// above zero are refused here, so no later arithmetic can turn them into NaN quantities.
base::Result<OrderRequest, base::OwnError> parse_order_request(const OrderRequestArgs& args, double price_increment);

// The unit and value of a trailing offset; `kind_text` names the order kind in messages.
base::Result<std::pair<OffsetKind, double>, base::OwnError> parse_offset(std::optional<double> offset,
                                                                         std::string_view offset_kind,
                                                                         std::string_view kind_text,
                                                                         double price_increment);

// The size checks shared by submission and modification: not both, units finite and
// above 0, a fraction in (0, 1].
base::Status<base::OwnError> check_order_size(std::optional<double> units, std::optional<double> size_frac);
// A price an order rests on must be a finite number above 0; `what` names it.
base::Status<base::OwnError> check_order_price(std::optional<double> price, std::string_view what);

}  // namespace tarnwick::engine
