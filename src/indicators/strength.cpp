#include "indicators/strength.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "indicators/series.h"

namespace tarnwick::indicators::strength {

namespace {

// Directional movement and true range into bar i (i >= 1). A comparison with NaN is
// false, so missing highs or lows give no movement rather than NaN. The movements are
// selected through bit masks: which side moved more is random from bar to bar, and a
// branch on it would be mispredicted half the time.
struct Movement {
    double plus = 0.0;
    double minus = 0.0;
    double tr = 0.0;
};
inline double keep_if(bool keep, double v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & (std::uint64_t{0} - static_cast<std::uint64_t>(keep)));
}
Movement movement_into(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                       std::size_t i) {
    const double up = high[i] - high[i - 1];
    const double down = low[i - 1] - low[i];
    Movement m;
    m.plus = keep_if((up > 0) & (up > down), up);
    m.minus = keep_if((down > up) & (down > 0), down);
    m.tr = true_range(high, low, close, i);
    return m;
}

double directional_index(double s_plus, double s_minus, double s_tr) {
    if (!(s_tr > 0)) return 0.0;
    const double plus_di = s_plus * 100.0 / s_tr;
    const double minus_di = s_minus * 100.0 / s_tr;
    const double total = plus_di + minus_di;
    if (!(total > 0)) return 0.0;
    return std::fabs(plus_di - minus_di) * 100.0 / total;
}

}  // namespace

Status<CoreError> adx_into(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                           std::uint64_t period, std::span<double> out) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("ADX period must be > 0"));
    check_output(out, n);

    // 2 * period > n, asked without forming 2 * period.
    if (period > n / 2) {
        std::fill(out.begin(), out.end(), kNaN);
        return Unit{};
    }
    // Every value from 2p - 1 on is written below.
    std::fill_n(out.data(), 2 * static_cast<std::size_t>(period) - 1, kNaN);

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double s_plus = -0.0, s_minus = -0.0, s_tr = -0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        const Movement m = movement_into(high, low, close, i);
        s_plus += m.plus;
        s_minus += m.minus;
        s_tr += m.tr;
    }

    // DX from index p on; the first p of them seed the ADX at 2p - 1.
    double dx_sum = -0.0;
    double value = kNaN;
    const double keep = pf - 1.0;
    for (std::size_t i = p; i < n; ++i) {
        if (i > p) {
            const Movement m = movement_into(high, low, close, i);
            s_plus = (s_plus - s_plus / pf) + m.plus;
            s_minus = (s_minus - s_minus / pf) + m.minus;
            s_tr = (s_tr - s_tr / pf) + m.tr;
        }
        const double dx = directional_index(s_plus, s_minus, s_tr);
        if (i < 2 * p - 1) {
            dx_sum += dx;
        } else if (i == 2 * p - 1) {
            dx_sum += dx;
            value = dx_sum / pf;
            out[i] = value;
        } else {
            value = (value * keep + dx) / pf;
            out[i] = value;
        }
    }
    return Unit{};
}

Result<std::vector<double>, CoreError> adx(std::span<const double> high, std::span<const double> low,
                                           std::span<const double> close, std::uint64_t period) {
    return series_from(close.size(), [&](std::span<double> out) { return adx_into(high, low, close, period, out); });
}

Result<std::vector<double>, CoreError> vwap(std::span<const double> high, std::span<const double> low,
                                            std::span<const double> close, std::span<const double> volume) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (volume.size() != n) return err(CoreError::data_length_mismatch(n, volume.size()));

    std::vector<double> out = nan_series(n);
    double cum_pv = 0.0;
    double cum_v = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double tp = ((high[i] + low[i]) + close[i]) / 3.0;
        cum_pv = tp * volume[i] + cum_pv;
        cum_v = cum_v + volume[i];
        if (cum_v > 0) out[i] = cum_pv / cum_v;
    }
    return out;
}

}  // namespace tarnwick::indicators::strength
