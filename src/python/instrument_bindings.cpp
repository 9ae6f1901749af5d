// InstrumentSpec: instrument market definitions, built only through their six validated
// static constructors.
#include "domain/instrument_spec.h"

#include <optional>
#include <string>
#include <tuple>
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

// Each constructor's parameters are the fields of its argument record, in order; the
// record is taken whole.
struct EquityParams : Spec::EquityArgs {
    using A = Spec::EquityArgs;
    static constexpr auto members = std::tuple{&A::symbol,      &A::price_increment, &A::lot_size,  &A::size_increment,
                                               &A::margin_init, &A::margin_maint,    &A::maker_fee, &A::taker_fee};
};
struct FuturesParams : Spec::FuturesArgs {
    using A = Spec::FuturesArgs;
    static constexpr auto members =
        std::tuple{&A::symbol,        &A::expiration_ns, &A::lot_size,    &A::multiplier,
                   &A::price_increment, &A::underlying, &A::activation_ns, &A::margin_init,
                   &A::margin_maint,  &A::maker_fee,    &A::taker_fee};
};
struct PerpetualParams : Spec::PerpetualArgs {
    using A = Spec::PerpetualArgs;
    static constexpr auto members =
        std::tuple{&A::symbol,     &A::lot_size,    &A::multiplier,   &A::price_increment, &A::size_increment,
                   &A::underlying, &A::margin_init, &A::margin_maint, &A::maker_fee,       &A::taker_fee};
};
struct OptionParams : Spec::OptionArgs {
    using A = Spec::OptionArgs;
    static constexpr auto members =
        std::tuple{&A::symbol,      &A::strike,          &A::right,      &A::expiration_ns, &A::lot_size,
                   &A::multiplier,  &A::price_increment, &A::underlying, &A::binary,        &A::activation_ns,
                   &A::margin_init, &A::margin_maint,    &A::maker_fee,  &A::taker_fee,     &A::span_pct,
                   &A::exposure_pct};
};
struct CurrencyPairParams : Spec::CurrencyPairArgs {
    using A = Spec::CurrencyPairArgs;
    static constexpr auto members = std::tuple{&A::symbol,      &A::price_increment, &A::size_increment, &A::lot_size,
                                               &A::margin_init, &A::margin_maint,    &A::maker_fee,      &A::taker_fee};
};

Spec equity(EquityParams p) { return unwrap(Spec::equity(std::move(p))); }
Spec futures_contract(FuturesParams p) { return unwrap(Spec::futures_contract(std::move(p))); }
Spec perpetual(PerpetualParams p) { return unwrap(Spec::perpetual(std::move(p))); }
Spec option(OptionParams p) { return unwrap(Spec::option(std::move(p))); }
Spec currency_pair(CurrencyPairParams p) { return unwrap(Spec::currency_pair(std::move(p))); }
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
std::string kind_of(const Spec& s) { return std::string(name(s.kind.tag)); }
std::optional<double> strike_of(const Spec& s) { return s.strike(); }
std::optional<std::string> right_of(const Spec& s) {
    if (!s.right()) return std::nullopt;
    return std::string(name(*s.right()));
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
