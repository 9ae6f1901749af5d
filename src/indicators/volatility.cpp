#include "indicators/volatility.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "indicators/series.h"
#include "indicators/sliding_extreme.h"
#include "indicators/trend.h"

namespace tarnwick::indicators::volatility {

Result<std::vector<double>, CoreError> atr(std::span<const double> high, std::span<const double> low,
                                           std::span<const double> close, std::uint64_t period) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("ATR period must be > 0"));

    if (period >= n) return nan_series(n);

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double seed = -0.0;
    for (std::size_t i = 0; i < p; ++i) seed += true_range(high, low, close, i);
    std::vector<double> out = reserve_series(n);
    out.insert(out.end(), p - 1, kNaN);
    double value = seed / pf;
    out.push_back(value);

    const double k = 1.0 / pf;
    const double keep = 1.0 - k;
    std::size_t next = p;
    append_blocks(out, n - p, [&](double* __restrict block, std::size_t m) __attribute__((noinline)) {
        const std::size_t from = next;
        const double kk = k, kp = keep;
        double v = value;
        for (std::size_t j = 0; j < m; ++j) {
            v = v * kp + true_range(high, low, close, from + j) * kk;
            block[j] = v;
        }
        value = v;
        next = from + m;
    });
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
    auto bands = [&](std::size_t i, double m, double ss) {
        if (std::isnan(m)) return;
        const double width = std::sqrt(ss / pf) * std_dev;
        out.upper[i] = m + width;
        out.lower[i] = m - width;
    };
    // Population variance about the moving average, rescanned per window so each sum
    // runs in index order. Eight neighbouring windows are summed side by side, two per
    // vector register: each lane keeps its own window's order (lane-wise IEEE arithmetic,
    // no fused operations), and the independent sums overlap in the pipeline.
    using V2 = double __attribute__((vector_size(16), aligned(8)));
    auto load2 = [](const double* a) {
        V2 v;
        std::memcpy(&v, a, sizeof v);
        return v;
    };
    const double* x = data.data();
    const double* mid = out.middle.data();
    std::size_t i = p - 1;
    for (; i + 8 <= n; i += 8) {
        const V2 m0 = load2(mid + i), m1 = load2(mid + i + 2), m2 = load2(mid + i + 4), m3 = load2(mid + i + 6);
        V2 s0 = {-0.0, -0.0}, s1 = s0, s2 = s0, s3 = s0;
        const double* w = x + (i + 1 - p);
        for (std::size_t t = 0; t < p; ++t) {
            const V2 d0 = load2(w + t) - m0;
            const V2 d1 = load2(w + t + 2) - m1;
            const V2 d2 = load2(w + t + 4) - m2;
            const V2 d3 = load2(w + t + 6) - m3;
            s0 += d0 * d0;
            s1 += d1 * d1;
            s2 += d2 * d2;
            s3 += d3 * d3;
        }
        const V2 sums[4] = {s0, s1, s2, s3};
        for (std::size_t k = 0; k < 8; ++k) bands(i + k, mid[i + k], sums[k / 2][k % 2]);
    }
    for (; i < n; ++i) {
        const double m = out.middle[i];
        double ss = -0.0;
        for (std::size_t j = i + 1 - p; j <= i; ++j) {
            const double d = x[j] - m;
            ss += d * d;
        }
        bands(i, m, ss);
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
    // never counts as a found value. Equal values: the later one wins (visible only in
    // the sign of a zero), as in a scan that takes every value at least as extreme.
    constexpr double kNone = kMax ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
    auto pick = [](double earlier, double later) {
        if constexpr (kMax) return earlier > later ? earlier : later;
        else return earlier < later ? earlier : later;
    };
    const auto p = static_cast<std::size_t>(period);
    double* o = out.data();
    std::vector<double> scratch;
    if (all_finite(data)) {
        // Without NaN or infinities every window has a value and no element needs a test.
        sliding_extreme<true>(data, p, kNone, scratch, pick, [o](std::size_t i, double v) { o[i] = v; });
    } else {
        sliding_extreme<false>(data, p, kNone, scratch, pick,
                               [o](std::size_t i, double v) { o[i] = v == kNone ? kNaN : v; });
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
