// InstrumentSpec: instrument market definitions, built only through their six validated
// static constructors.
#include "domain/instrument_spec.h"

#include "base/format.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/fields.h"
#include "python/registration.h"

namespace tarnwick::python {

using base::OwnError;
using base::Result;
using domain::InstrumentSpec;

namespace {

using Spec = InstrumentSpec;

PyObject* finish(Result<Spec, OwnError>&& r) { return wrap(unwrap(std::move(r))).release(); }

constexpr auto kEquity = static_method(
    "InstrumentSpec.equity", {"symbol", {"price_increment", "0.0"}, {"lot_size", "1.0"}, {"size_increment", "0.0"},
                              {"margin_init", "0.0"}, {"margin_maint", "0.0"}, {"maker_fee", "0.0"},
                              {"taker_fee", "0.0"}}, "A cash equity / spot instrument.");
PyObject* equity(PyObject*, const Args& a) {
    Spec::EquityArgs e;
    e.symbol = a.get<std::string>(0);
    e.price_increment = a.get_or<double>(1, 0.0);
    e.lot_size = a.get_or<double>(2, 1.0);
    e.size_increment = a.get_or<double>(3, 0.0);
    e.margin_init = a.get_or<double>(4, 0.0);
    e.margin_maint = a.get_or<double>(5, 0.0);
    e.maker_fee = a.get_or<double>(6, 0.0);
    e.taker_fee = a.get_or<double>(7, 0.0);
    return finish(Spec::equity(std::move(e)));
}

constexpr auto kFutures = static_method(
    "InstrumentSpec.futures_contract", {"symbol", "expiration_ns", "lot_size", {"multiplier", "1.0"},
                                        {"price_increment", "0.0"}, {"underlying", "None"}, {"activation_ns", "None"},
                                        {"margin_init", "0.0"}, {"margin_maint", "0.0"}, {"maker_fee", "0.0"},
                                        {"taker_fee", "0.0"}}, "A dated futures contract.");
PyObject* futures_contract(PyObject*, const Args& a) {
    Spec::FuturesArgs f;
    f.symbol = a.get<std::string>(0);
    f.expiration_ns = a.get<std::int64_t>(1);
    f.lot_size = a.get<double>(2);
    f.multiplier = a.get_or<double>(3, 1.0);
    f.price_increment = a.get_or<double>(4, 0.0);
    f.underlying = a.opt<std::string>(5);
    f.activation_ns = a.opt<std::int64_t>(6);
    f.margin_init = a.get_or<double>(7, 0.0);
    f.margin_maint = a.get_or<double>(8, 0.0);
    f.maker_fee = a.get_or<double>(9, 0.0);
    f.taker_fee = a.get_or<double>(10, 0.0);
    return finish(Spec::futures_contract(std::move(f)));
}

constexpr auto kPerpetual = static_method(
    "InstrumentSpec.perpetual", {"symbol", {"lot_size", "1.0"}, {"multiplier", "1.0"}, {"price_increment", "0.0"},
                                 {"size_increment", "0.0"}, {"underlying", "None"}, {"margin_init", "0.0"},
                                 {"margin_maint", "0.0"}, {"maker_fee", "0.0"}, {"taker_fee", "0.0"}},
    "A perpetual contract (dated future without expiry).");
PyObject* perpetual(PyObject*, const Args& a) {
    Spec::PerpetualArgs p;
    p.symbol = a.get<std::string>(0);
    p.lot_size = a.get_or<double>(1, 1.0);
    p.multiplier = a.get_or<double>(2, 1.0);
    p.price_increment = a.get_or<double>(3, 0.0);
    p.size_increment = a.get_or<double>(4, 0.0);
    p.underlying = a.opt<std::string>(5);
    p.margin_init = a.get_or<double>(6, 0.0);
    p.margin_maint = a.get_or<double>(7, 0.0);
    p.maker_fee = a.get_or<double>(8, 0.0);
    p.taker_fee = a.get_or<double>(9, 0.0);
    return finish(Spec::perpetual(std::move(p)));
}

constexpr auto kOption = static_method(
    "InstrumentSpec.option", {"symbol", "strike", "right", "expiration_ns", "lot_size", {"multiplier", "1.0"},
                              {"price_increment", "0.0"}, {"underlying", "None"}, {"binary", "False"},
                              {"activation_ns", "None"}, {"margin_init", "0.0"}, {"margin_maint", "0.0"},
                              {"maker_fee", "0.0"}, {"taker_fee", "0.0"}, {"span_pct", "0.0"}, {"exposure_pct", "0.0"}},
    "A vanilla or binary option contract.\n\n"
    "`span_pct` and `exposure_pct` model the deposit an exchange blocks against a SOLD option, each as a fraction of "
    "the underlying notional at the strike. Both default to `0.0`, which leaves a short option funded at its premium "
    "as in earlier releases. Bought options are unaffected: a buyer can lose only the premium.");
PyObject* option(PyObject*, const Args& a) {
    Spec::OptionArgs o;
    o.symbol = a.get<std::string>(0);
    o.strike = a.get<double>(1);
    o.right = a.get<std::string>(2);
    o.expiration_ns = a.get<std::int64_t>(3);
    o.lot_size = a.get<double>(4);
    o.multiplier = a.get_or<double>(5, 1.0);
    o.price_increment = a.get_or<double>(6, 0.0);
    o.underlying = a.opt<std::string>(7);
    o.binary = a.get_or<bool>(8, false);
    o.activation_ns = a.opt<std::int64_t>(9);
    o.margin_init = a.get_or<double>(10, 0.0);
    o.margin_maint = a.get_or<double>(11, 0.0);
    o.maker_fee = a.get_or<double>(12, 0.0);
    o.taker_fee = a.get_or<double>(13, 0.0);
    o.span_pct = a.get_or<double>(14, 0.0);
    o.exposure_pct = a.get_or<double>(15, 0.0);
    return finish(Spec::option(std::move(o)));
}

constexpr auto kCurrency = static_method(
    "InstrumentSpec.currency_pair", {"symbol", {"price_increment", "0.0"}, {"size_increment", "0.0"},
                                     {"lot_size", "1.0"}, {"margin_init", "0.0"}, {"margin_maint", "0.0"},
                                     {"maker_fee", "0.0"}, {"taker_fee", "0.0"}}, "A spot currency pair.");
PyObject* currency_pair(PyObject*, const Args& a) {
    Spec::CurrencyPairArgs c;
    c.symbol = a.get<std::string>(0);
    c.price_increment = a.get_or<double>(1, 0.0);
    c.size_increment = a.get_or<double>(2, 0.0);
    c.lot_size = a.get_or<double>(3, 1.0);
    c.margin_init = a.get_or<double>(4, 0.0);
    c.margin_maint = a.get_or<double>(5, 0.0);
    c.maker_fee = a.get_or<double>(6, 0.0);
    c.taker_fee = a.get_or<double>(7, 0.0);
    return finish(Spec::currency_pair(std::move(c)));
}

constexpr auto kIndex = static_method("InstrumentSpec.index", {"symbol", {"price_increment", "0.0"}},
                                      "A non-tradable reference index.");
PyObject* index(PyObject*, const Args& a) {
    std::string symbol = a.get<std::string>(0);
    const double increment = a.get_or<double>(1, 0.0);
    return finish(Spec::index(std::move(symbol), increment));
}

PyMethodDef kMethods[] = {
    fast_method<kEquity, equity>(),
    fast_method<kFutures, futures_contract>(),
    fast_method<kPerpetual, perpetual>(),
    fast_method<kOption, option>(),
    fast_method<kCurrency, currency_pair>(),
    fast_method<kIndex, index>(),
    {nullptr, nullptr, 0, nullptr},
};

// Read-only derived values.
PyObject* get_kind(PyObject* self, void*) {
    return read<Spec>(self, [](const Spec& s) { return to_py(name(s.kind.tag)); });
}
PyObject* get_strike(PyObject* self, void*) {
    return read<Spec>(self, [](const Spec& s) { return to_py(s.strike()); });
}
PyObject* get_right(PyObject* self, void*) {
    return read<Spec>(self, [](const Spec& s) {
        return s.right() ? to_py(name(*s.right())) : Ref::borrow(Py_None);
    });
}
PyObject* get_underlying(PyObject* self, void*) {
    return read<Spec>(self, [](const Spec& s) { return to_py(s.underlying()); });
}
PyObject* get_tradable(PyObject* self, void*) {
    return read<Spec>(self, [](const Spec& s) { return to_py(s.tradable()); });
}

PyGetSetDef kGetSet[] = {
    read_only<&Spec::symbol>("symbol"),
    {"kind", get_kind, nullptr,
     "Instrument family: \"cash\", \"currency_pair\", \"contract\", \"option\" or \"index\".", nullptr},
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
    {"strike", get_strike, nullptr, "Option strike, or None for non-options.", nullptr},
    {"right", get_right, nullptr, "Option right, \"call\" or \"put\", for options, None otherwise.", nullptr},
    {"underlying", get_underlying, nullptr, "Underlying symbol for derivatives, None otherwise.", nullptr},
    {"tradable", get_tradable, nullptr, "Whether orders may be placed on this instrument.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
