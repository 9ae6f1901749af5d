// Bar aggregation in Python: the streaming BarAggregator class and the whole-array
// functions aggregate_bars and bars_from_ticks.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "data/aggregate/bar_aggregation.h"
#include "data/aggregate/bar_aggregator.h"
#include "python/convert.h"
#include "python/declare.h"
#include "python/fields.h"
#include "python/listing.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/registration.h"
#include "python/strategy_converters.h"

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

// `a` followed by `b`, joined at compile time.
template <std::size_t N, std::size_t M>
struct Joined {
    char text[N + M - 1];
};
template <std::size_t N, std::size_t M>
consteval Joined<N, M> join(const char (&a)[N], const char (&b)[M]) {
    Joined<N, M> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) out.text[i] = a[i];
    for (std::size_t i = 0; i < M; ++i) out.text[N - 1 + i] = b[i];
    return out;
}

// The stub's names of a bar and of a set of bar columns, each spelled once and listed with
// its definition.
constexpr char kBar[] = "_Bar";
constexpr char kBarColumns[] = "_BarArrays";
constexpr auto kBarOrNoneText = join(kBar, " | None");
constexpr Returns kBarOrNone{kBarOrNoneText.text};
constexpr Returns kBarArrays{kBarColumns};
[[maybe_unused]] const bool kAliasesListed =
    (alias(kBar, "tuple[int, float, float, float, float, float]"),
     alias(kBarColumns,
           "tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], "
           "NDArray[np.float64], NDArray[np.float64]]"),
     true);

// What every bar builder is made from, the last parameters of the aggregator's
// constructor and of both whole-array functions.
struct BarSpec {
    std::uint32_t step = 1;
    std::string unit;
    std::int64_t tz_offset_ns = 0;
    double brick_size = 0.0;

    static constexpr auto members =
        std::tuple{&BarSpec::step, &BarSpec::unit, &BarSpec::tz_offset_ns, &BarSpec::brick_size};

    data::aggregate::BuilderSpec builder() const { return {step, unit, tz_offset_ns, brick_size}; }
};

// ---------------------------------------------------------------------------
// BarAggregator

BarAggregator construct(BarSpec spec) {
    return unwrap(BarAggregator::create(spec.step, std::move(spec.unit), spec.tz_offset_ns, spec.brick_size));
}

constexpr auto kNew = constructor<construct>(
    "BarAggregator.__new__", {"step", "unit", {"tz_offset_ns", 0}, {"brick_size", 0.0}}, Returns{"BarAggregator"},
    "Streaming bar aggregator.\n\n"
    "Push source records (finer bars or trades) in ascending time order; a\n"
    "completed bar is returned as `(timestamp, open, high, low, close,\n"
    "volume)` when its boundary is crossed. Time bars are stamped with their\n"
    "window-end timestamp, so a bar labeled `t` contains only data before `t`.");

// The object is held before the values are converted and the builder moves only after
// all of them converted: a bad argument leaves the aggregator as it was.
Ref push_bar_body(Exclusive<BarAggregator>& self, std::int64_t timestamp, double open, double high, double low,
                  double close, double volume) {
    return bar_to_tuple(self->push_bar(timestamp, open, high, low, close, volume));
}

Ref push_trade_body(Exclusive<BarAggregator>& self, std::int64_t timestamp, double price, double size,
                    double signed_size) {
    return bar_to_tuple(self->push_trade(timestamp, price, size, signed_size));
}

Ref next_pending_body(Exclusive<BarAggregator>& self) { return bar_to_tuple(self->next_pending()); }

Ref flush_body(Exclusive<BarAggregator>& self) { return bar_to_tuple(self->flush()); }

constexpr auto kPushBar = method<push_bar_body>("BarAggregator.push_bar",
                                                {"timestamp", "open", "high", "low", "close", "volume"}, kBarOrNone,
                                                "Push one bar; returns the completed coarser bar, if any.");
constexpr auto kPushTrade = method<push_trade_body>(
    "BarAggregator.push_trade", {"timestamp", "price", "size", {"signed_size", 0.0}}, kBarOrNone,
    "Push one trade; returns the completed bar, if any.\n\n"
    "`signed_size` is buy-initiated minus sell-initiated volume, which the\n"
    "signed-flow units consume. `0.0` means unknown, and those units then\n"
    "classify direction by the tick rule.");
constexpr auto kNextPending = method<next_pending_body>(
    "BarAggregator.next_pending", kBarOrNone,
    "A bar completed alongside the last push but held back.\n\n"
    "One large move completes several Renko bricks at once, and `push`\n"
    "returns only the first. Drain this after every push, or those bars\n"
    "are lost.");
constexpr auto kFlush = method<flush_body>("BarAggregator.flush", kBarOrNone, "Emit any in-progress bar at end of data.");

std::uint32_t step_of(const BarAggregator& v) { return v.step(); }
const std::string& unit_of(const BarAggregator& v) { return v.unit(); }

PyMethodDef kMethods[] = {
    fast_method<kPushBar>(), fast_method<kPushTrade>(), noargs<kNextPending>(), noargs<kFlush>(), kMethodEnd,
};

PyGetSetDef kGetSet[] = {
    getter<step_of>("step"),
    getter<unit_of>("unit"),
    kGetSetEnd,
};

PyType_Slot kSlots[] = {
    doc_slot<kNew>(),
    new_slot<kNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<BarAggregator>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Whole-array functions
//
// The arrays are read where they lie: the interpreter lock is held for the whole call, and
// the bridge copies a strided or unaligned array.

Ref aggregate_bars_body(const BarColumns& bars, const BarSpec& spec) {
    return bars_to_arrays(unwrap(data::aggregate::aggregate_bars(
        {bars.timestamps.span(), bars.open.span(), bars.high.span(), bars.low.span(), bars.close.span(),
         bars.volume.span()},
        spec.builder())));
}

Ref bars_from_ticks_body(const Column<std::int64_t>& timestamps, const Column<double>& ltp,
                         const Column<double>& buy_qty_delta, const Column<double>& sell_qty_delta,
                         const BarSpec& spec) {
    return bars_to_arrays(unwrap(data::aggregate::bars_from_ticks(
        {timestamps.span(), ltp.span(), buy_qty_delta.span(), sell_qty_delta.span()}, spec.builder())));
}

constexpr auto kAggregate = function<aggregate_bars_body>(
    "aggregate_bars", {"timestamps", "open", "high", "low", "close", "volume", "step", "unit", {"tz_offset_ns", 0},
                       {"brick_size", 0.0}},
    kBarArrays,
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
constexpr auto kTicks = function<bars_from_ticks_body>(
    "bars_from_ticks", {"timestamps", "ltp", "buy_qty_delta", "sell_qty_delta", "step", "unit", {"tz_offset_ns", 0},
                        {"brick_size", 0.0}},
    kBarArrays,
    "Build bars from raw tick arrays (`ltp` + buy/sell quantity deltas).\n\n"
    "Ticks with a zero last-traded price are skipped, matching the tick\n"
    "backtester's treatment of missing data.");

}  // namespace

PyTypeObject* Bound<data::aggregate::BarAggregator>::type() {
    return record_type<BarAggregator>("builtins.BarAggregator", kSlots);
}

Registrations bar_aggregation_rows() {
    static constexpr Registration rows[] = {
        class_row<data::aggregate::BarAggregator>(),
        function_row<kAggregate>(),
        function_row<kTicks>(),
    };
    return rows;
}

}  // namespace tarnwick::python
