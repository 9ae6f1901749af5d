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

// A spec of kind `tag` from what every tradable kind is given alike.
InstrumentSpec started(InstrumentSpec::Terms& t, InstrumentKindTag tag) {
    InstrumentSpec s;
    s.symbol = std::move(t.symbol);
    s.kind.tag = tag;
    s.price_increment = t.price_increment;
    s.lot_size = t.lot_size;
    s.margin_init = t.margin_init;
    s.margin_maint = t.margin_maint;
    s.maker_fee = t.maker_fee;
    s.taker_fee = t.taker_fee;
    return s;
}

// A contract's or option's multiplier and the underlying it may name.
void add_contract(InstrumentSpec& s, double multiplier, std::optional<std::string> underlying) {
    s.multiplier = multiplier;
    s.kind.underlying = std::move(underlying);
}

// A cash equity or a currency pair.
Result<InstrumentSpec, OwnError> spot(InstrumentSpec::SpotArgs& a, InstrumentKindTag tag) {
    InstrumentSpec s = started(a.terms, tag);
    s.size_increment = a.size_increment;
    return validated(std::move(s));
}

}  // namespace

Result<InstrumentSpec, OwnError> InstrumentSpec::equity(EquityArgs a) { return spot(a, InstrumentKindTag::Cash); }

Result<InstrumentSpec, OwnError> InstrumentSpec::futures_contract(FuturesArgs a) {
    InstrumentSpec s = started(a.terms, InstrumentKindTag::Contract);
    add_contract(s, a.multiplier, std::move(a.underlying));
    s.activation_ns = a.activation_ns;
    s.expiration_ns = a.expiration_ns;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::perpetual(PerpetualArgs a) {
    InstrumentSpec s = started(a.terms, InstrumentKindTag::Contract);
    add_contract(s, a.multiplier, std::move(a.underlying));
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
    InstrumentSpec s = started(a.terms, InstrumentKindTag::Option);
    add_contract(s, a.multiplier, std::move(a.underlying));
    s.kind.strike = a.strike;
    s.kind.right = *right;
    s.kind.binary = a.binary;
    s.activation_ns = a.activation_ns;
    s.expiration_ns = a.expiration_ns;
    s.span_pct = a.span_pct;
    s.exposure_pct = a.exposure_pct;
    return validated(std::move(s));
}

Result<InstrumentSpec, OwnError> InstrumentSpec::currency_pair(CurrencyPairArgs a) {
    return spot(a, InstrumentKindTag::CurrencyPair);
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
