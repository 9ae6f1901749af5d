#include "indicators/streaming.h"

#include <cmath>
#include <limits>
#include <utility>

#include "base/fault.h"
#include "base/format.h"
#include "indicators/series.h"

namespace tarnwick::indicators {

using base::fault;

namespace {

constexpr std::uint64_t period_or_one(std::uint64_t p) { return p == 0 ? 1 : p; }

constexpr std::pair<IndicatorKind, std::string_view> kKindNames[] = {
    {IndicatorKind::Sma, "sma"},           {IndicatorKind::Ema, "ema"},
    {IndicatorKind::WilderMa, "wilder_ma"}, {IndicatorKind::Wma, "wma"},
    {IndicatorKind::Roc, "roc"},           {IndicatorKind::StdDev, "stddev"},
    {IndicatorKind::Rsi, "rsi"},           {IndicatorKind::Atr, "atr"},
    {IndicatorKind::Donchian, "donchian"}, {IndicatorKind::Bollinger, "bollinger"},
    {IndicatorKind::Macd, "macd"},
};

}  // namespace

std::string_view name(IndicatorKind kind) {
    for (const auto& [k, text] : kKindNames) {
        if (k == kind) return text;
    }
    fault("indicator kind out of range");
}

Result<IndicatorKind, CoreError> parse_indicator_kind(std::string_view text) {
    std::string choices;
    for (const auto& [k, t] : kKindNames) {
        if (t == text) return k;
        if (!choices.empty()) choices += ", ";
        choices += t;
    }
    return err(CoreError::invalid_parameter(
        base::fmt::format("indicator kind must be one of {}, got {}", choices, base::fmt::quoted(text))));
}

namespace streaming {

SumWindow::SumWindow(std::uint64_t period) : ring_(sat_add_u64(period, 1)), period_(period) {}

void SumWindow::push(double x) {
    ring_.push_back(x);
    sum_ = x + sum_;
    if (ring_.size() > period_) sum_ = sum_ - ring_.pop_front();
}

void SumWindow::reset() noexcept {
    ring_.clear();
    sum_ = 0.0;
}

void EmaState::update(double v) {
    if (value_) {
        value_ = (1.0 - alpha_) * *value_ + v * alpha_;
        return;
    }
    // The seed never outgrows its period: the average exists from the period-th input on.
    seed_sum_ = v + seed_sum_;
    if (++seeded_ == period_) value_ = seed_sum_ / static_cast<double>(period_);
}

void EmaState::reset() noexcept {
    value_.reset();
    seeded_ = 0;
    seed_sum_ = 0.0;
}

void SmaCore::update(double, double, double close) {
    window.push(close);
    if (window.full()) value = window.sum() / static_cast<double>(period);
}

void CloseWindowCore::reset() {
    window.reset();
    value.reset();
}

EmaCore::EmaCore(std::uint64_t period) : CloseAverageCore(period, ema_alpha(period)) {}

WilderMaCore::WilderMaCore(std::uint64_t period) : CloseAverageCore(period, 1.0 / static_cast<double>(period)) {}

WmaCore::WmaCore(std::uint64_t n) : window(sat_add_u64(n, 1)), period(n) {
    // The weight total in 128 bits so that no period wraps it.
    const unsigned __int128 total = static_cast<unsigned __int128>(n) * (static_cast<unsigned __int128>(n) + 1);
    denominator = static_cast<double>(total) * 0.5;
}

void WmaCore::update(double, double, double close) {
    window.push_back(close);
    if (window.size() > period) window.pop_front();
    if (window.size() != period) return;
    double numerator = -0.0;
    for (std::size_t j = 0; j < window.size(); ++j) numerator += static_cast<double>(j + 1) * window[j];
    value = numerator / denominator;
}

void WmaCore::reset() {
    window.clear();
    value.reset();
}

RocCore::RocCore(std::uint64_t period) : window(sat_add_u64(period, 2)), span(sat_add_u64(period, 1)) {}

void RocCore::update(double, double, double close) {
    window.push_back(close);
    if (window.size() > span) window.pop_front();
    if (window.size() != span) return;
    const double base = window.front();
    // A zero base has no rate of change; the last value stands.
    if (base == 0.0) return;
    value = (close - base) / base * 100.0;
}

void RocCore::reset() {
    window.clear();
    value.reset();
}

namespace {

// Population variance of a full window about its running-sum mean, summed oldest first.
double window_variance(const Ring<double>& w, double mean, std::uint64_t period) {
    double ss = -0.0;
    for (std::size_t j = 0; j < w.size(); ++j) {
        const double d = w[j] - mean;
        ss += d * d;
    }
    return ss / static_cast<double>(period);
}

}  // namespace

void StdDevCore::update(double, double, double close) {
    window.push(close);
    if (!window.full()) return;
    const double mean = window.sum() / static_cast<double>(period);
    value = std::sqrt(window_variance(window.values(), mean, period));
}

void BollingerCore::update(double, double, double close) {
    window.push(close);
    if (!window.full()) return;
    const double mean = window.sum() / static_cast<double>(period);
    const double width = std::sqrt(window_variance(window.values(), mean, period)) * k;
    value = IndicatorValue::triple(mean, mean + width, mean - width);
}

void BollingerCore::reset() {
    window.reset();
    value = IndicatorValue::none();
}

namespace {

double rsi_from(double avg_gain, double avg_loss) {
    if (avg_loss == 0.0) return 100.0;
    return 100.0 - 100.0 / (1.0 + avg_gain / avg_loss);
}

}  // namespace

void RsiCore::update(double, double, double close) {
    if (!prev_close) {
        prev_close = close;
        return;
    }
    const double d = close - *prev_close;
    prev_close = close;
    const double gain = d > 0 ? d : 0.0;
    const double loss = d > 0 ? 0.0 : -d;

    if (avg_gain && avg_loss) {
        const double r = 1.0 / static_cast<double>(period);
        avg_gain = (1.0 - r) * *avg_gain + gain * r;
        avg_loss = (1.0 - r) * *avg_loss + loss * r;
    } else {
        seed_gain_sum += gain;
        seed_loss_sum += loss;
        if (++seeded != period) return;
        avg_gain = seed_gain_sum / static_cast<double>(period);
        avg_loss = seed_loss_sum / static_cast<double>(period);
    }
    value = rsi_from(*avg_gain, *avg_loss);
}

void RsiCore::reset() {
    prev_close.reset();
    avg_gain.reset();
    avg_loss.reset();
    seeded = 0;
    seed_gain_sum = -0.0;
    seed_loss_sum = -0.0;
    value.reset();
}

void AtrCore::update(double high, double low, double close) {
    double tr = high - low;
    if (prev_close) {
        const double pc = *prev_close;
        tr = max_present(max_present(tr, std::fabs(high - pc)), std::fabs(low - pc));
    }
    prev_close = close;

    if (value) {
        const double r = 1.0 / static_cast<double>(period);
        value = (1.0 - r) * *value + tr * r;
        return;
    }
    seed_sum += tr;
    if (++seeded == period) value = seed_sum / static_cast<double>(period);
}

void AtrCore::reset() {
    prev_close.reset();
    seeded = 0;
    seed_sum = -0.0;
    value.reset();
}

DonchianCore::DonchianCore(std::uint64_t n) : period(n), highs(sat_add_u64(n, 1)), lows(sat_add_u64(n, 1)) {}

void DonchianCore::update(double high, double low, double) {
    highs.push(bars, high);
    lows.push(bars, low);
    ++bars;
    if (bars < period) return;
    highs.expire_before(bars - period);
    lows.expire_before(bars - period);
    // Folds that start from the largest finite magnitudes: a window without a usable
    // high (all NaN or -inf) reports the most negative finite number, not NaN.
    constexpr double kMost = std::numeric_limits<double>::max();
    const double upper = highs.empty() || highs.best() < -kMost ? -kMost : highs.best();
    const double lower = lows.empty() || lows.best() > kMost ? kMost : lows.best();
    value = IndicatorValue::pair(upper, lower);
}

void DonchianCore::reset() {
    bars = 0;
    highs.clear();
    lows.clear();
    value = IndicatorValue::none();
}

MacdCore::MacdCore(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period)
    : fast(fast_period, ema_alpha(fast_period)), slow(slow_period, ema_alpha(slow_period)),
      signal(signal_period, ema_alpha(signal_period)) {}

void MacdCore::update(double, double, double close) {
    fast.update(close);
    slow.update(close);
    if (!fast.value() || !slow.value()) return;
    const double m = *fast.value() - *slow.value();
    signal.update(m);
    if (signal.value()) value = IndicatorValue::triple(m, *signal.value(), m - *signal.value());
}

void MacdCore::reset() {
    fast.reset();
    slow.reset();
    signal.reset();
    value = IndicatorValue::none();
}

}  // namespace streaming

Indicator Indicator::sma(std::uint64_t period) {
    return {IndicatorKind::Sma, streaming::SmaCore(period_or_one(period))};
}
Indicator Indicator::ema(std::uint64_t period) {
    return {IndicatorKind::Ema, streaming::EmaCore(period_or_one(period))};
}
Indicator Indicator::wilder_ma(std::uint64_t period) {
    return {IndicatorKind::WilderMa, streaming::WilderMaCore(period_or_one(period))};
}
Indicator Indicator::wma(std::uint64_t period) {
    return {IndicatorKind::Wma, streaming::WmaCore(period_or_one(period))};
}
Indicator Indicator::roc(std::uint64_t period) {
    return {IndicatorKind::Roc, streaming::RocCore(period_or_one(period))};
}
Indicator Indicator::stddev(std::uint64_t period) {
    return {IndicatorKind::StdDev, streaming::StdDevCore(period_or_one(period))};
}
Indicator Indicator::rsi(std::uint64_t period) {
    return {IndicatorKind::Rsi, streaming::RsiCore(period_or_one(period))};
}
Indicator Indicator::atr(std::uint64_t period) {
    return {IndicatorKind::Atr, streaming::AtrCore(period_or_one(period))};
}
Indicator Indicator::donchian(std::uint64_t period) {
    return {IndicatorKind::Donchian, streaming::DonchianCore(period_or_one(period))};
}
Indicator Indicator::bollinger(std::uint64_t period, double k) {
    return {IndicatorKind::Bollinger, streaming::BollingerCore(period_or_one(period), k)};
}
Indicator Indicator::macd(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
    return {IndicatorKind::Macd,
            streaming::MacdCore(period_or_one(fast), period_or_one(slow), period_or_one(signal))};
}

// The one dispatch over the kinds.
template <class F>
decltype(auto) Indicator::with_core(F&& f) {
    switch (kind_) {
        case IndicatorKind::Sma: return f(std::get<streaming::SmaCore>(core_));
        case IndicatorKind::Ema: return f(std::get<streaming::EmaCore>(core_));
        case IndicatorKind::WilderMa: return f(std::get<streaming::WilderMaCore>(core_));
        case IndicatorKind::Wma: return f(std::get<streaming::WmaCore>(core_));
        case IndicatorKind::Roc: return f(std::get<streaming::RocCore>(core_));
        case IndicatorKind::StdDev: return f(std::get<streaming::StdDevCore>(core_));
        case IndicatorKind::Rsi: return f(std::get<streaming::RsiCore>(core_));
        case IndicatorKind::Atr: return f(std::get<streaming::AtrCore>(core_));
        case IndicatorKind::Donchian: return f(std::get<streaming::DonchianCore>(core_));
        case IndicatorKind::Bollinger: return f(std::get<streaming::BollingerCore>(core_));
        case IndicatorKind::Macd: return f(std::get<streaming::MacdCore>(core_));
    }
    fault("indicator kind out of range");
}

template <class F>
decltype(auto) Indicator::with_core(F&& f) const {
    return const_cast<Indicator*>(this)->with_core([&](auto& core) { return f(std::as_const(core)); });
}

IndicatorValue Indicator::update_bar(double, double high, double low, double close) {
    with_core([&](auto& core) { core.update(high, low, close); });
    return value();
}

IndicatorValue Indicator::value() const {
    return with_core([](const auto& core) { return core.current(); });
}

void Indicator::reset() {
    with_core([](auto& core) { core.reset(); });
}

}  // namespace tarnwick::indicators
