// The indicator functions of the module: batch indicators over whole float64 series,
// the tick features and tick gates, and the streaming Indicator class.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
#include "python/declare.h"
#include "python/fields.h"
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

// A new tuple taking over the given references.
template <class... R>
Ref tuple_of(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.get(), i++, items.release()), ...);
    return t;
}

constexpr Returns kSeries{"NDArray[np.float64]"};
constexpr Returns kGates{"NDArray[np.bool_]"};

// ---------------------------------------------------------------------------
// Moving averages, momentum, volatility, strength
//
// The arrays are views, read in place (python/declare.h says when they are taken).

// One series in, one series out, one period: rolling_min, rolling_max.
using SeriesKernel = Result<std::vector<double>, CoreError> (*)(std::span<const double>, std::uint64_t);

template <SeriesKernel Kernel>
Ref series_body(Column<double> data, std::uint64_t period) {
    return from_vec(unwrap(Kernel(data.span(), period)));
}

// The same for kernels that write into a caller's buffer (sma, ema, rsi): the result array
// is allocated here, uninitialised, and filled in place, so its storage is written once and
// never copied. Allocating an array runs no Python code, so the view stays valid.
using SeriesIntoKernel = Status<CoreError> (*)(std::span<const double>, std::uint64_t, std::span<double>);

template <SeriesIntoKernel Kernel>
Ref series_into_body(Column<double> data, std::uint64_t period) {
    NewF64 out = empty_f64(data.size());
    unwrap(Kernel(data.span(), period, out.data));
    return std::move(out.array);
}

Ref macd_body(Column<double> data, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
    NewF64 line = empty_f64(data.size()), sig = empty_f64(data.size()), hist = empty_f64(data.size());
    unwrap(ind::momentum::macd_into(data.span(), fast, slow, signal, line.data, sig.data, hist.data));
    return tuple_of(std::move(line.array), std::move(sig.array), std::move(hist.array));
}

Ref stochastic_body(Column<double> high, Column<double> low, Column<double> close, std::uint64_t k_period,
                    std::uint64_t d_period) {
    ind::momentum::StochasticSeries s =
        unwrap(ind::momentum::stochastic(high.span(), low.span(), close.span(), k_period, d_period));
    return tuple_of(from_vec(std::move(s.k)), from_vec(std::move(s.d)));
}

// high, low, close and one period, written into a fresh array: atr, adx.
using BarIntoKernel = Status<CoreError> (*)(std::span<const double>, std::span<const double>,
                                            std::span<const double>, std::uint64_t, std::span<double>);

template <BarIntoKernel Kernel>
Ref bar_into_body(Column<double> high, Column<double> low, Column<double> close, std::uint64_t period) {
    NewF64 out = empty_f64(close.size());
    unwrap(Kernel(high.span(), low.span(), close.span(), period, out.data));
    return std::move(out.array);
}

Ref bollinger_body(Column<double> data, std::uint64_t period, double std_dev) {
    NewF64 upper = empty_f64(data.size()), middle = empty_f64(data.size()), lower = empty_f64(data.size());
    unwrap(ind::volatility::bollinger_into(data.span(), period, std_dev, upper.data, middle.data, lower.data));
    return tuple_of(std::move(upper.array), std::move(middle.array), std::move(lower.array));
}

Ref vwap_body(Column<double> high, Column<double> low, Column<double> close, Column<double> volume) {
    return from_vec(unwrap(ind::strength::vwap(high.span(), low.span(), close.span(), volume.span())));
}

Ref supertrend_body(Column<double> high, Column<double> low, Column<double> close, std::uint64_t period,
                    double multiplier) {
    ind::trend::SupertrendSeries s =
        unwrap(ind::trend::supertrend(high.span(), low.span(), close.span(), period, multiplier));
    return tuple_of(from_vec(std::move(s.value)), from_vec_i8(std::move(s.direction)));
}

constexpr auto kSma = function<series_into_body<ind::trend::sma_into>>("sma", {"data", "period"}, kSeries,
                                                                      "Simple Moving Average.\n\n"
    "A NaN in `data` makes the value of its bar and every later one NaN: the\n"
    "running sum carries it. Fill or cut gaps before the call.");
constexpr auto kEma = function<series_into_body<ind::trend::ema_into>>("ema", {"data", "period"}, kSeries,
                                                                      "Exponential Moving Average.\n\n"
    "A NaN in `data` makes the value of its bar and every later one NaN: the\n"
    "average carries it. Fill or cut gaps before the call.");
constexpr auto kRsi = function<series_into_body<ind::momentum::rsi_into>>("rsi", {"data", "period"}, kSeries,
                                                                          "Relative Strength Index.\n\n"
    "A NaN in `data` makes the value of its bar and every later one NaN: the\n"
    "averages of the gains and losses carry it. Fill or cut gaps before the\n"
    "call.");
constexpr auto kMacd = function<macd_body>(
    "macd", {"data", {"fast_period", 12}, {"slow_period", 26}, {"signal_period", 9}},
    Returns{"tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]"}, "MACD indicator.\n\n"
    "A NaN in `data` makes all three series NaN from its bar on: the averages\n"
    "carry it. Fill or cut gaps before the call.");
constexpr auto kStoch = function<stochastic_body>("stochastic",
                                                  {"high", "low", "close", {"k_period", 14}, {"d_period", 3}},
                                                  Returns{"tuple[NDArray[np.float64], NDArray[np.float64]]"},
                                                  "Stochastic oscillator.\n\n"
    "A NaN close makes %K NaN on its bar only, and %D on the `d_period` bars\n"
    "whose mean takes that %K in; a NaN high or low is passed over in its\n"
    "window's extreme. Later values are whole again.");
constexpr auto kAtr = function<bar_into_body<ind::volatility::atr_into>>("atr", {"high", "low", "close", "period"},
                                                                        kSeries, "Average True Range.\n\n"
    "A bar's true range leaves out each term a NaN spoils. A bar with no term\n"
    "left (two of its high, its low and the previous close NaN, as on a\n"
    "missing bar) makes the value of its bar and every later one NaN: the\n"
    "average carries it. Fill or cut gaps before the call.");
constexpr auto kBoll = function<bollinger_body>(
    "bollinger_bands", {"data", {"period", 20}, {"std_dev", 2.0}},
    Returns{"tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]"}, "Bollinger Bands.\n\n"
    "A NaN in `data` makes all three bands NaN from its bar on: the running\n"
    "sum carries it. Fill or cut gaps before the call.");
constexpr auto kAdx = function<bar_into_body<ind::strength::adx_into>>("adx", {"high", "low", "close", "period"},
                                                                      kSeries, "Average Directional Index.\n\n"
    "A NaN high or low counts as no directional movement. After a bar with\n"
    "no true range (two of its high, its low and the previous close NaN, as\n"
    "on a missing bar) the smoothed range stays NaN, every later directional\n"
    "index counts as 0 and the value decays toward 0 instead of turning NaN.\n"
    "Fill or cut gaps before the call.");
constexpr auto kVwap = function<vwap_body>("vwap", {"high", "low", "close", "volume"}, kSeries,
                                           "Volume Weighted Average Price.\n\n"
    "A NaN in any of the four columns makes the value of its bar and every\n"
    "later one NaN: the cumulative sums carry it. Fill or cut gaps before the\n"
    "call.");
constexpr auto kSuper = function<supertrend_body>(
    "supertrend", {"high", "low", "close", {"period", 10}, {"multiplier", 3.0}},
    Returns{"tuple[NDArray[np.float64], NDArray[np.int8]]"}, "Supertrend indicator.\n\n"
    "Its bands stand on `atr`'s average: after a bar with no true range (two\n"
    "of its high, its low and the previous close NaN, as on a missing bar)\n"
    "every value is NaN and the direction keeps the sign it had. Fill or cut\n"
    "gaps before the call.");
constexpr auto kRollMin = function<series_body<ind::volatility::rolling_min>>(
    "rolling_min", {"data", "period"}, kSeries, "Rolling minimum (Lowest Low Value).\n\n"
    "A NaN is passed over; a window of NaN only gives NaN.");
constexpr auto kRollMax = function<series_body<ind::volatility::rolling_max>>(
    "rolling_max", {"data", "period"}, kSeries, "Rolling maximum (Highest High Value).\n\n"
    "A NaN is passed over; a window of NaN only gives NaN.");

// ---------------------------------------------------------------------------
// Tick features and tick gates

// Gates are 0 or 1 per tick; NumPy's bool is one byte holding exactly that.
Ref bool_array(const std::vector<std::int8_t>& gates) {
    std::vector<std::uint8_t> bytes(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) bytes[i] = gates[i] != 0 ? 1 : 0;
    return from_vec_bool(std::move(bytes));
}

Ref entry_body(const Column<double>& spread, const Column<double>& bsi, const Column<double>& ret, double spread_max, double bsi_min,
               double min_abs, std::int8_t direction, std::uint64_t cooldown) {
    return bool_array(ts::compute_tick_entry_signals(spread.span(), bsi.span(), ret.span(), spread_max, bsi_min,
                                                     min_abs, direction, cooldown));
}

Ref exit_body(Column<std::int64_t> stamps, std::int64_t eod) {
    return bool_array(ts::compute_tick_exit_signals(stamps.span(), eod));
}

Ref spread_body(Column<double> bid, Column<double> ask) {
    return from_vec(tf::tick_spread_pct(bid.span(), ask.span()));
}

Ref bsi_body(Column<double> buy, Column<double> sell) {
    return from_vec(unwrap(tf::buy_sell_imbalance_delta(buy.span(), sell.span())));
}

template <Result<std::vector<double>, CoreError> (*Kernel)(std::span<const std::int64_t>, std::span<const double>,
                                                           double)>
Ref priced_window_body(Column<std::int64_t> stamps, Column<double> ltp, double window) {
    return from_vec(unwrap(Kernel(stamps.span(), ltp.span(), window)));
}

Ref oi_body(Column<double> oi, double high, double low) {
    return from_vec(tf::oi_position_pct(oi.span(), high, low));
}

Ref velocity_body(Column<std::int64_t> stamps, double window) {
    return from_vec(tf::tick_velocity(stamps.span(), window));
}

constexpr auto kEntry = function<entry_body>(
    "compute_tick_entry_signals",
    {"spread_pct", "bsi_delta", "return_1m", {"spread_pct_max", 5.0}, {"bsi_min", 0.0}, {"return_1m_min_abs", 0.0},
     {"return_direction", 1}, {"cooldown_ticks", 10}},
    kGates,
    "Compute tick momentum entry signals from per-tick feature arrays.\n\n"
    "spread_pct, bsi_delta and return_1m are per-tick arrays of equal length\n"
    "(as from tick_spread_pct, buy_sell_imbalance_delta and return_window).\n"
    "A tick enters when spread_pct <= spread_pct_max, bsi_delta >= bsi_min\n"
    "(when bsi_min > 0) and return_1m clears return_1m_min_abs in the trade\n"
    "direction (when return_1m_min_abs > 0); after an entry the next\n"
    "cooldown_ticks ticks cannot enter.\n"
    "return_direction: +1 for long (needs positive return_1m), -1 for short.");
constexpr auto kExit = function<exit_body>("compute_tick_exit_signals", {"timestamps_ns", {"eod_exit_time_ns", 0}},
                                           kGates,
                                           "Compute time-based exit signals (EOD / session-end).\n\n"
                                           "Sets exit[i] = True for every tick with timestamp >= eod_exit_time_ns.\n"
                                           "Set eod_exit_time_ns = 0 to disable (returns all False).\n"
                                           "timestamps_ns: nanoseconds-since-epoch for each tick (int64 array).");
constexpr auto kSpread = function<spread_body>("tick_spread_pct", {"bid", "ask"}, kSeries,
                                               "Per-tick bid/ask spread as percentage of mid price.\n\n"
                                               "Returns 0.0 where both bid and ask are zero.");
constexpr auto kBsi = function<bsi_body>(
    "buy_sell_imbalance_delta", {"buy_qty_cumulative", "sell_qty_cumulative"}, kSeries,
    "Per-tick delta BSI from broker cumulative session totals.\n\n"
    "buy_qty_cumulative / sell_qty_cumulative must be the raw cumulative running sums\n"
    "from the broker feed (NOT already-converted deltas). Returns [0, 1] per tick; 0.5 = "
    "neutral.");
constexpr auto kReturn = function<priced_window_body<tf::return_window>>(
    "return_window", {"timestamps_ns", "ltp", {"window_seconds", 60.0}}, kSeries,
    "Per-tick lookback return over a time window.\n\n"
    "timestamps_ns: nanoseconds-since-epoch for each tick.\n"
    "Returns NaN for ticks without sufficient history.");
constexpr auto kVol = function<priced_window_body<tf::realized_vol_rolling>>(
    "realized_vol_rolling", {"timestamps_ns", "ltp", {"window_seconds", 300.0}}, kSeries,
    "Rolling realized volatility proxy: stddev of log-returns over a time window (as "
    "%).\n\n"
    "Returns NaN for ticks without at least 2 data points in the window.");
constexpr auto kOi = function<oi_body>("oi_position_pct", {"oi", "oi_day_high", "oi_day_low"}, kSeries,
                                       "Per-tick OI position within the day's high/low range: [0, 100].\n\n"
                                       "Returns NaN where oi_day_high <= oi_day_low.");
constexpr auto kVelocity = function<velocity_body>(
    "tick_velocity", {"timestamps_ns", {"window_seconds", 60.0}}, kSeries,
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

constexpr Returns kIndicator{"Indicator"};

constexpr auto kIndSma = static_method<Indicator::sma>("Indicator.sma", {"period"}, kIndicator, "");
constexpr auto kIndEma = static_method<Indicator::ema>("Indicator.ema", {"period"}, kIndicator, "");
constexpr auto kIndWilder = static_method<Indicator::wilder_ma>(
    "Indicator.wilder_ma", {"period"}, kIndicator, "Wilder-smoothed moving average (alpha = 1/period).");
constexpr auto kIndWma = static_method<Indicator::wma>("Indicator.wma", {"period"}, kIndicator, "");
constexpr auto kIndRoc = static_method<Indicator::roc>(
    "Indicator.roc", {"period"}, kIndicator, "Rate of change over `period` bars, in percent.");
constexpr auto kIndStdDev = static_method<Indicator::stddev>(
    "Indicator.stddev", {"period"}, kIndicator, "Rolling population standard deviation.");
constexpr auto kIndRsi = static_method<Indicator::rsi>("Indicator.rsi", {"period"}, kIndicator, "");
constexpr auto kIndAtr = static_method<Indicator::atr>("Indicator.atr", {"period"}, kIndicator, "");
constexpr auto kIndDonchian = static_method<Indicator::donchian>(
    "Indicator.donchian", {"period"}, kIndicator, "Highest-high / lowest-low channel; value is `(upper, lower)`.");
constexpr auto kIndBollinger = static_method<Indicator::bollinger>(
    "Indicator.bollinger", {"period", {"k", 2.0}}, kIndicator, "Bollinger bands; value is `(middle, upper, lower)`.");
constexpr auto kIndMacd = static_method<Indicator::macd>("Indicator.macd", {{"fast", 12}, {"slow", 26}, {"signal", 9}},
                                                         kIndicator, "MACD; value is `(macd, signal, histogram)`.");

constexpr Returns kIndicatorValue{"float | tuple[float, float] | tuple[float, float, float] | None"};

// The state changes only after all four prices converted: a bad argument leaves the
// indicator as it was.
Ref update_bar_body(Exclusive<Indicator>& self, double open, double high, double low, double close) {
    return indicator_value_into_py(self->update_bar(open, high, low, close));
}

constexpr auto kUpdateBar = method<update_bar_body>(
    "Indicator.update_bar", {"_open", "high", "low", "close"}, kIndicatorValue,
    "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
    "donchian) consume high/low/close. Returns the new value, if warm.");

PyObject* reset_body(Exclusive<Indicator>& self) {
    self->reset();
    return Py_NewRef(Py_None);
}

constexpr auto kReset = method<reset_body>("Indicator.reset", Returns{"None"}, "Forget all state.");

PyObject* repr_body(PyObject* self) {
    return read<Indicator>(self, [](const Indicator& v) {
        std::string text = "Indicator(kind=";
        text += v.kind_name();
        text += ')';
        return to_py(text).release();
    });
}

std::string_view kind_of(const Indicator& v) { return v.kind_name(); }
Ref value_of(const Indicator& v) { return indicator_value_into_py(v.value()); }
bool initialized_of(const Indicator& v) { return v.value().present(); }

PyMethodDef kIndicatorMethods[] = {
    fast_method<kIndSma>(),     fast_method<kIndEma>(),      fast_method<kIndWilder>(),
    fast_method<kIndWma>(),     fast_method<kIndRoc>(),      fast_method<kIndStdDev>(),
    fast_method<kIndRsi>(),     fast_method<kIndAtr>(),      fast_method<kIndDonchian>(),
    fast_method<kIndBollinger>(), fast_method<kIndMacd>(),   fast_method<kUpdateBar>(),
    noargs<kReset>(),           kMethodEnd,
};

PyGetSetDef kIndicatorGetSet[] = {
    getter<kind_of>("kind"),
    getter<value_of>("value", kIndicatorValue, "Latest value (`None` during warmup)."),
    getter<initialized_of>("initialized", "Whether the warmup period has completed."),
    kGetSetEnd,
};

PyType_Slot kIndicatorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Streaming indicator with batch-identical values.\n\n"
                                  "The kinds kept on a running sum, `sma` and `bollinger`, equal\n"
                                  "the batch functions up to the last bits, not bit for bit: the sum\n"
                                  "carried from bar to bar rounds differently from a sum taken afresh.\n\n"
                                  "A NaN close (for `atr`, a bar with no true range: two of its high,\n"
                                  "its low and the previous close NaN) keeps the kinds that carry a\n"
                                  "sum or an average NaN until `reset`: `sma`, `ema`, `wilder_ma`,\n"
                                  "`stddev`, `rsi`, `atr`, `bollinger` and `macd`. `wma` is NaN while\n"
                                  "the NaN is in its window, `roc` on its bar and `period` bars later,\n"
                                  "and `donchian` passes a NaN high or low over. Fill or cut gaps\n"
                                  "before feeding them.")},
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
        function_row<kEntry>(),  function_row<kExit>(), function_row<kSpread>(),   function_row<kBsi>(),
        function_row<kReturn>(), function_row<kVol>(),  function_row<kOi>(),       function_row<kVelocity>(),
        function_row<kSma>(),    function_row<kEma>(),  function_row<kRsi>(),      function_row<kMacd>(),
        function_row<kStoch>(),  function_row<kAtr>(),  function_row<kBoll>(),     function_row<kAdx>(),
        function_row<kVwap>(),   function_row<kSuper>(), function_row<kRollMin>(), function_row<kRollMax>(),
    };
    return rows;
}

}  // namespace tarnwick::python
