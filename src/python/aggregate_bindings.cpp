// Bar aggregation in Python: the streaming BarAggregator class and the whole-array
// functions aggregate_bars and bars_from_ticks.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "data/aggregate/bar_aggregation.h"
#include "data/aggregate/bar_aggregator.h"
#include "python/convert.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/registration.h"

namespace tarnwick::python {

using domain::OhlcvBar;

template <>
struct Bound<data::aggregate::BarAggregator> {
    static constexpr const char* name = "BarAggregator";
    static PyTypeObject* type();
};

namespace {

using data::aggregate::BarAggregator;

// None, or (timestamp int, open, high, low, close, volume floats).
Ref bar_to_tuple(const std::optional<OhlcvBar>& bar) {
    if (!bar) return Ref::borrow(Py_None);
    Ref t = Ref::check(PyTuple_New(6));
    PyTuple_SET_ITEM(t.get(), 0, to_py(bar->timestamp).release());
    PyTuple_SET_ITEM(t.get(), 1, to_py(bar->open).release());
    PyTuple_SET_ITEM(t.get(), 2, to_py(bar->high).release());
    PyTuple_SET_ITEM(t.get(), 3, to_py(bar->low).release());
    PyTuple_SET_ITEM(t.get(), 4, to_py(bar->close).release());
    PyTuple_SET_ITEM(t.get(), 5, to_py(bar->volume).release());
    return t;
}

// The six bar columns as new arrays in a tuple, each taking over its buffer: timestamps
// (int64), open, high, low, close, volume (float64).
Ref bars_to_arrays(data::aggregate::OhlcvColumns&& bars) {
    Ref t = Ref::check(PyTuple_New(6));
    PyTuple_SET_ITEM(t.get(), 0, from_vec(std::move(bars.timestamps)).release());
    PyTuple_SET_ITEM(t.get(), 1, from_vec(std::move(bars.open)).release());
    PyTuple_SET_ITEM(t.get(), 2, from_vec(std::move(bars.high)).release());
    PyTuple_SET_ITEM(t.get(), 3, from_vec(std::move(bars.low)).release());
    PyTuple_SET_ITEM(t.get(), 4, from_vec(std::move(bars.close)).release());
    PyTuple_SET_ITEM(t.get(), 5, from_vec(std::move(bars.volume)).release());
    return t;
}

// ---------------------------------------------------------------------------
// BarAggregator

constexpr auto kNew = constructor(
    "BarAggregator.__new__", {"step", "unit", {"tz_offset_ns", "0"}, {"brick_size", "0.0"}},
    "Streaming bar aggregator.\n\n"
    "Push source records (finer bars or trades) in ascending time order; a\n"
    "completed bar is returned as `(timestamp, open, high, low, close,\n"
    "volume)` when its boundary is crossed. Time bars are stamped with their\n"
    "window-end timestamp, so a bar labeled `t` contains only data before `t`.");

PyObject* construct(PyTypeObject*, const Args& a) {
    const auto step = a.get<std::uint32_t>(0);
    std::string unit = a.get<std::string>(1);
    const auto tz_offset_ns = a.get_or<std::int64_t>(2, 0);
    const double brick_size = a.get_or<double>(3, 0.0);
    return wrap(unwrap(BarAggregator::create(step, std::move(unit), tz_offset_ns, brick_size))).release();
}

constexpr auto kPushBar = method("BarAggregator.push_bar", {"timestamp", "open", "high", "low", "close", "volume"},
                                 "Push one bar; returns the completed coarser bar, if any.");
constexpr auto kPushTrade = method("BarAggregator.push_trade", {"timestamp", "price", "size", {"signed_size", "0.0"}},
                                   "Push one trade; returns the completed bar, if any.\n\n"
                                   "`signed_size` is buy-initiated minus sell-initiated volume, which the\n"
                                   "signed-flow units consume. `0.0` means unknown, and those units then\n"
                                   "classify direction by the tick rule.");

// The object is held before the values are converted and the builder moves only after
// all of them converted: a bad argument leaves the aggregator as it was.
PyObject* push_bar_body(PyObject* self, const Args& a) {
    auto* r = as_record<BarAggregator>(self);
    ExclusiveBorrow b(r->borrow);
    const auto timestamp = a.get<std::int64_t>(0);
    const double open = a.get<double>(1);
    const double high = a.get<double>(2);
    const double low = a.get<double>(3);
    const double close = a.get<double>(4);
    const double volume = a.get<double>(5);
    return bar_to_tuple(r->value.push_bar(timestamp, open, high, low, close, volume)).release();
}

PyObject* push_trade_body(PyObject* self, const Args& a) {
    auto* r = as_record<BarAggregator>(self);
    ExclusiveBorrow b(r->borrow);
    const auto timestamp = a.get<std::int64_t>(0);
    const double price = a.get<double>(1);
    const double size = a.get<double>(2);
    const double signed_size = a.get_or<double>(3, 0.0);
    return bar_to_tuple(r->value.push_trade(timestamp, price, size, signed_size)).release();
}

PyObject* next_pending_body(PyObject* self) {
    auto* r = as_record<BarAggregator>(self);
    ExclusiveBorrow b(r->borrow);
    return bar_to_tuple(r->value.next_pending()).release();
}

PyObject* flush_body(PyObject* self) {
    auto* r = as_record<BarAggregator>(self);
    ExclusiveBorrow b(r->borrow);
    return bar_to_tuple(r->value.flush()).release();
}

PyObject* get_step(PyObject* self, void*) {
    return read<BarAggregator>(self, [](const BarAggregator& v) {
        return to_py(v.step()).release();
    });
}

PyObject* get_unit(PyObject* self, void*) {
    return read<BarAggregator>(self, [](const BarAggregator& v) {
        return to_py(v.unit()).release();
    });
}

constexpr auto kNextPending = method("BarAggregator.next_pending",
                                     "A bar completed alongside the last push but held back.\n\n"
                                     "One large move completes several Renko bricks at once, and `push`\n"
                                     "returns only the first. Drain this after every push, or those bars\n"
                                     "are lost.");
constexpr auto kFlush = method("BarAggregator.flush", "Emit any in-progress bar at end of data.");

PyMethodDef kMethods[] = {
    fast_method<kPushBar, push_bar_body>(),
    fast_method<kPushTrade, push_trade_body>(),
    noargs<kNextPending>(plain_entry<next_pending_body>),
    noargs<kFlush>(plain_entry<flush_body>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"step", get_step, nullptr, nullptr, nullptr},
    {"unit", get_unit, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, class_doc<kNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<BarAggregator>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Whole-array functions

constexpr auto kAggregate = function(
    "aggregate_bars", {"timestamps", "open", "high", "low", "close", "volume", "step", "unit", {"tz_offset_ns", "0"},
                       {"brick_size", "0.0"}},
    "Aggregate bars into coarser bars.\n\n"
    "The final in-progress bar is included (flushed at end of data).\n"
    "Supported units: time (`\"ms\"`/`\"s\"`/`\"m\"`/`\"h\"`/`\"d\"`/`\"w\"`), `\"tick\"`,\n"
    "`\"volume\"`, `\"value\"`.\n\n"
    "A bar goes to the window that holds its timestamp, and the time bars this\n"
    "module makes are stamped at the instant that ends them. To aggregate such\n"
    "bars again, first shift their timestamps back by their own period (five\n"
    "minutes for 5-minute bars). Unshifted, each coarser bar runs one finer bar\n"
    "behind: it takes the finer bar that ends at its start and leaves out the\n"
    "one that ends at its end.");
constexpr auto kTicks = function(
    "bars_from_ticks", {"timestamps", "ltp", "buy_qty_delta", "sell_qty_delta", "step", "unit", {"tz_offset_ns", "0"},
                        {"brick_size", "0.0"}},
    "Build bars from raw tick arrays (`ltp` + buy/sell quantity deltas).\n\n"
    "Ticks with a zero last-traded price are skipped, matching the tick\n"
    "backtester's treatment of missing data.");

// The arrays are read where they lie (the interpreter lock is held for the whole call,
// and the bridge copies a strided or unaligned array) and bound before the scalars after
// them are converted.
PyObject* aggregate_bars_body(PyObject*, const Args& a) {
    const auto ts = a.get<Column<std::int64_t>>(0);
    const auto open = a.get<Column<double>>(1);
    const auto high = a.get<Column<double>>(2);
    const auto low = a.get<Column<double>>(3);
    const auto close = a.get<Column<double>>(4);
    const auto volume = a.get<Column<double>>(5);
    const auto step = a.get<std::uint32_t>(6);
    const std::string unit = a.get<std::string>(7);
    const auto tz_offset_ns = a.get_or<std::int64_t>(8, 0);
    const double brick_size = a.get_or<double>(9, 0.0);
    return bars_to_arrays(unwrap(data::aggregate::aggregate_bars(
                              {ts.span(), open.span(), high.span(), low.span(), close.span(), volume.span()},
                              {step, unit, tz_offset_ns, brick_size})))
        .release();
}

PyObject* bars_from_ticks_body(PyObject*, const Args& a) {
    const auto ts = a.get<Column<std::int64_t>>(0);
    const auto ltp = a.get<Column<double>>(1);
    const auto buy = a.get<Column<double>>(2);
    const auto sell = a.get<Column<double>>(3);
    const auto step = a.get<std::uint32_t>(4);
    const std::string unit = a.get<std::string>(5);
    const auto tz_offset_ns = a.get_or<std::int64_t>(6, 0);
    const double brick_size = a.get_or<double>(7, 0.0);
    return bars_to_arrays(unwrap(data::aggregate::bars_from_ticks({ts.span(), ltp.span(), buy.span(), sell.span()},
                                                                  {step, unit, tz_offset_ns, brick_size})))
        .release();
}

}  // namespace

PyTypeObject* Bound<data::aggregate::BarAggregator>::type() {
    return record_type<BarAggregator>("builtins.BarAggregator", kSlots);
}

Registrations bar_aggregation_rows() {
    static constexpr Registration rows[] = {
        class_row<data::aggregate::BarAggregator>(),
        function_row<kAggregate, aggregate_bars_body>(),
        function_row<kTicks, bars_from_ticks_body>(),
    };
    return rows;
}

}  // namespace tarnwick::python
