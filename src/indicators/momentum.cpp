#include "indicators/momentum.h"

#include <cmath>

#include "indicators/ring.h"
#include "indicators/series.h"
#include "indicators/trend.h"

namespace tarnwick::indicators::momentum {

namespace {

double rsi_value(double avg_gain, double avg_loss) {
    if (avg_loss == 0.0) return 100.0;
    return 100.0 - 100.0 / (1.0 + avg_gain / avg_loss);
}

// Gain and loss of the move into bar i (i >= 1). A flat move is a loss of -0.0 and a NaN
// move a NaN loss, because the gain test fails for both.
struct Move {
    double gain = 0.0;
    double loss = 0.0;
};
Move move_into(std::span<const double> data, std::size_t i) {
    const double d = data[i] - data[i - 1];
    if (d > 0) return {d, 0.0};
    return {0.0, -d};
}

// Mean of v[from ..= to], summed left to right from +0 over the non-NaN values; NaN
// unless every value is present.
double complete_mean(const std::vector<double>& v, std::size_t from, std::size_t to, double count) {
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t j = from; j <= to; ++j) {
        if (std::isnan(v[j])) continue;
        sum += v[j];
        ++present;
    }
    return present == to - from + 1 ? sum / count : kNaN;
}

}  // namespace

Result<std::vector<double>, CoreError> rsi(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("RSI period must be > 0"));
    const std::size_t n = data.size();
    std::vector<double> out = nan_series(n);
    if (period >= n) return out;

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double gain_sum = -0.0;
    double loss_sum = -0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        const Move m = move_into(data, i);
        gain_sum += m.gain;
        loss_sum += m.loss;
    }
    double avg_gain = gain_sum / pf;
    double avg_loss = loss_sum / pf;
    out[p] = rsi_value(avg_gain, avg_loss);

    const double k = 1.0 / pf;
    const double keep = 1.0 - k;
    for (std::size_t i = p + 1; i < n; ++i) {
        const Move m = move_into(data, i);
        avg_gain = avg_gain * keep + m.gain * k;
        avg_loss = avg_loss * keep + m.loss * k;
        out[i] = rsi_value(avg_gain, avg_loss);
    }
    return out;
}

Result<MacdSeries, CoreError> macd(std::span<const double> data, std::uint64_t fast_period,
                                   std::uint64_t slow_period, std::uint64_t signal_period) {
    if (fast_period == 0 || slow_period == 0 || signal_period == 0) {
        return err(CoreError::invalid_parameter("MACD periods must be > 0"));
    }
    if (fast_period >= slow_period) {
        return err(CoreError::invalid_parameter("MACD fast period must be < slow period"));
    }
    const std::size_t n = data.size();
    MacdSeries out{nan_series(n), nan_series(n), nan_series(n)};
    if (slow_period > n) return out;

    // Periods were checked above, so the kernels cannot refuse them.
    const std::vector<double> fast = trend::ema(data, fast_period).value();
    const std::vector<double> slow = trend::ema(data, slow_period).value();
    const auto sp = static_cast<std::size_t>(slow_period);
    for (std::size_t i = sp - 1; i < n; ++i) {
        if (!std::isnan(fast[i]) && !std::isnan(slow[i])) out.macd[i] = fast[i] - slow[i];
    }

    // First signal value at slow + signal - 2; clamped so a huge signal period reads as
    // "beyond the data" rather than wrapping around.
    const std::uint64_t s0 = sat_add(slow_period, signal_period) - 2;
    if (s0 >= n) return out;
    const auto first = static_cast<std::size_t>(s0);
    out.signal[first] = complete_mean(out.macd, sp - 1, first, static_cast<double>(signal_period));
    const double alpha = 2.0 / (static_cast<double>(signal_period) + 1.0);
    const double keep = 1.0 - alpha;
    for (std::size_t i = first + 1; i < n; ++i) {
        if (!std::isnan(out.macd[i])) out.signal[i] = out.signal[i - 1] * keep + out.macd[i] * alpha;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isnan(out.macd[i]) && !std::isnan(out.signal[i])) out.histogram[i] = out.macd[i] - out.signal[i];
    }
    return out;
}

Result<StochasticSeries, CoreError> stochastic(std::span<const double> high, std::span<const double> low,
                                               std::span<const double> close, std::uint64_t k_period,
                                               std::uint64_t d_period) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (k_period == 0 || d_period == 0) return err(CoreError::invalid_parameter("Stochastic periods must be > 0"));

    StochasticSeries out{nan_series(n), nan_series(n)};
    if (k_period > n) return out;

    // Highest high and lowest low by monotonic windows; the first of equal extremes wins,
    // as in a left-to-right scan with strict comparisons.
    const auto kp = static_cast<std::size_t>(k_period);
    MonotonicWindow<true, true> highest(kp + 1);
    MonotonicWindow<false, true> lowest(kp + 1);
    for (std::size_t i = 0; i < n; ++i) {
        highest.push(i, high[i]);
        lowest.push(i, low[i]);
        if (i + 1 < kp) continue;
        highest.expire_before(i + 1 - kp);
        lowest.expire_before(i + 1 - kp);
        const double hh = highest.empty() ? -INFINITY : highest.best();
        const double ll = lowest.empty() ? INFINITY : lowest.best();
        const double range = hh - ll;
        out.k[i] = range > 0 ? (close[i] - ll) / range * 100.0 : 50.0;
    }

    const std::uint64_t d0 = sat_add(k_period, d_period) - 2;
    if (d0 >= n) return out;
    const auto dp = static_cast<std::size_t>(d_period);
    const double df = static_cast<double>(d_period);
    // Each %D mean is summed afresh in index order; a running sum would round differently.
    for (std::size_t i = static_cast<std::size_t>(d0); i < n; ++i) out.d[i] = complete_mean(out.k, i + 1 - dp, i, df);
    return out;
}

}  // namespace tarnwick::indicators::momentum
