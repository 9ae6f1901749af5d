#include "indicators/trend.h"

#include <cmath>
#include <cstring>

#include "indicators/series.h"
#include "indicators/volatility.h"

namespace tarnwick::indicators::trend {

namespace {

using V2 = double __attribute__((vector_size(16), aligned(8)));

// Mean of data[0 .. period), summed left to right from negative zero.
double seed_mean(std::span<const double> data, std::size_t period) {
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += data[i];
    return sum / static_cast<double>(period);
}

}  // namespace

Result<std::vector<double>, CoreError> sma(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("SMA period must be > 0"));
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    std::vector<double> out = reserve_series(n);
    out.insert(out.end(), p - 1, kNaN);
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) sum += data[i];
    out.push_back(sum / pf);
    const double* x = data.data();
    append_blocks(out, n - p, [&sum, &x, p, pf](double* __restrict block, std::size_t m) __attribute__((noinline)) {
        const double* __restrict in = x;
        const std::size_t lag = p;
        const double div = pf;
        double s = sum;
        // Two sums per step share one vector division: the division unit then keeps up
        // with the two-addition recursion instead of being the bottleneck itself.
        std::size_t k = 0;
        for (; k + 2 <= m; k += 2) {
            const double s0 = (s - in[k]) + in[k + lag];
            s = (s0 - in[k + 1]) + in[k + 1 + lag];
            const V2 q = V2{s0, s} / div;
            std::memcpy(block + k, &q, sizeof q);
        }
        for (; k < m; ++k) {
            s = (s - in[k]) + in[k + lag];
            block[k] = s / div;
        }
        sum = s;
        x += m;
    });
    return out;
}

Result<std::vector<double>, CoreError> ema(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("EMA period must be > 0"));
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);

    const auto p = static_cast<std::size_t>(period);
    std::vector<double> out = reserve_series(n);
    out.insert(out.end(), p - 1, kNaN);
    double value = seed_mean(data, p);
    out.push_back(value);
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double keep = 1.0 - alpha;
    const double* x = data.data() + p;
    append_blocks(out, n - p, [&value, &x, keep, alpha](double* __restrict block, std::size_t m) __attribute__((noinline)) {
        const double* __restrict in = x;
        const double kp = keep, a = alpha;
        double v = value;
        for (std::size_t k = 0; k < m; ++k) {
            v = v * kp + in[k] * a;
            block[k] = v;
        }
        value = v;
        x += m;
    });
    return out;
}

Result<SupertrendSeries, CoreError> supertrend(std::span<const double> high, std::span<const double> low,
                                               std::span<const double> close, std::uint64_t period,
                                               double multiplier) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("Supertrend period must be > 0"));

    SupertrendSeries out{nan_series(n), std::vector<std::int8_t>(n, 0)};
    if (period >= n) return out;

    // Lengths and period were checked above, so the kernel cannot refuse them.
    const std::vector<double> atr = volatility::atr(high, low, close, period).value();
    const auto p = static_cast<std::size_t>(period);

    double final_upper = kNaN;
    double final_lower = kNaN;
    std::int8_t dir = 0;
    for (std::size_t i = p - 1; i < n; ++i) {
        double basic_upper = kNaN;
        double basic_lower = kNaN;
        if (!std::isnan(atr[i])) {
            const double hl2 = (high[i] + low[i]) * 0.5;
            basic_upper = hl2 + atr[i] * multiplier;
            basic_lower = hl2 - atr[i] * multiplier;
        }
        if (i == p - 1) {
            final_upper = basic_upper;
            final_lower = basic_lower;
        } else {
            // A band only tightens while the previous close stayed on its side of it.
            const double pc = close[i - 1];
            if (std::isnan(basic_upper) || std::isnan(final_upper) || !(pc <= final_upper)) {
                final_upper = basic_upper;
            } else if (basic_upper < final_upper) {
                final_upper = basic_upper;
            }
            if (std::isnan(basic_lower) || std::isnan(final_lower) || !(pc >= final_lower)) {
                final_lower = basic_lower;
            } else if (basic_lower > final_lower) {
                final_lower = basic_lower;
            }
        }

        const double c = close[i];
        if (i == p - 1) {
            dir = final_upper >= c ? -1 : 1;
        } else if (dir == 1) {
            if (final_lower > c) dir = -1;
        } else {
            if (c > final_upper) dir = 1;
        }
        out.direction[i] = dir;
        out.value[i] = dir == 1 ? final_lower : final_upper;
    }
    return out;
}

}  // namespace tarnwick::indicators::trend
