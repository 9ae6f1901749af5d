// InstrumentSpec: instrument market definitions, built only through their six validated
// static constructors.
#include "domain/instrument_spec.h"

#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/format.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
#include "python/fields.h"
#include "python/registration.h"

namespace tarnwick::python {

using domain::InstrumentSpec;

namespace {

using Spec = InstrumentSpec;

// Each constructor's parameters are the fields of its argument record, the terms every kind
// shares in their order. They are taken one by one rather than as a declared group:
// building the record in place costs nothing over the call itself.
Spec equity(std::string symbol, double price_increment, double lot_size, double size_increment, double margin_init,
            double margin_maint, double maker_fee, double taker_fee) {
    Spec::Terms terms{std::move(symbol), price_increment, lot_size, margin_init, margin_maint, maker_fee, taker_fee};
    return unwrap(Spec::equity({.terms = std::move(terms), .size_increment = size_increment}));
}

Spec futures_contract(std::string symbol, std::int64_t expiration_ns, double lot_size, double multiplier,
                      double price_increment, std::optional<std::string> underlying,
                      std::optional<std::int64_t> activation_ns, double margin_init, double margin_maint,
                      double maker_fee, double taker_fee) {
    Spec::Terms terms{std::move(symbol), price_increment, lot_size, margin_init, margin_maint, maker_fee, taker_fee};
    return unwrap(Spec::futures_contract({.terms = std::move(terms),
                                          .expiration_ns = expiration_ns,
                                          .multiplier = multiplier,
                                          .underlying = std::move(underlying),
                                          .activation_ns = activation_ns}));
}

Spec perpetual(std::string symbol, double lot_size, double multiplier, double price_increment, double size_increment,
               std::optional<std::string> underlying, double margin_init, double margin_maint, double maker_fee,
               double taker_fee) {
    Spec::Terms terms{std::move(symbol), price_increment, lot_size, margin_init, margin_maint, maker_fee, taker_fee};
    return unwrap(Spec::perpetual({.terms = std::move(terms),
                                   .multiplier = multiplier,
                                   .size_increment = size_increment,
                                   .underlying = std::move(underlying)}));
}

Spec option(std::string symbol, double strike, std::string right, std::int64_t expiration_ns, double lot_size,
            double multiplier, double price_increment, std::optional<std::string> underlying, bool binary,
            std::optional<std::int64_t> activation_ns, double margin_init, double margin_maint, double maker_fee,
            double taker_fee, double span_pct, double exposure_pct) {
    Spec::Terms terms{std::move(symbol), price_increment, lot_size, margin_init, margin_maint, maker_fee, taker_fee};
    return unwrap(Spec::option({.terms = std::move(terms),
                                .strike = strike,
                                .right = std::move(right),
                                .expiration_ns = expiration_ns,
                                .multiplier = multiplier,
                                .underlying = std::move(underlying),
                                .binary = binary,
                                .activation_ns = activation_ns,
                                .span_pct = span_pct,
                                .exposure_pct = exposure_pct}));
}

Spec currency_pair(std::string symbol, double price_increment, double size_increment, double lot_size,
                   double margin_init, double margin_maint, double maker_fee, double taker_fee) {
    Spec::Terms terms{std::move(symbol), price_increment, lot_size, margin_init, margin_maint, maker_fee, taker_fee};
    return unwrap(Spec::currency_pair({.terms = std::move(terms), .size_increment = size_increment}));
}

Spec reference_index(std::string symbol, double price_increment) {
    return unwrap(Spec::index(std::move(symbol), price_increment));
}

constexpr Returns kSpec{"InstrumentSpec"};

constexpr auto kEquity = static_method<equity>(
    "InstrumentSpec.equity", {"symbol", {"price_increment", 0.0}, {"lot_size", 1.0}, {"size_increment", 0.0},
                              {"margin_init", 0.0}, {"margin_maint", 0.0}, {"maker_fee", 0.0}, {"taker_fee", 0.0}},
    kSpec, "A cash equity / spot instrument.");
constexpr auto kFutures = static_method<futures_contract>(
    "InstrumentSpec.futures_contract", {"symbol", "expiration_ns", "lot_size", {"multiplier", 1.0},
                                        {"price_increment", 0.0}, {"underlying", None}, {"activation_ns", None},
                                        {"margin_init", 0.0}, {"margin_maint", 0.0}, {"maker_fee", 0.0},
                                        {"taker_fee", 0.0}},
    kSpec, "A dated futures contract.");
constexpr auto kPerpetual = static_method<perpetual>(
    "InstrumentSpec.perpetual", {"symbol", {"lot_size", 1.0}, {"multiplier", 1.0}, {"price_increment", 0.0},
                                 {"size_increment", 0.0}, {"underlying", None}, {"margin_init", 0.0},
                                 {"margin_maint", 0.0}, {"maker_fee", 0.0}, {"taker_fee", 0.0}},
    kSpec, "A perpetual contract (dated future without expiry).");
constexpr auto kOption = static_method<option>(
    "InstrumentSpec.option", {"symbol", "strike", "right", "expiration_ns", "lot_size", {"multiplier", 1.0},
                              {"price_increment", 0.0}, {"underlying", None}, {"binary", false},
                              {"activation_ns", None}, {"margin_init", 0.0}, {"margin_maint", 0.0},
                              {"maker_fee", 0.0}, {"taker_fee", 0.0}, {"span_pct", 0.0}, {"exposure_pct", 0.0}},
    kSpec,
    "A vanilla or binary option contract.\n\n"
    "`span_pct` and `exposure_pct` model the deposit an exchange blocks against a SOLD option, each as a fraction of "
    "the underlying notional at the strike. Both default to `0.0`, which leaves a short option funded at its premium "
    "as in earlier releases. Bought options are unaffected: a buyer can lose only the premium.");
constexpr auto kCurrency = static_method<currency_pair>(
    "InstrumentSpec.currency_pair", {"symbol", {"price_increment", 0.0}, {"size_increment", 0.0},
                                     {"lot_size", 1.0}, {"margin_init", 0.0}, {"margin_maint", 0.0},
                                     {"maker_fee", 0.0}, {"taker_fee", 0.0}},
    kSpec, "A spot currency pair.");
constexpr auto kIndex = static_method<reference_index>("InstrumentSpec.index", {"symbol", {"price_increment", 0.0}}, kSpec,
                                             "A non-tradable reference index.");

PyMethodDef kMethods[] = {
    fast_method<kEquity>(), fast_method<kFutures>(),  fast_method<kPerpetual>(),
    fast_method<kOption>(), fast_method<kCurrency>(), fast_method<kIndex>(),
    kMethodEnd,
};

// Read-only derived values.
std::string_view kind_of(const Spec& s) { return name(s.kind.tag); }
std::optional<double> strike_of(const Spec& s) { return s.strike(); }
std::optional<std::string_view> right_of(const Spec& s) {
    if (!s.right()) return std::nullopt;
    return name(*s.right());
}
std::optional<std::string> underlying_of(const Spec& s) { return s.underlying(); }
bool tradable_of(const Spec& s) { return s.tradable(); }

PyGetSetDef kGetSet[] = {
    read_only<&Spec::symbol>("symbol"),
    getter<kind_of>("kind", "Instrument family: \"cash\", \"currency_pair\", \"contract\", \"option\" or \"index\"."),
    read_write<&Spec::settlement_fee>("settlement_fee", "Fee fraction charged on settlement at expiry."),
    read_only<&Spec::price_increment>("price_increment"),
    read_only<&Spec::size_increment>("size_increment"),
    read_only<&Spec::lot_size>("lot_size"),
    read_only<&Spec::multiplier>("multiplier"),
    read_only<&Spec::margin_init>("margin_init"),
    read_only<&Spec::span_pct>("span_pct", "SPAN-style deposit fraction for a sold option (0.0 = not modelled)."),
    read_only<&Spec::exposure_pct>("exposure_pct", "Exposure margin fraction for a sold option (0.0 = not modelled)."),
    read_only<&Spec::margin_maint>("margin_maint"),
    read_only<&Spec::maker_fee>("maker_fee"),
    read_only<&Spec::taker_fee>("taker_fee"),
    read_only<&Spec::activation_ns>("activation_ns"),
    read_write<&Spec::expiration_ns>("expiration_ns"),
    getter<strike_of>("strike", "Option strike, or None for non-options."),
    getter<right_of>("right", "Option right, \"call\" or \"put\", for options, None otherwise."),
    getter<underlying_of>("underlying", "Underlying symbol for derivatives, None otherwise."),
    getter<tradable_of>("tradable", "Whether orders may be placed on this instrument."),
    kGetSetEnd,
};

PyObject* spec_repr(PyObject* self) {
    return read<Spec>(self, [](const Spec& s) {
        return to_py(base::fmt::format("InstrumentSpec(symbol={}, kind={}, lot_size={}, multiplier={})", s.symbol,
                                       name(s.kind.tag), s.lot_size, s.multiplier))
            .release();
    });
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed instrument market definition.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<Spec>)},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<spec_repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

}  // namespace

PyTypeObject* instrument_spec_type() { return record_type<Spec>("builtins.InstrumentSpec", kSlots); }

Registrations instrument_spec_rows() {
    static constexpr Registration rows[] = {class_row<domain::InstrumentSpec>()};
    return rows;
}

}  // namespace tarnwick::python
