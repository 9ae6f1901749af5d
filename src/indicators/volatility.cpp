#include "indicators/volatility.h"

#include <cmath>
#include <limits>

#include "indicators/ring.h"
#include "indicators/series.h"
#include "indicators/trend.h"

namespace tarnwick::indicators::volatility {

Result<std::vector<double>, CoreError> atr(std::span<const double> high, std::span<const double> low,
                                           std::span<const double> close, std::uint64_t period) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("ATR period must be > 0"));

    std::vector<double> out = nan_series(n);
    if (period >= n) return out;

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double seed = -0.0;
    for (std::size_t i = 0; i < p; ++i) seed += true_range(high, low, close, i);
    out[p - 1] = seed / pf;

    const double k = 1.0 / pf;
    const double keep = 1.0 - k;
    for (std::size_t i = p; i < n; ++i) out[i] = out[i - 1] * keep + true_range(high, low, close, i) * k;
    return out;
}

Result<BollingerSeries, CoreError> bollinger_bands(std::span<const double> data, std::uint64_t period,
                                                   double std_dev) {
    if (period == 0) return err(CoreError::invalid_parameter("Bollinger Bands period must be > 0"));
    if (std_dev <= 0.0) return err(CoreError::invalid_parameter("Bollinger Bands std_dev must be > 0"));

    const std::size_t n = data.size();
    BollingerSeries out{nan_series(n), {}, nan_series(n)};
    if (period > n) {
        out.middle = nan_series(n);
        return out;
    }
    out.middle = trend::sma(data, period).value();  // period checked above

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    for (std::size_t i = p - 1; i < n; ++i) {
        const double m = out.middle[i];
        if (std::isnan(m)) continue;
        // Population variance about the moving average, rescanned per window so the sum
        // runs in index order.
        double ss = -0.0;
        for (std::size_t j = i + 1 - p; j <= i; ++j) {
            const double d = data[j] - m;
            ss += d * d;
        }
        const double width = std::sqrt(ss / pf) * std_dev;
        out.upper[i] = m + width;
        out.lower[i] = m - width;
    }
    return out;
}

namespace {

template <bool kMax>
Result<std::vector<double>, CoreError> rolling_extreme(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("period must be at least 1"));
    const std::size_t n = data.size();
    std::vector<double> out = nan_series(n);
    if (period > n) return out;

    // An infinity pointing away from the extreme is the fold's own start value and so
    // never counts as a found value.
    constexpr double kNone = kMax ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
    const auto p = static_cast<std::size_t>(period);
    MonotonicWindow<kMax> window(p + 1);
    for (std::size_t i = 0; i < n; ++i) {
        window.push(i, data[i]);
        if (i + 1 < p) continue;
        window.expire_before(i + 1 - p);
        if (!window.empty() && window.best() != kNone) out[i] = window.best();
    }
    return out;
}

}  // namespace

Result<std::vector<double>, CoreError> rolling_min(std::span<const double> data, std::uint64_t period) {
    return rolling_extreme<false>(data, period);
}

Result<std::vector<double>, CoreError> rolling_max(std::span<const double> data, std::uint64_t period) {
    return rolling_extreme<true>(data, period);
}

}  // namespace tarnwick::indicators::volatility
