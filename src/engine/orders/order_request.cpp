#include "engine/orders/order_request.h"

#include <array>
#include <cmath>

#include "base/format.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;

namespace {

constexpr std::array<std::string_view, 2> kSideNames = {"buy", "sell"};
constexpr std::array<std::string_view, 9> kKindNames = {
    "market",           "limit",           "stop_market",          "stop_limit",          "market_if_touched",
    "limit_if_touched", "market_to_limit", "trailing_stop_market", "trailing_stop_limit",
};
constexpr std::array<std::string_view, 7> kTifNames = {"gtc", "day", "gtd", "ioc", "fok", "at_open", "at_close"};

template <class E, std::size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& names, std::string_view text) {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

OwnError error(std::string text) { return OwnError{std::move(text)}; }

}  // namespace

std::string_view name(OrderSide side) noexcept { return kSideNames[static_cast<std::size_t>(side) & 1u]; }

Result<OrderSide, OwnError> parse_order_side(std::string_view text) {
    if (auto s = lookup<OrderSide>(kSideNames, text)) return *s;
    return err(error(base::fmt::format("unknown side {}", base::fmt::quoted(text))));
}

std::string_view name(OrderKind kind) noexcept {
    const auto i = static_cast<std::size_t>(kind);
    return i < kKindNames.size() ? kKindNames[i] : kKindNames[0];
}

Result<OrderKind, OwnError> parse_order_kind(std::string_view text) {
    if (auto k = lookup<OrderKind>(kKindNames, text)) return *k;
    return err(error(base::fmt::format("unknown order kind {}", base::fmt::quoted(text))));
}

bool has_limit_price(OrderKind kind) noexcept {
    return kind == OrderKind::Limit || kind == OrderKind::StopLimit || kind == OrderKind::LimitIfTouched;
}

bool has_trigger_price(OrderKind kind) noexcept {
    return kind == OrderKind::StopMarket || kind == OrderKind::StopLimit || kind == OrderKind::MarketIfTouched ||
           kind == OrderKind::LimitIfTouched;
}

std::string_view name(TimeInForce tif) noexcept {
    const auto i = static_cast<std::size_t>(tif);
    return i < kTifNames.size() ? kTifNames[i] : kTifNames[0];
}

Result<TimeInForce, OwnError> parse_tif(std::string_view text) {
    if (auto t = lookup<TimeInForce>(kTifNames, text)) return *t;
    return err(error(base::fmt::format("unknown tif {}", base::fmt::quoted(text))));
}

std::string_view name(OffsetKind kind) noexcept { return kind == OffsetKind::Bps ? "bps" : "price"; }

Status<OwnError> check_order_size(std::optional<double> units, std::optional<double> size_frac) {
    if (units && size_frac) return err(error("pass units or size_frac, not both"));
    if (units) {
        if (!(*units > 0.0)) return err(error("units must be > 0"));
        if (!std::isfinite(*units)) return err(error("units must be finite"));
    } else if (size_frac) {
        if (!(*size_frac > 0.0 && *size_frac <= 1.0)) return err(error("size_frac must be in (0, 1]"));
    }
    return Unit{};
}

Status<OwnError> check_order_price(std::optional<double> price, std::string_view what) {
    if (price && !(std::isfinite(*price) && *price > 0.0)) {
        return err(error(base::fmt::format("{} must be finite and > 0", what)));
    }
    return Unit{};
}

Result<std::pair<OffsetKind, double>, OwnError> parse_offset(std::optional<double> offset,
                                                             std::string_view offset_kind,
                                                             std::string_view kind_text, double price_increment) {
    if (!offset) return err(error(base::fmt::format("{} needs offset", kind_text)));
    if (!(*offset > 0.0)) return err(error("offset must be > 0"));
    if (!std::isfinite(*offset)) return err(error("offset must be finite"));
    if (offset_kind == "bps") return std::pair{OffsetKind::Bps, *offset};
    if (offset_kind == "price") return std::pair{OffsetKind::Price, *offset};
    if (offset_kind == "ticks") {
        if (!(price_increment > 0.0)) {
            return err(error("offset_kind='ticks' needs an instrument with price_increment"));
        }
        return std::pair{OffsetKind::Price, price_increment * *offset};
    }
    return err(error(
        base::fmt::format("offset_kind must be 'price', 'bps', or 'ticks', got {}", base::fmt::quoted(offset_kind))));
}

Result<OrderRequest, OwnError> parse_order_request(const OrderRequestArgs& a, double price_increment) {
    OrderRequest r;
    auto side = parse_order_side(a.side);
    if (!side) return err(side.error());
    r.side = *side;

    if (auto size = check_order_size(a.units, a.size_frac); !size) return err(size.error());
    if (a.units) {
        r.size_mode = SizeMode::Units;
        r.size_value = *a.units;
    } else if (a.size_frac) {
        r.size_mode = SizeMode::SizeFrac;
        r.size_value = *a.size_frac;
    }

    auto kind = parse_order_kind(a.kind);
    if (!kind) return err(kind.error());
    r.kind = *kind;
    if (has_trigger_price(r.kind)) {
        if (!a.trigger_price) return err(error(base::fmt::format("{} needs trigger_price", a.kind)));
        if (auto ok = check_order_price(a.trigger_price, "trigger_price"); !ok) return err(ok.error());
        r.prices.trigger_price = a.trigger_price;
    }
    if (has_limit_price(r.kind)) {
        if (!a.limit_price) return err(error(base::fmt::format("{} needs limit_price", a.kind)));
        if (auto ok = check_order_price(a.limit_price, "limit_price"); !ok) return err(ok.error());
        r.prices.limit_price = a.limit_price;
    }
    if (r.kind == OrderKind::TrailingStopMarket || r.kind == OrderKind::TrailingStopLimit) {
        auto off = parse_offset(a.offset, a.offset_kind, a.kind, price_increment);
        if (!off) return err(off.error());
        r.prices.offset_kind = off->first;
        r.prices.offset = off->second;
        if (r.kind == OrderKind::TrailingStopLimit) {
            // A non-finite distance would leave a limit price no event can ever reach.
            if (!std::isfinite(a.limit_offset)) return err(error("limit_offset must be finite"));
            r.prices.limit_offset = a.limit_offset;
        }
    }

    auto tif = parse_tif(a.tif);
    if (!tif) return err(tif.error());
    r.tif = *tif;
    if (r.tif == TimeInForce::Gtd) {
        if (!a.expire_ns) return err(error("gtd orders need expire_ns"));
        r.expire_ns = *a.expire_ns;
    }
    if ((r.tif == TimeInForce::AtOpen || r.tif == TimeInForce::AtClose) && r.kind != OrderKind::Market) {
        return err(error("at_open/at_close apply to market orders"));
    }
    if (a.post_only && r.kind != OrderKind::Limit) return err(error("post_only applies to limit orders"));
    if (auto ok = check_order_price(a.stop_price, "stop_price"); !ok) return err(ok.error());
    if (auto ok = check_order_price(a.target_price, "target_price"); !ok) return err(ok.error());

    r.submitted_idx = a.submitted_idx;
    r.submitted_ts = a.submitted_ts;
    r.client_id = std::string(a.client_id);
    r.stop_price = a.stop_price;
    r.target_price = a.target_price;
    r.post_only = a.post_only;
    r.reduce_only = a.reduce_only;
    r.parent_id = a.parent_id;
    return r;
}

}  // namespace tarnwick::engine
