#include "indicators/volatility.h"

#include "indicators/series.h"

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

}  // namespace tarnwick::indicators::volatility
