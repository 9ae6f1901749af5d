#include "indicators/trend.h"

#include <cmath>

#include "indicators/series.h"
#include "indicators/volatility.h"

namespace tarnwick::indicators::trend {

namespace {

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
    std::vector<double> out = nan_series(n);
    if (period > n) return out;

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) sum += data[i];
    out[p - 1] = sum / pf;
    for (std::size_t j = 0; j + p < n; ++j) {
        sum = (sum - data[j]) + data[j + p];
        out[j + p] = sum / pf;
    }
    return out;
}

Result<std::vector<double>, CoreError> ema(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("EMA period must be > 0"));
    const std::size_t n = data.size();
    std::vector<double> out = nan_series(n);
    if (period > n) return out;

    const auto p = static_cast<std::size_t>(period);
    out[p - 1] = seed_mean(data, p);
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double keep = 1.0 - alpha;
    for (std::size_t i = p; i < n; ++i) out[i] = out[i - 1] * keep + data[i] * alpha;
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
