// The streaming indicator: one indicator computed bar by bar from constant-size state,
// with values equal to the batch functions where a batch twin exists. One core per
// kind; the kind is a closed enumeration dispatched in one place.
//
// Periods come from callers unchecked (0 is read as 1) and may be arbitrarily large:
// window storage grows only with the bars actually fed, never in proportion to a period.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "base/errors.h"
#include "base/result.h"
#include "indicators/ring.h"

namespace tarnwick::indicators {

enum class IndicatorKind : std::uint8_t { Sma, Ema, WilderMa, Wma, Roc, StdDev, Rsi, Atr, Donchian, Bollinger, Macd };

// Kind strings: "sma", "ema", "wilder_ma", "wma", "roc", "stddev", "rsi", "atr",
// "donchian", "bollinger", "macd".
std::string_view name(IndicatorKind kind);
base::Result<IndicatorKind, base::CoreError> parse_indicator_kind(std::string_view text);

// The current value: absent during warm-up (count 0), one number (count 1), a pair
// (donchian: upper, lower) or a triple (bollinger: middle, upper, lower; macd: macd,
// signal, histogram).
struct IndicatorValue {
    std::uint8_t count = 0;
    std::array<double, 3> v{};

    bool present() const noexcept { return count != 0; }
    static IndicatorValue none() { return {}; }
    static IndicatorValue one(double a) { return {1, {a, 0.0, 0.0}}; }
    static IndicatorValue pair(double a, double b) { return {2, {a, b, 0.0}}; }
    static IndicatorValue triple(double a, double b, double c) { return {3, {a, b, c}}; }
};

namespace streaming {

// Window of the last `period` inputs with a running sum (positive-zero start); the
// entering value is added before the leaving value is subtracted.
class SumWindow {
public:
    explicit SumWindow(std::uint64_t period);
    void push(double x);
    bool full() const noexcept { return ring_.size() == period_; }
    double sum() const noexcept { return sum_; }
    const Ring<double>& values() const noexcept { return ring_; }
    void reset() noexcept;

private:
    Ring<double> ring_;
    std::uint64_t period_;
    double sum_ = 0.0;
};

// Exponential average seeded with the plain mean of its first `period` inputs.
class EmaState {
public:
    EmaState(std::uint64_t period, double alpha) : period_(period), alpha_(alpha) {}
    void update(double v);
    const std::optional<double>& value() const noexcept { return value_; }
    void reset() noexcept;

private:
    std::optional<double> value_;
    std::uint64_t period_;
    std::uint64_t seeded_ = 0;
    double seed_sum_ = 0.0;
    double alpha_;
};

// Every core offers update(high, low, close), current() and reset(); price-series cores
// read only the close.

// One number from a running-sum window of the closes; the moving average and the
// deviation below differ only in what they make of the full window.
struct CloseWindowCore {
    explicit CloseWindowCore(std::uint64_t n) : window(n), period(n) {}
    IndicatorValue current() const { return value ? IndicatorValue::one(*value) : IndicatorValue::none(); }
    void reset();

    SumWindow window;
    std::uint64_t period;
    std::optional<double> value;
};

struct SmaCore : CloseWindowCore {
    using CloseWindowCore::CloseWindowCore;
    void update(double high, double low, double close);
};

// An exponential average of the closes; the two kinds below differ only in its alpha.
struct CloseAverageCore {
    CloseAverageCore(std::uint64_t period, double alpha) : ema(period, alpha) {}
    void update(double, double, double close) { ema.update(close); }
    IndicatorValue current() const { return ema.value() ? IndicatorValue::one(*ema.value()) : IndicatorValue::none(); }
    void reset() { ema.reset(); }

    EmaState ema;
};

struct EmaCore : CloseAverageCore {
    explicit EmaCore(std::uint64_t period);  // alpha = 2 / (period + 1)
};

struct WilderMaCore : CloseAverageCore {
    explicit WilderMaCore(std::uint64_t period);  // alpha = 1 / period
};

struct WmaCore {
    explicit WmaCore(std::uint64_t period);
    void update(double high, double low, double close);
    IndicatorValue current() const { return value ? IndicatorValue::one(*value) : IndicatorValue::none(); }
    void reset();

    Ring<double> window;
    std::uint64_t period;
    double denominator;  // period * (period + 1) / 2, exact before the one rounding
    std::optional<double> value;
};

struct RocCore {
    explicit RocCore(std::uint64_t period);
    void update(double high, double low, double close);
    IndicatorValue current() const { return value ? IndicatorValue::one(*value) : IndicatorValue::none(); }
    void reset();

    Ring<double> window;  // the last period + 1 closes
    std::uint64_t span;   // period + 1, clamped
    std::optional<double> value;
};

struct StdDevCore : CloseWindowCore {
    using CloseWindowCore::CloseWindowCore;
    void update(double high, double low, double close);
};

struct BollingerCore {
    BollingerCore(std::uint64_t n, double width) : window(n), period(n), k(width) {}
    void update(double high, double low, double close);
    IndicatorValue current() const { return value; }
    void reset();

    SumWindow window;
    std::uint64_t period;
    double k;
    IndicatorValue value;
};

struct RsiCore {
    explicit RsiCore(std::uint64_t n) : period(n) {}
    void update(double high, double low, double close);
    IndicatorValue current() const { return value ? IndicatorValue::one(*value) : IndicatorValue::none(); }
    void reset();

    std::uint64_t period;
    std::optional<double> prev_close;
    std::optional<double> avg_gain;
    std::optional<double> avg_loss;
    std::uint64_t seeded = 0;
    double seed_gain_sum = -0.0;  // the seed means, summed in arrival order
    double seed_loss_sum = -0.0;
    std::optional<double> value;
};

struct AtrCore {
    explicit AtrCore(std::uint64_t n) : period(n) {}
    void update(double high, double low, double close);
    IndicatorValue current() const { return value ? IndicatorValue::one(*value) : IndicatorValue::none(); }
    void reset();

    std::uint64_t period;
    std::optional<double> prev_close;
    std::uint64_t seeded = 0;
    double seed_sum = -0.0;
    std::optional<double> value;
};

struct DonchianCore {
    explicit DonchianCore(std::uint64_t period);
    void update(double high, double low, double close);
    IndicatorValue current() const { return value; }
    void reset();

    std::uint64_t period;
    std::uint64_t bars = 0;
    MonotonicWindow<true> highs;
    MonotonicWindow<false> lows;
    IndicatorValue value;
};

struct MacdCore {
    MacdCore(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal);
    void update(double high, double low, double close);
    IndicatorValue current() const { return value; }
    void reset();

    EmaState fast;
    EmaState slow;
    EmaState signal;
    IndicatorValue value;
};

}  // namespace streaming

class Indicator {
public:
    static Indicator sma(std::uint64_t period);
    static Indicator ema(std::uint64_t period);
    static Indicator wilder_ma(std::uint64_t period);  // alpha = 1 / period
    static Indicator wma(std::uint64_t period);        // linear weights 1 (oldest) .. period
    static Indicator roc(std::uint64_t period);        // percent change over period bars
    static Indicator stddev(std::uint64_t period);     // rolling population deviation
    static Indicator rsi(std::uint64_t period);
    static Indicator atr(std::uint64_t period);
    static Indicator donchian(std::uint64_t period);   // (upper, lower) from highs and lows
    static Indicator bollinger(std::uint64_t period, double k = 2.0);
    static Indicator macd(std::uint64_t fast = 12, std::uint64_t slow = 26, std::uint64_t signal = 9);

    IndicatorKind kind() const noexcept { return kind_; }
    std::string_view kind_name() const { return name(kind_); }

    // Feeds one bar and returns the value after it. The open is not used by any kind.
    IndicatorValue update_bar(double open, double high, double low, double close);
    IndicatorValue value() const;
    bool initialized() const { return value().present(); }
    // Back to the state of a new object built with the same arguments.
    void reset();

private:
    using Core = std::variant<streaming::SmaCore, streaming::EmaCore, streaming::WilderMaCore, streaming::WmaCore,
                              streaming::RocCore, streaming::StdDevCore, streaming::RsiCore, streaming::AtrCore,
                              streaming::DonchianCore, streaming::BollingerCore, streaming::MacdCore>;

    Indicator(IndicatorKind kind, Core core) : kind_(kind), core_(std::move(core)) {}

    template <class F>
    decltype(auto) with_core(F&& f);
    template <class F>
    decltype(auto) with_core(F&& f) const;

    IndicatorKind kind_;
    Core core_;
};

}  // namespace tarnwick::indicators
