#include "indicators/volatility.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/simd.h"
#include "indicators/series.h"
#include "indicators/sliding_extreme.h"
#include "indicators/window_extreme.h"

namespace tarnwick::indicators::volatility {

namespace simd = base::simd;

namespace {

struct AtrInputs {
    const double* high;
    const double* low;
    const double* close;
    double k;     // 1 / period
    double keep;  // 1 - k
};

// The recursion over the first bars of from .. from + m - 1 (from >= 1), a multiple of W
// of them, into out, advancing v; returns how many bars were done. The true ranges of W
// bars are computed per vector instruction, their terms compared as max_present does when
// neither operand is NaN, with lane-wise IEEE operations (so bit for bit the scalar
// values); they do not depend on the recursion and so proceed beside it while it waits on
// its own multiply and add, which are then the only work on its path. Returns 0 when a
// term of some bar was NaN: out and v are then not those of true_range, and the block has
// to be redone with it. Only the general scalar loop ever adds a NaN range to a NaN
// average, where the operand order of the instruction decides which NaN is passed on, so
// it also takes the last few bars of a block.
template <int W>
__attribute__((always_inline)) inline std::size_t atr_steps(const AtrInputs& in, std::size_t from, std::size_t m,
                                                            double& v, double* __restrict out) {
    using V = typename VectorLanes<W>::V;
    using M = typename VectorLanes<W>::M;
    const double* __restrict h = in.high;
    const double* __restrict l = in.low;
    const double* __restrict c = in.close;
    const double k = in.k, kp = in.keep;
    V kv;
    M magnitude;
    for (int q = 0; q < W; ++q) {
        kv[q] = k;
        magnitude[q] = std::numeric_limits<std::int64_t>::max();
    }
    M nan_seen = {};
    double a = v;
    std::size_t j = 0;
    for (; j + W <= m; j += W) {
        const std::size_t i = from + j;
        V hi, lo, pc;
        std::memcpy(&hi, h + i, sizeof hi);
        std::memcpy(&lo, l + i, sizeof lo);
        std::memcpy(&pc, c + i - 1, sizeof pc);
        const V hl = hi - lo;
        const V up = (V)((M)(hi - pc) & magnitude);
        const V down = (V)((M)(lo - pc) & magnitude);
        nan_seen |= (hl != hl) | (up != up) | (down != down);
        const V wider = up > hl ? up : hl;
        const V scaled = (down > wider ? down : wider) * kv;
#pragma GCC unroll 4
        for (int q = 0; q < W; ++q) {
            a = a * kp + scaled[q];
            out[j + q] = a;
        }
    }
    M any = nan_seen;
    for (int q = 1; q < W; ++q) any[0] |= any[q];
    v = a;
    return any[0] == 0 ? j : 0;
}

using AtrBlock = std::size_t (*)(const AtrInputs&, std::size_t, std::size_t, double&, double*);

std::size_t atr_block_sse2(const AtrInputs& in, std::size_t from, std::size_t m, double& v, double* out) {
    return atr_steps<2>(in, from, m, v, out);
}

__attribute__((target("avx2"))) std::size_t atr_block_avx2(const AtrInputs& in, std::size_t from, std::size_t m,
                                                           double& v, double* out) {
    return atr_steps<4>(in, from, m, v, out);
}

}  // namespace

Status<CoreError> atr_into(std::span<const double> high, std::span<const double> low,
                           std::span<const double> close, std::uint64_t period, std::span<double> out) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("ATR period must be > 0"));
    check_output(out, n);

    if (period >= n) {
        std::fill(out.begin(), out.end(), kNaN);
        return Unit{};
    }

    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double seed = -0.0;
    for (std::size_t i = 0; i < p; ++i) seed += true_range(high, low, close, i);
    std::fill_n(out.data(), p - 1, kNaN);
    double value = seed / pf;
    out[p - 1] = value;

    // The recursion is bound by the latency of its multiply and add; everything else is
    // kept off its path (see atr_steps). A block where some term is NaN is redone in the
    // general, NaN-aware form.
    static const AtrBlock block_fn = simd::select(simd::widest_isa(), atr_block_sse2, atr_block_avx2);
    const double k = 1.0 / pf;
    const AtrInputs in{high.data(), low.data(), close.data(), k, 1.0 - k};
    std::size_t next = p;
    write_blocks(out.data() + p, n - p, [&](double* __restrict block, std::size_t m) __attribute__((noinline)) {
        const std::size_t from = next;
        double v = value;
        const std::size_t done = block_fn(in, from, m, v, block);
        if (done == 0) v = value;
        const double kk = in.k, kp = in.keep;
        for (std::size_t j = done; j < m; ++j) {
            v = v * kp + true_range(high, low, close, from + j) * kk;
            block[j] = v;
        }
        value = v;
        next = from + m;
    });
    return Unit{};
}

Result<std::vector<double>, CoreError> atr(std::span<const double> high, std::span<const double> low,
                                           std::span<const double> close, std::uint64_t period) {
    return series_from(close.size(), [&](std::span<double> out) { return atr_into(high, low, close, period, out); });
}

namespace {

// The four-wide code is only ever inlined into the AVX2 entry point below, so no AVX value
// crosses a call boundary and the ABI note GCC gives for it does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// Squared deviations of whole windows about their moving average, W neighbouring windows
// per vector and four vectors side by side. Each lane sums its own window in index order
// from -0, with lane-wise IEEE operations (no contraction into fused multiply-adds), so a
// lane computes exactly what a scalar loop over its window computes; the independent sums
// only overlap in the pipeline. The variance, root and bands are lane-wise too.
using V2 = double __attribute__((vector_size(16), aligned(8)));
using V4 = double __attribute__((vector_size(32), aligned(8)));

template <int W>
struct Lanes;
template <>
struct Lanes<2> {
    using V = V2;
    static V splat(double d) { return V{d, d}; }
    static V sqrt(V v) { return (V)_mm_sqrt_pd((__m128d)v); }
    // v, or the NaN marker where m is NaN.
    static V unless_nan(V m, V v) {
        const __m128d nan = _mm_cmpunord_pd((__m128d)m, (__m128d)m);
        return (V)_mm_or_pd(_mm_and_pd(nan, _mm_set1_pd(kNaN)), _mm_andnot_pd(nan, (__m128d)v));
    }
    static V load(const double* a) { return (V)_mm_loadu_pd(a); }
    static void store(double* a, V v) { _mm_storeu_pd(a, (__m128d)v); }
};
template <>
struct Lanes<4> {
    using V = V4;
    __attribute__((target("avx2"))) static V splat(double d) { return V{d, d, d, d}; }
    __attribute__((target("avx2"))) static V sqrt(V v) { return (V)_mm256_sqrt_pd((__m256d)v); }
    __attribute__((target("avx2"))) static V unless_nan(V m, V v) {
        return (V)_mm256_blendv_pd((__m256d)v, _mm256_set1_pd(kNaN), _mm256_cmp_pd((__m256d)m, (__m256d)m, _CMP_UNORD_Q));
    }
    __attribute__((target("avx2"))) static V load(const double* a) { return (V)_mm256_loadu_pd(a); }
    __attribute__((target("avx2"))) static void store(double* a, V v) { _mm256_storeu_pd(a, (__m256d)v); }
};

// Scalar band of window i about mean mv; a NaN mean gives the NaN marker.
inline void band_one(const double* x, std::size_t p, double pf, double std_dev, std::size_t i, double mv, double& up,
                     double& lo) {
    if (std::isnan(mv)) {
        up = kNaN;
        lo = kNaN;
        return;
    }
    double ss = -0.0;
    for (std::size_t t = i + 1 - p; t <= i; ++t) {
        const double d = x[t] - mv;
        ss += d * d;
    }
    const double width = std::sqrt(ss / pf) * std_dev;
    up = mv + width;
    lo = mv - width;
}

// Moving average and bands of the windows ending at first .. first + m - 1 (first >= p),
// into mid/up/lo[0 .. m); sum carries the running window sum of the window before first
// in and that of the last window out. The average is the sma recursion, which waits on
// its own latency; the squared deviations are pure throughput. The recursion for the
// next group of windows is therefore spread over the deviation loop of the current group,
// so both proceed at once.
template <int W>
__attribute__((always_inline)) inline void band_block(const double* x, std::size_t p, double pf, double std_dev,
                                                      double& sum, std::size_t first, std::size_t m, double* mid,
                                                      double* up, double* lo) {
    using L = Lanes<W>;
    using V = typename L::V;
    constexpr std::size_t kGroup = 4 * W;
    const V vpf = L::splat(pf);
    const V vk = L::splat(std_dev);
    double s = sum;
    std::size_t made = 0;  // averages computed so far
    auto step = [&] {
        const std::size_t i = first + made;
        s = (s - x[i - p]) + x[i];
        mid[made++] = s / pf;
    };
    const std::size_t groups = m / kGroup;
    if (groups > 0) {
        for (std::size_t k = 0; k < kGroup; ++k) step();
    }
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t j = g * kGroup;
        const std::size_t i = first + j;
        const bool more = g + 1 < groups;
        const V m0 = L::load(mid + j), m1 = L::load(mid + j + W), m2 = L::load(mid + j + 2 * W),
                m3 = L::load(mid + j + 3 * W);
        V s0 = L::splat(-0.0), s1 = s0, s2 = s0, s3 = s0;
        const double* w = x + (i + 1 - p);
        std::size_t pending = more ? kGroup : 0;
        for (std::size_t t = 0; t < p; ++t) {
            const V d0 = L::load(w + t) - m0;
            const V d1 = L::load(w + t + W) - m1;
            const V d2 = L::load(w + t + 2 * W) - m2;
            const V d3 = L::load(w + t + 3 * W) - m3;
            s0 += d0 * d0;
            s1 += d1 * d1;
            s2 += d2 * d2;
            s3 += d3 * d3;
            if (pending > 0) {
                step();
                --pending;
            }
        }
        for (; pending > 0; --pending) step();
        const V ms[4] = {m0, m1, m2, m3};
        const V ss[4] = {s0, s1, s2, s3};
        for (int q = 0; q < 4; ++q) {
            const V width = L::sqrt(ss[q] / vpf) * vk;
            L::store(up + j + q * W, L::unless_nan(ms[q], ms[q] + width));
            L::store(lo + j + q * W, L::unless_nan(ms[q], ms[q] - width));
        }
    }
    for (std::size_t j = groups * kGroup; j < m; ++j) {
        step();
        band_one(x, p, pf, std_dev, first + j, mid[j], up[j], lo[j]);
    }
    sum = s;
}

using BandBlock = void (*)(const double*, std::size_t, double, double, double&, std::size_t, std::size_t, double*,
                           double*, double*);

void band_block_sse2(const double* x, std::size_t p, double pf, double std_dev, double& sum, std::size_t first,
                     std::size_t m, double* mid, double* up, double* lo) {
    band_block<2>(x, p, pf, std_dev, sum, first, m, mid, up, lo);
}

__attribute__((target("avx2"))) void band_block_avx2(const double* x, std::size_t p, double pf, double std_dev,
                                                     double& sum, std::size_t first, std::size_t m, double* mid,
                                                     double* up, double* lo) {
    band_block<4>(x, p, pf, std_dev, sum, first, m, mid, up, lo);
}

}  // namespace

Status<CoreError> bollinger_into(std::span<const double> data, std::uint64_t period, double std_dev,
                                 std::span<double> upper, std::span<double> middle, std::span<double> lower) {
    if (period == 0) return err(CoreError::invalid_parameter("Bollinger Bands period must be > 0"));
    if (std_dev <= 0.0) return err(CoreError::invalid_parameter("Bollinger Bands std_dev must be > 0"));

    const std::size_t n = data.size();
    check_output(upper, n);
    check_output(middle, n);
    check_output(lower, n);
    if (period > n) {
        for (std::span<double> band : {upper, middle, lower}) std::fill(band.begin(), band.end(), kNaN);
        return Unit{};
    }

    // The middle band is the sma (same running sum, same division); the variance is taken
    // about it, each window summed afresh in index order (a running sum of squares would
    // round differently). A NaN average gives the NaN marker in both bands.
    // Wider vectors only change how many windows are summed at once, never a window's result.
    static const BandBlock band = simd::select(simd::widest_isa(), band_block_sse2, band_block_avx2);
    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    const double* x = data.data();
    for (std::span<double> b : {upper, middle, lower}) std::fill_n(b.data(), p - 1, kNaN);
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) sum += x[i];
    middle[p - 1] = sum / pf;
    band_one(x, p, pf, std_dev, p - 1, middle[p - 1], upper[p - 1], lower[p - 1]);
    for (std::size_t first = p; first < n;) {
        const std::size_t m = std::min(kAppendBlock, n - first);
        band(x, p, pf, std_dev, sum, first, m, middle.data() + first, upper.data() + first, lower.data() + first);
        first += m;
    }
    return Unit{};
}

Result<BollingerSeries, CoreError> bollinger_bands(std::span<const double> data, std::uint64_t period,
                                                   double std_dev) {
    const std::size_t n = data.size();
    BollingerSeries out{output_series(n), output_series(n), output_series(n)};
    if (auto done = bollinger_into(data, period, std_dev, out.upper, out.middle, out.lower); !done) {
        return err(std::move(done).error());
    }
    return out;
}

namespace {

template <bool kMax>
Result<std::vector<double>, CoreError> rolling_extreme(std::span<const double> data, std::uint64_t period) {
    if (period == 0) return err(CoreError::invalid_parameter("period must be at least 1"));
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);
    // Every window from p - 1 on is written below; see append_blocks for the zero fill.
    std::vector<double> out = reserve_series(n);
    out.resize(n);
    std::fill_n(out.data(), static_cast<std::size_t>(period) - 1, kNaN);
    if (period <= kWindowExtremeMaxPeriod) {
        window_extremes<kMax>(data, static_cast<std::size_t>(period), out);
        return out;
    }

    // Longer windows: the block method, with the same results. An infinity pointing away
    // from the extreme is the fold's own start value and so never counts as a found
    // value. Equal values: the later one wins (visible only in the sign of a zero), as in
    // a scan that takes every value at least as extreme.
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
