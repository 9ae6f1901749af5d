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
#include "python/classes.h"
#include "python/convert.h"
#include "python/numpy_bridge.h"
#include "python/records.h"

namespace tarnwick::python {

using base::CoreError;
using base::Result;
using base::Status;
using base::fault;

template <>
struct Bound<indicators::Indicator> {
    static constexpr const char* name = "Indicator";
    static PyTypeObject* type() { return indicator_type(); }
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

constexpr const char* kDataPeriod[] = {"data", "period"};
constexpr const char* kHlcPeriod[] = {"high", "low", "close", "period"};
constexpr const char* kMacdNames[] = {"data", "fast_period", "slow_period", "signal_period"};
constexpr const char* kStochNames[] = {"high", "low", "close", "k_period", "d_period"};
constexpr const char* kBollNames[] = {"data", "period", "std_dev"};
constexpr const char* kVwapNames[] = {"high", "low", "close", "volume"};
constexpr const char* kSuperNames[] = {"high", "low", "close", "period", "multiplier"};

constexpr Signature kSma{"sma", kDataPeriod, 2, 2};
constexpr Signature kEma{"ema", kDataPeriod, 2, 2};
constexpr Signature kRsi{"rsi", kDataPeriod, 2, 2};
constexpr Signature kMacd{"macd", kMacdNames, 4, 1};
constexpr Signature kStoch{"stochastic", kStochNames, 5, 3};
constexpr Signature kAtr{"atr", kHlcPeriod, 4, 4};
constexpr Signature kBoll{"bollinger_bands", kBollNames, 3, 1};
constexpr Signature kAdx{"adx", kHlcPeriod, 4, 4};
constexpr Signature kVwap{"vwap", kVwapNames, 4, 4};
constexpr Signature kSuper{"supertrend", kSuperNames, 5, 3};
constexpr Signature kRollMin{"rolling_min", kDataPeriod, 2, 2};
constexpr Signature kRollMax{"rolling_max", kDataPeriod, 2, 2};

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

PyMethodDef kSmaDef = fast_method<kSma, series_into_body<ind::trend::sma_into>>(
    "sma", "sma(data, period)\n--\n\nSimple Moving Average.");
PyMethodDef kEmaDef = fast_method<kEma, series_into_body<ind::trend::ema_into>>(
    "ema", "ema(data, period)\n--\n\nExponential Moving Average.");
PyMethodDef kRsiDef = fast_method<kRsi, series_into_body<ind::momentum::rsi_into>>(
    "rsi", "rsi(data, period)\n--\n\nRelative Strength Index.");
PyMethodDef kMacdDef = fast_method<kMacd, macd_body>(
    "macd", "macd(data, fast_period=12, slow_period=26, signal_period=9)\n--\n\nMACD indicator.");
PyMethodDef kStochDef = fast_method<kStoch, stochastic_body>(
    "stochastic", "stochastic(high, low, close, k_period=14, d_period=3)\n--\n\nStochastic oscillator.");
PyMethodDef kAtrDef = fast_method<kAtr, bar_into_body<ind::volatility::atr_into>>(
    "atr", "atr(high, low, close, period)\n--\n\nAverage True Range.");
PyMethodDef kBollDef = fast_method<kBoll, bollinger_body>(
    "bollinger_bands", "bollinger_bands(data, period=20, std_dev=2.0)\n--\n\nBollinger Bands.");
PyMethodDef kAdxDef = fast_method<kAdx, bar_into_body<ind::strength::adx_into>>(
    "adx", "adx(high, low, close, period)\n--\n\nAverage Directional Index.");
PyMethodDef kVwapDef = fast_method<kVwap, vwap_body>(
    "vwap", "vwap(high, low, close, volume)\n--\n\nVolume Weighted Average Price.");
PyMethodDef kSuperDef = fast_method<kSuper, supertrend_body>(
    "supertrend", "supertrend(high, low, close, period=10, multiplier=3.0)\n--\n\nSupertrend indicator.");
PyMethodDef kRollMinDef = fast_method<kRollMin, series_body<ind::volatility::rolling_min>>(
    "rolling_min", "rolling_min(data, period)\n--\n\nRolling minimum (Lowest Low Value).");
PyMethodDef kRollMaxDef = fast_method<kRollMax, series_body<ind::volatility::rolling_max>>(
    "rolling_max", "rolling_max(data, period)\n--\n\nRolling maximum (Highest High Value).");

// ---------------------------------------------------------------------------
// Tick features and tick gates

// Gates are 0 or 1 per tick; NumPy's bool is one byte holding exactly that.
Ref bool_array(const std::vector<std::int8_t>& gates) {
    std::vector<std::uint8_t> bytes(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) bytes[i] = gates[i] != 0 ? 1 : 0;
    return from_vec_bool(std::move(bytes));
}

constexpr const char* kEntryNames[] = {"spread_pct",     "bsi_delta",        "return_1m",
                                       "spread_pct_max", "bsi_min",          "return_1m_min_abs",
                                       "return_direction", "cooldown_ticks"};
constexpr const char* kExitNames[] = {"timestamps_ns", "eod_exit_time_ns"};
constexpr const char* kSpreadNames[] = {"bid", "ask"};
constexpr const char* kBsiNames[] = {"buy_qty_cumulative", "sell_qty_cumulative"};
constexpr const char* kReturnNames[] = {"timestamps_ns", "ltp", "window_seconds"};
constexpr const char* kOiNames[] = {"oi", "oi_day_high", "oi_day_low"};
constexpr const char* kVelocityNames[] = {"timestamps_ns", "window_seconds"};

constexpr Signature kEntry{"compute_tick_entry_signals", kEntryNames, 8, 3};
constexpr Signature kExit{"compute_tick_exit_signals", kExitNames, 2, 1};
constexpr Signature kSpread{"tick_spread_pct", kSpreadNames, 2, 2};
constexpr Signature kBsi{"buy_sell_imbalance_delta", kBsiNames, 2, 2};
constexpr Signature kReturn{"return_window", kReturnNames, 3, 2};
constexpr Signature kVol{"realized_vol_rolling", kReturnNames, 3, 2};
constexpr Signature kOi{"oi_position_pct", kOiNames, 3, 3};
constexpr Signature kVelocity{"tick_velocity", kVelocityNames, 2, 1};

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

PyMethodDef kEntryDef = fast_method<kEntry, entry_body>(
    "compute_tick_entry_signals",
    "compute_tick_entry_signals(spread_pct, bsi_delta, return_1m, spread_pct_max=5.0, bsi_min=0.0, "
    "return_1m_min_abs=0.0, return_direction=1, cooldown_ticks=10)\n--\n\n"
    "Compute tick momentum entry signals from per-tick feature arrays.\n\n"
    "spread_pct, bsi_delta and return_1m are per-tick arrays of equal length\n"
    "(as from tick_spread_pct, buy_sell_imbalance_delta and return_window).\n"
    "A tick enters when spread_pct <= spread_pct_max, bsi_delta >= bsi_min\n"
    "(when bsi_min > 0) and return_1m clears return_1m_min_abs in the trade\n"
    "direction (when return_1m_min_abs > 0); after an entry the next\n"
    "cooldown_ticks ticks cannot enter.\n"
    "return_direction: +1 for long (needs positive return_1m), -1 for short.");
PyMethodDef kExitDef = fast_method<kExit, exit_body>(
    "compute_tick_exit_signals",
    "compute_tick_exit_signals(timestamps_ns, eod_exit_time_ns=0)\n--\n\n"
    "Compute time-based exit signals (EOD / session-end).\n\n"
    "Sets exit[i] = True for every tick with timestamp >= eod_exit_time_ns.\n"
    "Set eod_exit_time_ns = 0 to disable (returns all False).\n"
    "timestamps_ns: nanoseconds-since-epoch for each tick (int64 array).");
PyMethodDef kSpreadDef = fast_method<kSpread, spread_body>(
    "tick_spread_pct",
    "tick_spread_pct(bid, ask)\n--\n\n"
    "Per-tick bid/ask spread as percentage of mid price.\n\n"
    "Returns 0.0 where both bid and ask are zero.");
PyMethodDef kBsiDef = fast_method<kBsi, bsi_body>(
    "buy_sell_imbalance_delta",
    "buy_sell_imbalance_delta(buy_qty_cumulative, sell_qty_cumulative)\n--\n\n"
    "Per-tick delta BSI from broker cumulative session totals.\n\n"
    "buy_qty_cumulative / sell_qty_cumulative must be the raw cumulative running sums\n"
    "from the broker feed (NOT already-converted deltas). Returns [0, 1] per tick; 0.5 = neutral.");
PyMethodDef kReturnDef = fast_method<kReturn, priced_window_body<60.0, tf::return_window>>(
    "return_window",
    "return_window(timestamps_ns, ltp, window_seconds=60.0)\n--\n\n"
    "Per-tick lookback return over a time window.\n\n"
    "timestamps_ns: nanoseconds-since-epoch for each tick.\n"
    "Returns NaN for ticks without sufficient history.");
PyMethodDef kVolDef = fast_method<kVol, priced_window_body<300.0, tf::realized_vol_rolling>>(
    "realized_vol_rolling",
    "realized_vol_rolling(timestamps_ns, ltp, window_seconds=300.0)\n--\n\n"
    "Rolling realized volatility proxy: stddev of log-returns over a time window (as %).\n\n"
    "Returns NaN for ticks without at least 2 data points in the window.");
PyMethodDef kOiDef = fast_method<kOi, oi_body>(
    "oi_position_pct",
    "oi_position_pct(oi, oi_day_high, oi_day_low)\n--\n\n"
    "Per-tick OI position within the day's high/low range: [0, 100].\n\n"
    "Returns NaN where oi_day_high <= oi_day_low.");
PyMethodDef kVelocityDef = fast_method<kVelocity, velocity_body>(
    "tick_velocity",
    "tick_velocity(timestamps_ns, window_seconds=60.0)\n--\n\n"
    "Rolling tick velocity: ticks per minute over the preceding window_seconds.");

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

constexpr const char* kPeriod[] = {"period"};
constexpr const char* kBollingerNames[] = {"period", "k"};
constexpr const char* kMacdFactoryNames[] = {"fast", "slow", "signal"};
constexpr const char* kBarNames[] = {"_open", "high", "low", "close"};

constexpr Signature kIndSma{"Indicator.sma", kPeriod, 1, 1};
constexpr Signature kIndEma{"Indicator.ema", kPeriod, 1, 1};
constexpr Signature kIndWilder{"Indicator.wilder_ma", kPeriod, 1, 1};
constexpr Signature kIndWma{"Indicator.wma", kPeriod, 1, 1};
constexpr Signature kIndRoc{"Indicator.roc", kPeriod, 1, 1};
constexpr Signature kIndStdDev{"Indicator.stddev", kPeriod, 1, 1};
constexpr Signature kIndRsi{"Indicator.rsi", kPeriod, 1, 1};
constexpr Signature kIndAtr{"Indicator.atr", kPeriod, 1, 1};
constexpr Signature kIndDonchian{"Indicator.donchian", kPeriod, 1, 1};
constexpr Signature kIndBollinger{"Indicator.bollinger", kBollingerNames, 2, 1};
constexpr Signature kIndMacd{"Indicator.macd", kMacdFactoryNames, 3, 0};
constexpr Signature kUpdateBar{"Indicator.update_bar", kBarNames, 4, 4};

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

// Static constructors are called on the class (or an instance) without `self`.
template <const Signature& Sig, PyObject* (*Body)(PyObject*, const Args&)>
PyMethodDef static_method(const char* name, const char* doc) {
    PyMethodDef def = fast_method<Sig, Body>(name, doc);
    def.ml_flags |= METH_STATIC;
    return def;
}

PyMethodDef kIndicatorMethods[] = {
    static_method<kIndSma, period_factory<Indicator::sma>>("sma", "sma(period)\n--\n\n"),
    static_method<kIndEma, period_factory<Indicator::ema>>("ema", "ema(period)\n--\n\n"),
    static_method<kIndWilder, period_factory<Indicator::wilder_ma>>(
        "wilder_ma", "wilder_ma(period)\n--\n\nWilder-smoothed moving average (alpha = 1/period)."),
    static_method<kIndWma, period_factory<Indicator::wma>>("wma", "wma(period)\n--\n\n"),
    static_method<kIndRoc, period_factory<Indicator::roc>>(
        "roc", "roc(period)\n--\n\nRate of change over `period` bars, in percent."),
    static_method<kIndStdDev, period_factory<Indicator::stddev>>(
        "stddev", "stddev(period)\n--\n\nRolling population standard deviation."),
    static_method<kIndRsi, period_factory<Indicator::rsi>>("rsi", "rsi(period)\n--\n\n"),
    static_method<kIndAtr, period_factory<Indicator::atr>>("atr", "atr(period)\n--\n\n"),
    static_method<kIndDonchian, period_factory<Indicator::donchian>>(
        "donchian", "donchian(period)\n--\n\nHighest-high / lowest-low channel; value is `(upper, lower)`."),
    static_method<kIndBollinger, bollinger_factory>(
        "bollinger", "bollinger(period, k=2.0)\n--\n\nBollinger bands; value is `(middle, upper, lower)`."),
    static_method<kIndMacd, macd_factory>(
        "macd", "macd(fast=12, slow=26, signal=9)\n--\n\nMACD; value is `(macd, signal, histogram)`."),
    fast_method<kUpdateBar, update_bar_body>(
        "update_bar",
        "update_bar($self, _open, high, low, close)\n--\n\n"
        "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
        "donchian) consume high/low/close. Returns the new value, if warm."),
    {"reset", reinterpret_cast<PyCFunction>(plain_entry<reset_body>), METH_NOARGS,
     "reset($self)\n--\n\nForget all state."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kIndicatorGetSet[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"value", get_value, nullptr, "Latest value (`None` during warmup).", nullptr},
    {"initialized", get_initialized, nullptr, "Whether the warmup period has completed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kIndicatorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Streaming indicator with batch-identical values.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<Indicator>)},
    {Py_tp_methods, kIndicatorMethods},
    {Py_tp_getset, kIndicatorGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<repr_body>)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* indicator_type() { return record_type<Indicator>("builtins.Indicator", kIndicatorSlots); }

PyMethodDef* sma_function() { return &kSmaDef; }
PyMethodDef* ema_function() { return &kEmaDef; }
PyMethodDef* rsi_function() { return &kRsiDef; }
PyMethodDef* macd_function() { return &kMacdDef; }
PyMethodDef* stochastic_function() { return &kStochDef; }
PyMethodDef* atr_function() { return &kAtrDef; }
PyMethodDef* bollinger_bands_function() { return &kBollDef; }
PyMethodDef* adx_function() { return &kAdxDef; }
PyMethodDef* vwap_function() { return &kVwapDef; }
PyMethodDef* supertrend_function() { return &kSuperDef; }
PyMethodDef* rolling_min_function() { return &kRollMinDef; }
PyMethodDef* rolling_max_function() { return &kRollMaxDef; }

PyMethodDef* compute_tick_entry_signals_function() { return &kEntryDef; }
PyMethodDef* compute_tick_exit_signals_function() { return &kExitDef; }
PyMethodDef* tick_spread_pct_function() { return &kSpreadDef; }
PyMethodDef* buy_sell_imbalance_delta_function() { return &kBsiDef; }
PyMethodDef* return_window_function() { return &kReturnDef; }
PyMethodDef* realized_vol_rolling_function() { return &kVolDef; }
PyMethodDef* oi_position_pct_function() { return &kOiDef; }
PyMethodDef* tick_velocity_function() { return &kVelocityDef; }

}  // namespace tarnwick::python
