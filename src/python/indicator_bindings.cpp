// The indicator functions of the module: batch indicators over whole float64 series,
// the tick features and tick gates, and the streaming Indicator class.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "indicators/momentum.h"
#include "indicators/streaming.h"
#include "indicators/strength.h"
#include "indicators/tick_features.h"
#include "indicators/tick_signals.h"
#include "indicators/trend.h"
#include "indicators/volatility.h"
#include "python/convert.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/registration.h"

namespace tarnwick::python {

using base::CoreError;
using base::Result;
using base::Status;
using base::fault;

template <>
struct Bound<indicators::Indicator> {
    static constexpr const char* name = "Indicator";
    static PyTypeObject* type();
};

namespace {

namespace ind = tarnwick::indicators;
namespace tf = tarnwick::indicators::tick_features;
namespace ts = tarnwick::indicators::tick_signals;

// Array arguments come first in every signature and are checked (ndarray, one dimension,
// exact dtype) before the scalars after them are converted, so a bad array is reported
// before a bad period. They are read only after the last scalar conversion, through
// fresh views: converting a scalar can run Python code (`__index__`, `__float__`) that
// writes to, or even reallocates, an array, so a view taken earlier could be stale. A
// view taken at the end sees exactly what a copy taken at that point would, without the
// copy; no Python code runs while the kernels read it.
Column<double> view_f64(const Args& a, std::size_t i) { return a.get<Column<double>>(i); }
Column<std::int64_t> view_i64(const Args& a, std::size_t i) { return a.get<Column<std::int64_t>>(i); }

// Checks the float64 array arguments 0 .. count - 1 in order.
void check_f64_arrays(const Args& a, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) (void)view_f64(a, i);
}

// A new tuple taking over the given references.
template <class... R>
Ref tuple_of(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.get(), i++, items.release()), ...);
    return t;
}

// ---------------------------------------------------------------------------
// Moving averages, momentum, volatility, strength

constexpr auto kSma = function("sma", {"data", "period"}, "Simple Moving Average.");
constexpr auto kEma = function("ema", {"data", "period"}, "Exponential Moving Average.");
constexpr auto kRsi = function("rsi", {"data", "period"}, "Relative Strength Index.");
constexpr auto kMacd = function("macd", {"data", {"fast_period", "12"}, {"slow_period", "26"}, {"signal_period", "9"}},
                                "MACD indicator.");
constexpr auto kStoch = function("stochastic", {"high", "low", "close", {"k_period", "14"}, {"d_period", "3"}},
                                 "Stochastic oscillator.");
constexpr auto kAtr = function("atr", {"high", "low", "close", "period"}, "Average True Range.");
constexpr auto kBoll = function("bollinger_bands", {"data", {"period", "20"}, {"std_dev", "2.0"}}, "Bollinger Bands.");
constexpr auto kAdx = function("adx", {"high", "low", "close", "period"}, "Average Directional Index.");
constexpr auto kVwap = function("vwap", {"high", "low", "close", "volume"}, "Volume Weighted Average Price.");
constexpr auto kSuper = function("supertrend", {"high", "low", "close", {"period", "10"}, {"multiplier", "3.0"}},
                                 "Supertrend indicator.");
constexpr auto kRollMin = function("rolling_min", {"data", "period"}, "Rolling minimum (Lowest Low Value).");
constexpr auto kRollMax = function("rolling_max", {"data", "period"}, "Rolling maximum (Highest High Value).");

// One series in, one series out, one period: sma, ema, rsi, rolling_min, rolling_max.
using SeriesKernel = Result<std::vector<double>, CoreError> (*)(std::span<const double>, std::uint64_t);

template <SeriesKernel Kernel>
PyObject* series_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 1);
    const auto period = a.get<std::uint64_t>(1);
    const Column<double> data = view_f64(a, 0);
    return from_vec(unwrap(Kernel(data.span(), period))).release();
}

// The same for kernels that write into a caller's buffer: the result array is allocated
// here, uninitialised, and filled in place, so its storage is written once and never
// copied. Allocating an array runs no Python code, so the view stays valid.
using SeriesIntoKernel = Status<CoreError> (*)(std::span<const double>, std::uint64_t, std::span<double>);

template <SeriesIntoKernel Kernel>
PyObject* series_into_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 1);
    const auto period = a.get<std::uint64_t>(1);
    const Column<double> data = view_f64(a, 0);
    NewF64 out = empty_f64(data.size());
    unwrap(Kernel(data.span(), period, out.data));
    return out.array.release();
}

PyObject* macd_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 1);
    const auto fast = a.get_or<std::uint64_t>(1, 12);
    const auto slow = a.get_or<std::uint64_t>(2, 26);
    const auto signal = a.get_or<std::uint64_t>(3, 9);
    const Column<double> data = view_f64(a, 0);
    NewF64 line = empty_f64(data.size()), sig = empty_f64(data.size()), hist = empty_f64(data.size());
    unwrap(ind::momentum::macd_into(data.span(), fast, slow, signal, line.data, sig.data, hist.data));
    return tuple_of(std::move(line.array), std::move(sig.array), std::move(hist.array)).release();
}

PyObject* stochastic_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 3);
    const auto k_period = a.get_or<std::uint64_t>(3, 14);
    const auto d_period = a.get_or<std::uint64_t>(4, 3);
    const Column<double> high = view_f64(a, 0), low = view_f64(a, 1), close = view_f64(a, 2);
    ind::momentum::StochasticSeries s =
        unwrap(ind::momentum::stochastic(high.span(), low.span(), close.span(), k_period, d_period));
    return tuple_of(from_vec(std::move(s.k)), from_vec(std::move(s.d))).release();
}

// high, low, close and one period, written into a fresh array: atr, adx.
using BarIntoKernel = Status<CoreError> (*)(std::span<const double>, std::span<const double>,
                                            std::span<const double>, std::uint64_t, std::span<double>);

template <BarIntoKernel Kernel>
PyObject* bar_into_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 3);
    const auto period = a.get<std::uint64_t>(3);
    const Column<double> high = view_f64(a, 0), low = view_f64(a, 1), close = view_f64(a, 2);
    NewF64 out = empty_f64(close.size());
    unwrap(Kernel(high.span(), low.span(), close.span(), period, out.data));
    return out.array.release();
}

PyObject* bollinger_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 1);
    const auto period = a.get_or<std::uint64_t>(1, 20);
    const double std_dev = a.get_or<double>(2, 2.0);
    const Column<double> data = view_f64(a, 0);
    NewF64 upper = empty_f64(data.size()), middle = empty_f64(data.size()), lower = empty_f64(data.size());
    unwrap(ind::volatility::bollinger_into(data.span(), period, std_dev, upper.data, middle.data, lower.data));
    return tuple_of(std::move(upper.array), std::move(middle.array), std::move(lower.array)).release();
}

PyObject* vwap_body(PyObject*, const Args& a) {
    const Column<double> high = view_f64(a, 0), low = view_f64(a, 1), close = view_f64(a, 2),
                         volume = view_f64(a, 3);
    return from_vec(unwrap(ind::strength::vwap(high.span(), low.span(), close.span(), volume.span()))).release();
}

PyObject* supertrend_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 3);
    const auto period = a.get_or<std::uint64_t>(3, 10);
    const double multiplier = a.get_or<double>(4, 3.0);
    const Column<double> high = view_f64(a, 0), low = view_f64(a, 1), close = view_f64(a, 2);
    ind::trend::SupertrendSeries s =
        unwrap(ind::trend::supertrend(high.span(), low.span(), close.span(), period, multiplier));
    return tuple_of(from_vec(std::move(s.value)), from_vec_i8(std::move(s.direction))).release();
}

// ---------------------------------------------------------------------------
// Tick features and tick gates

// Gates are 0 or 1 per tick; NumPy's bool is one byte holding exactly that.
Ref bool_array(const std::vector<std::int8_t>& gates) {
    std::vector<std::uint8_t> bytes(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) bytes[i] = gates[i] != 0 ? 1 : 0;
    return from_vec_bool(std::move(bytes));
}

constexpr auto kEntry = function(
    "compute_tick_entry_signals", {"spread_pct", "bsi_delta", "return_1m", {"spread_pct_max", "5.0"},
                                   {"bsi_min", "0.0"}, {"return_1m_min_abs", "0.0"}, {"return_direction", "1"},
                                   {"cooldown_ticks", "10"}},
    "Compute tick momentum entry signals from per-tick feature arrays.\n\n"
    "spread_pct, bsi_delta and return_1m are per-tick arrays of equal length\n"
    "(as from tick_spread_pct, buy_sell_imbalance_delta and return_window).\n"
    "A tick enters when spread_pct <= spread_pct_max, bsi_delta >= bsi_min\n"
    "(when bsi_min > 0) and return_1m clears return_1m_min_abs in the trade\n"
    "direction (when return_1m_min_abs > 0); after an entry the next\n"
    "cooldown_ticks ticks cannot enter.\n"
    "return_direction: +1 for long (needs positive return_1m), -1 for short.");
constexpr auto kExit = function("compute_tick_exit_signals", {"timestamps_ns", {"eod_exit_time_ns", "0"}},
                                "Compute time-based exit signals (EOD / session-end).\n\n"
                                "Sets exit[i] = True for every tick with timestamp >= eod_exit_time_ns.\n"
                                "Set eod_exit_time_ns = 0 to disable (returns all False).\n"
                                "timestamps_ns: nanoseconds-since-epoch for each tick (int64 array).");
constexpr auto kSpread = function("tick_spread_pct", {"bid", "ask"},
                                  "Per-tick bid/ask spread as percentage of mid price.\n\n"
                                  "Returns 0.0 where both bid and ask are zero.");
constexpr auto kBsi = function("buy_sell_imbalance_delta", {"buy_qty_cumulative", "sell_qty_cumulative"},
                               "Per-tick delta BSI from broker cumulative session totals.\n\n"
                               "buy_qty_cumulative / sell_qty_cumulative must be the raw cumulative running sums\n"
                               "from the broker feed (NOT already-converted deltas). Returns [0, 1] per tick; 0.5 = "
                               "neutral.");
constexpr auto kReturn = function("return_window", {"timestamps_ns", "ltp", {"window_seconds", "60.0"}},
                                  "Per-tick lookback return over a time window.\n\n"
                                  "timestamps_ns: nanoseconds-since-epoch for each tick.\n"
                                  "Returns NaN for ticks without sufficient history.");
constexpr auto kVol = function("realized_vol_rolling", {"timestamps_ns", "ltp", {"window_seconds", "300.0"}},
                               "Rolling realized volatility proxy: stddev of log-returns over a time window (as "
                               "%).\n\n"
                               "Returns NaN for ticks without at least 2 data points in the window.");
constexpr auto kOi = function("oi_position_pct", {"oi", "oi_day_high", "oi_day_low"},
                              "Per-tick OI position within the day's high/low range: [0, 100].\n\n"
                              "Returns NaN where oi_day_high <= oi_day_low.");
constexpr auto kVelocity = function("tick_velocity", {"timestamps_ns", {"window_seconds", "60.0"}},
                                    "Rolling tick velocity: ticks per minute over the preceding window_seconds.");

PyObject* entry_body(PyObject*, const Args& a) {
    check_f64_arrays(a, 3);
    const double spread_max = a.get_or<double>(3, 5.0);
    const double bsi_min = a.get_or<double>(4, 0.0);
    const double min_abs = a.get_or<double>(5, 0.0);
    const auto direction = a.get_or<std::int8_t>(6, 1);
    const auto cooldown = a.get_or<std::uint64_t>(7, 10);
    const Column<double> spread = view_f64(a, 0), bsi = view_f64(a, 1), ret = view_f64(a, 2);
    return bool_array(ts::compute_tick_entry_signals(spread.span(), bsi.span(), ret.span(), spread_max, bsi_min,
                                                     min_abs, direction, cooldown))
        .release();
}

PyObject* exit_body(PyObject*, const Args& a) {
    (void)view_i64(a, 0);
    const auto eod = a.get_or<std::int64_t>(1, 0);
    const Column<std::int64_t> stamps = view_i64(a, 0);
    return bool_array(ts::compute_tick_exit_signals(stamps.span(), eod)).release();
}

PyObject* spread_body(PyObject*, const Args& a) {
    const Column<double> bid = view_f64(a, 0), ask = view_f64(a, 1);
    return from_vec(tf::tick_spread_pct(bid.span(), ask.span())).release();
}

PyObject* bsi_body(PyObject*, const Args& a) {
    const Column<double> buy = view_f64(a, 0), sell = view_f64(a, 1);
    return from_vec(unwrap(tf::buy_sell_imbalance_delta(buy.span(), sell.span()))).release();
}

template <double kDefaultWindow,
          Result<std::vector<double>, CoreError> (*Kernel)(std::span<const std::int64_t>, std::span<const double>,
                                                           double)>
PyObject* priced_window_body(PyObject*, const Args& a) {
    (void)view_i64(a, 0);
    (void)view_f64(a, 1);
    const double window = a.get_or<double>(2, kDefaultWindow);
    const Column<std::int64_t> stamps = view_i64(a, 0);
    const Column<double> ltp = view_f64(a, 1);
    return from_vec(unwrap(Kernel(stamps.span(), ltp.span(), window))).release();
}

PyObject* oi_body(PyObject*, const Args& a) {
    (void)view_f64(a, 0);
    const double high = a.get<double>(1);
    const double low = a.get<double>(2);
    const Column<double> oi = view_f64(a, 0);
    return from_vec(tf::oi_position_pct(oi.span(), high, low)).release();
}

PyObject* velocity_body(PyObject*, const Args& a) {
    (void)view_i64(a, 0);
    const double window = a.get_or<double>(1, 60.0);
    const Column<std::int64_t> stamps = view_i64(a, 0);
    return from_vec(tf::tick_velocity(stamps.span(), window)).release();
}

// ---------------------------------------------------------------------------
// The streaming Indicator

using indicators::Indicator;
using indicators::IndicatorValue;

// The one conversion of a current value to Python, for `value`, `initialized` and
// `update_bar` alike: None during warm-up, else a float or a tuple of two or three.
Ref indicator_value_into_py(const IndicatorValue& v) {
    switch (v.count) {
        case 0: return Ref::borrow(Py_None);
        case 1: return to_py(v.v[0]);
        case 2: return tuple_of(to_py(v.v[0]), to_py(v.v[1]));
        case 3: return tuple_of(to_py(v.v[0]), to_py(v.v[1]), to_py(v.v[2]));
        default: break;
    }
    fault("indicator value with more than three parts");
}

constexpr auto kIndSma = static_method("Indicator.sma", {"period"}, "");
constexpr auto kIndEma = static_method("Indicator.ema", {"period"}, "");
constexpr auto kIndWilder = static_method("Indicator.wilder_ma", {"period"},
                                          "Wilder-smoothed moving average (alpha = 1/period).");
constexpr auto kIndWma = static_method("Indicator.wma", {"period"}, "");
constexpr auto kIndRoc = static_method("Indicator.roc", {"period"}, "Rate of change over `period` bars, in percent.");
constexpr auto kIndStdDev = static_method("Indicator.stddev", {"period"}, "Rolling population standard deviation.");
constexpr auto kIndRsi = static_method("Indicator.rsi", {"period"}, "");
constexpr auto kIndAtr = static_method("Indicator.atr", {"period"}, "");
constexpr auto kIndDonchian = static_method("Indicator.donchian", {"period"},
                                            "Highest-high / lowest-low channel; value is `(upper, lower)`.");
constexpr auto kIndBollinger = static_method("Indicator.bollinger", {"period", {"k", "2.0"}},
                                             "Bollinger bands; value is `(middle, upper, lower)`.");
constexpr auto kIndMacd = static_method("Indicator.macd", {{"fast", "12"}, {"slow", "26"}, {"signal", "9"}},
                                        "MACD; value is `(macd, signal, histogram)`.");
constexpr auto kUpdateBar = method("Indicator.update_bar", {"_open", "high", "low", "close"},
                                   "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
                                   "donchian) consume high/low/close. Returns the new value, if warm.");

template <Indicator (*Make)(std::uint64_t)>
PyObject* period_factory(PyObject*, const Args& a) {
    return wrap(Make(a.get<std::uint64_t>(0))).release();
}

PyObject* bollinger_factory(PyObject*, const Args& a) {
    const auto period = a.get<std::uint64_t>(0);
    const double k = a.get_or<double>(1, 2.0);
    return wrap(Indicator::bollinger(period, k)).release();
}

PyObject* macd_factory(PyObject*, const Args& a) {
    const auto fast = a.get_or<std::uint64_t>(0, 12);
    const auto slow = a.get_or<std::uint64_t>(1, 26);
    const auto signal = a.get_or<std::uint64_t>(2, 9);
    return wrap(Indicator::macd(fast, slow, signal)).release();
}

// The object is held before the prices are converted, and the state changes only after
// all four converted: a bad argument leaves the indicator as it was.
PyObject* update_bar_body(PyObject* self, const Args& a) {
    auto* r = as_record<Indicator>(self);
    ExclusiveBorrow b(r->borrow);
    const double open = a.get<double>(0);
    const double high = a.get<double>(1);
    const double low = a.get<double>(2);
    const double close = a.get<double>(3);
    return indicator_value_into_py(r->value.update_bar(open, high, low, close)).release();
}

PyObject* reset_body(PyObject* self) {
    auto* r = as_record<Indicator>(self);
    ExclusiveBorrow b(r->borrow);
    r->value.reset();
    return Py_NewRef(Py_None);
}

PyObject* repr_body(PyObject* self) {
    return read<Indicator>(self, [](const Indicator& v) {
        std::string text = "Indicator(kind=";
        text += v.kind_name();
        text += ')';
        return to_py(text).release();
    });
}

PyObject* get_kind(PyObject* self, void*) {
    return read<Indicator>(self, [](const Indicator& v) {
        return to_py(v.kind_name()).release();
    });
}

PyObject* get_value(PyObject* self, void*) {
    return read<Indicator>(self, [](const Indicator& v) {
        return indicator_value_into_py(v.value()).release();
    });
}

PyObject* get_initialized(PyObject* self, void*) {
    return read<Indicator>(self, [](const Indicator& v) {
        return to_py(v.value().present()).release();
    });
}

constexpr auto kReset = method("Indicator.reset", "Forget all state.");

PyMethodDef kIndicatorMethods[] = {
    fast_method<kIndSma, period_factory<Indicator::sma>>(),
    fast_method<kIndEma, period_factory<Indicator::ema>>(),
    fast_method<kIndWilder, period_factory<Indicator::wilder_ma>>(),
    fast_method<kIndWma, period_factory<Indicator::wma>>(),
    fast_method<kIndRoc, period_factory<Indicator::roc>>(),
    fast_method<kIndStdDev, period_factory<Indicator::stddev>>(),
    fast_method<kIndRsi, period_factory<Indicator::rsi>>(),
    fast_method<kIndAtr, period_factory<Indicator::atr>>(),
    fast_method<kIndDonchian, period_factory<Indicator::donchian>>(),
    fast_method<kIndBollinger, bollinger_factory>(),
    fast_method<kIndMacd, macd_factory>(),
    fast_method<kUpdateBar, update_bar_body>(),
    noargs<kReset>(plain_entry<reset_body>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kIndicatorGetSet[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"value", get_value, nullptr, "Latest value (`None` during warmup).", nullptr},
    {"initialized", get_initialized, nullptr, "Whether the warmup period has completed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kIndicatorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Streaming indicator with batch-identical values.\n\n"
                                  "The kinds kept on a running sum, `sma` and `bollinger`, equal\n"
                                  "the batch functions up to the last bits, not bit for bit: the sum\n"
                                  "carried from bar to bar rounds differently from a sum taken afresh.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<Indicator>)},
    {Py_tp_methods, kIndicatorMethods},
    {Py_tp_getset, kIndicatorGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<repr_body>)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* Bound<indicators::Indicator>::type() {
    return record_type<Indicator>("builtins.Indicator", kIndicatorSlots);
}

Registrations streaming_indicator_rows() {
    static constexpr Registration rows[] = {class_row<indicators::Indicator>()};
    return rows;
}

Registrations indicator_function_rows() {
    static constexpr Registration rows[] = {
        function_row<kEntry, entry_body>(),
        function_row<kExit, exit_body>(),
        function_row<kSpread, spread_body>(),
        function_row<kBsi, bsi_body>(),
        function_row<kReturn, priced_window_body<60.0, tf::return_window>>(),
        function_row<kVol, priced_window_body<300.0, tf::realized_vol_rolling>>(),
        function_row<kOi, oi_body>(),
        function_row<kVelocity, velocity_body>(),
        function_row<kSma, series_into_body<ind::trend::sma_into>>(),
        function_row<kEma, series_into_body<ind::trend::ema_into>>(),
        function_row<kRsi, series_into_body<ind::momentum::rsi_into>>(),
        function_row<kMacd, macd_body>(),
        function_row<kStoch, stochastic_body>(),
        function_row<kAtr, bar_into_body<ind::volatility::atr_into>>(),
        function_row<kBoll, bollinger_body>(),
        function_row<kAdx, bar_into_body<ind::strength::adx_into>>(),
        function_row<kVwap, vwap_body>(),
        function_row<kSuper, supertrend_body>(),
        function_row<kRollMin, series_body<ind::volatility::rolling_min>>(),
        function_row<kRollMax, series_body<ind::volatility::rolling_max>>(),
    };
    return rows;
}

}  // namespace tarnwick::python
