#include "domain/instrument_spec.h"

#include <cmath>
#include <string>

#include "base/text.h"

namespace tarnwick::domain {

using base::OwnError;
using base::Result;
using base::ascii_lower;
using base::err;

std::string_view name(OptionRight right) noexcept {
    switch (right) {
        case OptionRight::Call: return "call";
        case OptionRight::Put: return "put";
    }
    return "call";
}

Result<OptionRight, OwnError> parse_option_right(std::string_view text) {
    const std::string lower = ascii_lower(text);
    if (lower == "c" || lower == "ce" || lower == "call") return OptionRight::Call;
    if (lower == "p" || lower == "pe" || lower == "put") return OptionRight::Put;
    return err(OwnError{"right must be 'call' or 'put', got " + lower});
}

std::string_view name(InstrumentKindTag tag) noexcept {
    switch (tag) {
        case InstrumentKindTag::Cash: return "cash";
        case InstrumentKindTag::CurrencyPair: return "currency_pair";
        case InstrumentKindTag::Contract: return "contract";
        case InstrumentKindTag::Option: return "option";
        case InstrumentKindTag::Index: return "index";
    }
    return "cash";
}

std::string_view variant_name(InstrumentKindTag tag) noexcept {
    switch (tag) {
        case InstrumentKindTag::Cash: return "Cash";
        case InstrumentKindTag::CurrencyPair: return "CurrencyPair";
        case InstrumentKindTag::Contract: return "Contract";
        case InstrumentKindTag::Option: return "Option";
        case InstrumentKindTag::Index: return "Index";
    }
    return "Cash";
}

namespace {

// The checks every constructor but `index` shares, in their fixed order.
Result<InstrumentSpec, OwnError> validated(InstrumentSpec s) {
    if (s.price_increment < 0.0 || s.size_increment < 0.0 || s.lot_size < 0.0) {
        return err(OwnError{"increments and lot_size must be >= 0"});
    }
    if (s.multiplier <= 0.0) return err(OwnError{"multiplier must be > 0"});
    if (s.activation_ns && s.expiration_ns && *s.expiration_ns <= *s.activation_ns) {
        return err(OwnError{"expiration_ns must be after activation_ns"});
    }
    if (!(s.lot_size > 0.0)) s.lot_size = 1.0;
    return s;
}

// What every tradable kind's arguments carry alike: the symbol, the margins and the fees.
template <class Args>
InstrumentSpec started(Args& a, InstrumentKindTag tag) {
    InstrumentSpec s;
    s.symbol = std::move(a.symbol);
    s.kind.tag = tag;
    s.margin_init = a.margin_init;
    s.margin_maint = a.margin_maint;
    s.maker_fee = a.maker_fee;
    s.taker_fee = a.taker_fee;
    return s;
}

}  // namespace

Result<InstrumentSpec, OwnError> InstrumentSpec::equity(EquityArgs a) {
    InstrumentSpec s = started(a, InstrumentKindTag::Cash);
    s.price_increment = a.price_increment;
    s.size_increment = a.size_increment;
    s.lot_size = a.lot_size;
    s.multiplier = 1.0;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::futures_contract(FuturesArgs a) {
    InstrumentSpec s = started(a, InstrumentKindTag::Contract);
    s.kind.underlying = std::move(a.underlying);
    s.activation_ns = a.activation_ns;
    s.expiration_ns = a.expiration_ns;
    s.lot_size = a.lot_size;
    s.multiplier = a.multiplier;
    s.price_increment = a.price_increment;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::perpetual(PerpetualArgs a) {
    InstrumentSpec s = started(a, InstrumentKindTag::Contract);
    s.kind.underlying = std::move(a.underlying);
    s.lot_size = a.lot_size;
    s.multiplier = a.multiplier;
    s.price_increment = a.price_increment;
    s.size_increment = a.size_increment;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::option(OptionArgs a) {
    if (a.span_pct < 0.0 || a.exposure_pct < 0.0) {
        return err(OwnError{"span_pct and exposure_pct must be >= 0"});
    }
    auto right = parse_option_right(a.right);
    if (!right) return err(right.error());
    if (a.strike <= 0.0) return err(OwnError{"strike must be > 0"});
    InstrumentSpec s = started(a, InstrumentKindTag::Option);
    s.kind.strike = a.strike;
    s.kind.right = *right;
    s.kind.underlying = std::move(a.underlying);
    s.kind.binary = a.binary;
    s.activation_ns = a.activation_ns;
    s.expiration_ns = a.expiration_ns;
    s.lot_size = a.lot_size;
    s.multiplier = a.multiplier;
    s.price_increment = a.price_increment;
    s.span_pct = a.span_pct;
    s.exposure_pct = a.exposure_pct;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::currency_pair(CurrencyPairArgs a) {
    InstrumentSpec s = started(a, InstrumentKindTag::CurrencyPair);
    s.price_increment = a.price_increment;
    s.size_increment = a.size_increment;
    s.lot_size = a.lot_size;
    s.multiplier = 1.0;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::index(std::string symbol, double price_increment) {
    if (price_increment < 0.0) return err(OwnError{"price_increment must be >= 0"});
    InstrumentSpec s;
    s.symbol = std::move(symbol);
    s.kind.tag = InstrumentKindTag::Index;
    s.price_increment = price_increment;
    return s;
}

namespace {

// The tolerant nearest multiple of `q` (a value already divided by the increment), or
// nothing when `q` is not within a relative 1e-9 of a whole number.
std::optional<double> near_whole(double q) noexcept {
    const double r = std::round(q);  // halves away from zero
    if (std::fabs(q - r) < std::fmax(std::fabs(r), 1.0) * 1e-9) return r;
    return std::nullopt;
}

}  // namespace

double snap_size_to_increment(double quantity, double increment) noexcept {
    if (!(increment > 0.0)) return quantity;
    const double q = quantity / increment;
    const double multiple = near_whole(q).value_or(std::floor(q));
    return multiple * increment;
}

double snap_price_to_increment(double price, double increment, int direction) noexcept {
    if (!(increment > 0.0)) return price;
    const double q = price / increment;
    const double multiple = near_whole(q).value_or(direction >= 0 ? std::floor(q) : std::ceil(q));
    return multiple * increment;
}

}  // namespace tarnwick::domain
