#include "indicators/window_extreme.h"

#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "base/fault.h"
#include "base/simd.h"

namespace tarnwick::indicators {

using base::fault;

namespace {

// The AVX2 lanes are only ever inlined into the AVX2 entry point below, so no AVX value
// crosses a call boundary and the ABI note GCC gives for them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Windows per chunk; with the longest period the level buffer takes 10 KiB.
constexpr std::size_t kChunk = 1024;
// Runs per level, and at most this many runs per window: a period up to eight times the
// run width is served by the runs of that width, a longer one by the next level.
constexpr std::size_t kLevelRuns = 4;
constexpr std::size_t kMaxRuns = 8;

// The fold step of the scan, between the folds of an earlier and a later run: a tie goes
// to the later one, and a NaN earlier operand yields the later one. The vector maximum
// and minimum instructions answer exactly so, lane by lane.
template <bool kMax>
inline double pick(double earlier, double later) {
    if constexpr (kMax) return earlier > later ? earlier : later;
    else return earlier < later ? earlier : later;
}

struct Sse2 {
    using V = __m128d;
    static constexpr std::size_t kWidth = 2;
    template <bool kMax>
    static V pick(V earlier, V later) {
        if constexpr (kMax) return _mm_max_pd(earlier, later);
        else return _mm_min_pd(earlier, later);
    }
    static V load(const double* a) { return _mm_loadu_pd(a); }
    static void store(double* a, V v) { _mm_storeu_pd(a, v); }
    static V splat(double d) { return _mm_set1_pd(d); }
    // v, or NaN where v is `none`.
    static V none_as_nan(V v, V none) {
        const V is_none = _mm_cmpeq_pd(v, none);
        return _mm_or_pd(_mm_and_pd(is_none, _mm_set1_pd(kNaN)), _mm_andnot_pd(is_none, v));
    }
};

struct Avx2 {
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    template <bool kMax>
    __attribute__((target("avx2"))) static V pick(V earlier, V later) {
        if constexpr (kMax) return _mm256_max_pd(earlier, later);
        else return _mm256_min_pd(earlier, later);
    }
    __attribute__((target("avx2"))) static V load(const double* a) { return _mm256_loadu_pd(a); }
    __attribute__((target("avx2"))) static void store(double* a, V v) { _mm256_storeu_pd(a, v); }
    __attribute__((target("avx2"))) static V splat(double d) { return _mm256_set1_pd(d); }
    __attribute__((target("avx2"))) static V none_as_nan(V v, V none) {
        return _mm256_blendv_pd(v, _mm256_set1_pd(kNaN), _mm256_cmp_pd(v, none, _CMP_EQ_OQ));
    }
};

// d[t] = fold of s[t + offsets[0]], ..., s[t + offsets[K - 1]] for t < m, where the terms
// are folds of runs that start in increasing order and together leave no gap. Folding
// from the last term back, each pick has the earlier run first: a run that overlaps the
// later ones can only win with an extreme lying before them, so the latest equal extreme
// is kept either way. The fold starts from `none`, never NaN, so a NaN term is passed
// over. With kOut, `none` (no value in the window) becomes NaN.
template <class L, bool kMax, std::size_t K, bool kOut>
__attribute__((always_inline)) inline void fold_runs(const double* s, const std::size_t* offsets, std::size_t m,
                                                     double* d) {
    using V = typename L::V;
    constexpr double kNone = kMax ? -kInf : kInf;
    std::size_t off[K];
    for (std::size_t k = 0; k < K; ++k) off[k] = offsets[k];
    const V none = L::splat(kNone);
    std::size_t t = 0;
    for (; t + L::kWidth <= m; t += L::kWidth) {
        V r = none;
#pragma GCC unroll 8
        for (std::size_t q = 0; q < K; ++q) r = L::template pick<kMax>(L::load(s + t + off[K - 1 - q]), r);
        if constexpr (kOut) r = L::none_as_nan(r, none);
        L::store(d + t, r);
    }
    for (; t < m; ++t) {
        double r = kNone;
        for (std::size_t q = 0; q < K; ++q) r = pick<kMax>(s[t + off[K - 1 - q]], r);
        if constexpr (kOut) r = r == kNone ? kNaN : r;
        d[t] = r;
    }
}

template <class L, bool kMax>
__attribute__((always_inline)) inline void window_extremes_with(const double* x, std::size_t n, std::size_t p,
                                                                double* out) {
    // Levels of runs of width 4, 16, ... until the window is at most kMaxRuns runs wide;
    // the window's last run is placed to end with it and so may overlap its neighbour.
    std::size_t levels = 0;
    std::size_t width = 1;
    while (p > kMaxRuns * width) {
        ++levels;
        width *= kLevelRuns;
    }
    const std::size_t runs = (p + width - 1) / width;
    std::size_t off[kMaxRuns];
    for (std::size_t k = 0; k + 1 < runs; ++k) off[k] = k * width;
    off[runs - 1] = p - width;

    double buf[kChunk + kWindowExtremeMaxPeriod];
    for (std::size_t first = p - 1; first < n; first += kChunk) {
        const std::size_t m = std::min(n - first, kChunk);
        // The chunk's windows cover x[first + 1 - p .. first + m); each level leaves the
        // runs that fit in it, at the index of their first element.
        const double* src = x + (first + 1 - p);
        std::size_t count = m + p - 1;
        std::size_t w = 1;
        for (std::size_t level = 0; level < levels; ++level) {
            const std::size_t run_off[kLevelRuns] = {0, w, 2 * w, 3 * w};
            count -= 3 * w;
            fold_runs<L, kMax, kLevelRuns, false>(src, run_off, count, buf);
            src = buf;
            w *= kLevelRuns;
        }
        double* d = out + first;
        switch (runs) {
            case 1: fold_runs<L, kMax, 1, true>(src, off, m, d); break;
            case 2: fold_runs<L, kMax, 2, true>(src, off, m, d); break;
            case 3: fold_runs<L, kMax, 3, true>(src, off, m, d); break;
            case 4: fold_runs<L, kMax, 4, true>(src, off, m, d); break;
            case 5: fold_runs<L, kMax, 5, true>(src, off, m, d); break;
            case 6: fold_runs<L, kMax, 6, true>(src, off, m, d); break;
            case 7: fold_runs<L, kMax, 7, true>(src, off, m, d); break;
            default: fold_runs<L, kMax, kMaxRuns, true>(src, off, m, d); break;
        }
    }
}

template <bool kMax>
void sse2_kernel(const double* x, std::size_t n, std::size_t p, double* out) {
    window_extremes_with<Sse2, kMax>(x, n, p, out);
}

template <bool kMax>
__attribute__((target("avx2"))) void avx2_kernel(const double* x, std::size_t n, std::size_t p, double* out) {
    window_extremes_with<Avx2, kMax>(x, n, p, out);
}

void check_arguments(std::span<const double> x, std::size_t period, std::span<double> out) {
    if (period == 0 || period > x.size() || period > kWindowExtremeMaxPeriod) {
        fault("window extreme period out of range");
    }
    if (out.size() != x.size()) fault("window extreme output length differs from the input length");
}

}  // namespace

template <bool kMax>
void window_extremes(std::span<const double> x, std::size_t period, std::span<double> out) {
    check_arguments(x, period, out);
    // Wider vectors only change how many windows are folded at once, never a result.
    static const auto kernel = base::simd::select(base::simd::widest_isa(), sse2_kernel<kMax>, avx2_kernel<kMax>);
    kernel(x.data(), x.size(), period, out.data());
}

template void window_extremes<true>(std::span<const double>, std::size_t, std::span<double>);
template void window_extremes<false>(std::span<const double>, std::size_t, std::span<double>);

}  // namespace tarnwick::indicators
