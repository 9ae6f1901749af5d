#include "indicators/tick_features.h"

#include <cmath>
#include <functional>
#include <optional>

#include "base/saturate.h"
#include "indicators/series.h"

namespace tarnwick::indicators::tick_features {

namespace {

// Lower bound of tick i's window: t - w, clamped at the ends of the timestamp range so
// extreme timestamps or windows cannot wrap the bound to the other side.
std::int64_t window_start(std::int64_t t, std::int64_t w) { return base::sat_sub(t, w); }

// Number of leading ticks among 0 .. i-1 whose timestamp satisfies `pred`, by halving;
// exact for non-decreasing timestamps.
template <class Pred>
std::size_t prefix_count(std::span<const std::int64_t> ts, std::size_t i, Pred pred) {
    if (i == 0) return 0;
    std::size_t lo = 0;
    std::size_t size = i;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = lo + half;
        if (pred(ts[mid])) lo = mid;
        size -= half;
    }
    return pred(ts[lo]) ? lo + 1 : lo;
}

// Sample deviation, in percent, of the log returns into ticks from .. to (each against
// the tick before it; a tick after a price that is not positive is left out); nothing
// with fewer than two. Two passes (mean, then squared deviations) recompute each
// logarithm rather than storing them, so no tick allocates.
std::optional<double> log_return_deviation(std::span<const double> ltp, std::size_t from, std::size_t to) {
    double sum = -0.0;
    std::size_t m = 0;
    for (std::size_t k = from; k <= to; ++k) {
        if (!(ltp[k - 1] > 0.0)) continue;
        sum += std::log(ltp[k] / ltp[k - 1]);
        ++m;
    }
    if (m < 2) return std::nullopt;
    const double mean = sum / static_cast<double>(m);
    double ss = -0.0;
    for (std::size_t k = from; k <= to; ++k) {
        if (!(ltp[k - 1] > 0.0)) continue;
        const double d = std::log(ltp[k] / ltp[k - 1]) - mean;
        ss += d * d;
    }
    return std::sqrt(ss / static_cast<double>(m - 1)) * 100.0;
}

}  // namespace

std::int64_t window_ns(double window_seconds) { return base::sat_cast_i64(window_seconds * 1e9); }

namespace {

// A series over the ticks, NaN where `value` gives nothing: for every tick i after the
// first, value(i, c), c counting the ticks before i whose stamps t satisfy before(t, t_i - w)
// for the window w.
template <class Before, class Value>
Result<std::vector<double>, CoreError> over_windows(std::span<const std::int64_t> timestamps_ns,
                                                    std::span<const double> ltp, double window_seconds,
                                                    Before before, Value value) {
    const std::size_t n = timestamps_ns.size();
    if (ltp.size() < n) return err(CoreError::data_length_mismatch(n, ltp.size()));
    const std::int64_t w = window_ns(window_seconds);
    std::vector<double> out = nan_series(n);
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t target = window_start(timestamps_ns[i], w);
        const std::size_t c = prefix_count(timestamps_ns, i, [&](std::int64_t t) { return before(t, target); });
        if (const std::optional<double> v = value(i, c)) out[i] = *v;
    }
    return out;
}

}  // namespace

Result<std::vector<double>, CoreError> return_window(std::span<const std::int64_t> timestamps_ns,
                                                     std::span<const double> ltp, double window_seconds) {
    // Against the last tick at or before the window's start.
    return over_windows(timestamps_ns, ltp, window_seconds, std::less_equal<>(),
                        [ltp](std::size_t i, std::size_t c) -> std::optional<double> {
                            if (c == 0) return std::nullopt;
                            const double base = ltp[c - 1];
                            if (!(base > 0.0)) return std::nullopt;
                            return (ltp[i] - base) / base * 100.0;
                        });
}

Result<std::vector<double>, CoreError> realized_vol_rolling(std::span<const std::int64_t> timestamps_ns,
                                                            std::span<const double> ltp, double window_seconds) {
    // The returns of the ticks inside the window, each against the tick before it.
    return over_windows(timestamps_ns, ltp, window_seconds, std::less<>(),
                        [ltp](std::size_t i, std::size_t j) -> std::optional<double> {
                            if (j >= i) return std::nullopt;
                            return log_return_deviation(ltp, j + 1, i);
                        });
}

std::vector<double> oi_position_pct(std::span<const double> oi, double oi_day_high, double oi_day_low) {
    const double range = oi_day_high - oi_day_low;
    std::vector<double> out = nan_series(oi.size());
    if (range <= 0.0) return out;
    for (std::size_t i = 0; i < oi.size(); ++i) out[i] = (oi[i] - oi_day_low) / range * 100.0;
    return out;
}

std::vector<double> tick_velocity(std::span<const std::int64_t> timestamps_ns, double window_seconds) {
    const std::size_t n = timestamps_ns.size();
    std::vector<double> out(n, 0.0);
    const double minutes = window_seconds / 60.0;
    if (!(minutes > 0.0)) return out;
    const std::int64_t w = window_ns(window_seconds);
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t target = window_start(timestamps_ns[i], w);
        const std::size_t c = prefix_count(timestamps_ns, i, [target](std::int64_t t) { return t <= target; });
        out[i] = static_cast<double>(i + 1 - c) / minutes;
    }
    return out;
}

std::vector<double> tick_spread_pct(std::span<const double> bid, std::span<const double> ask) {
    const std::size_t n = bid.size() < ask.size() ? bid.size() : ask.size();
    std::vector<double> out(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double mid = (bid[i] + ask[i]) * 0.5;
        if (mid > 0.0) out[i] = (ask[i] - bid[i]) / mid * 100.0;
    }
    return out;
}

Result<std::vector<double>, CoreError> buy_sell_imbalance_delta(std::span<const double> buy_qty_cumulative,
                                                                std::span<const double> sell_qty_cumulative) {
    const std::size_t n = buy_qty_cumulative.size();
    if (sell_qty_cumulative.size() < n) return err(CoreError::data_length_mismatch(n, sell_qty_cumulative.size()));
    std::vector<double> out(n, 0.5);
    // An increment that is negative (a reset of the total) or NaN counts as no volume.
    auto increment = [](double now, double before) {
        const double d = now - before;
        return d > 0.0 ? d : 0.0;
    };
    for (std::size_t i = 1; i < n; ++i) {
        const double b = increment(buy_qty_cumulative[i], buy_qty_cumulative[i - 1]);
        const double s = increment(sell_qty_cumulative[i], sell_qty_cumulative[i - 1]);
        const double total = s + b;
        if (total > 0.0) out[i] = b / total;
    }
    return out;
}

}  // namespace tarnwick::indicators::tick_features
