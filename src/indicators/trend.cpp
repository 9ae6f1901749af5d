#include "indicators/trend.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/format.h"
#include "base/simd.h"
#include "indicators/series.h"

namespace tarnwick::indicators::trend {

namespace simd = base::simd;

namespace {

using V2 = double __attribute__((vector_size(16), aligned(8)));

// Mean of data[0 .. period), summed left to right from negative zero.
double seed_mean(std::span<const double> data, std::size_t period) {
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += data[i];
    return sum / static_cast<double>(period);
}

// Supertrend steps for bars from .. from + m - 1 (from >= 1). Each step is written as
// mask selections rather than branches, which band moves and whether the trend flips
// changing at random from bar to bar. The masks stay in vector registers, where a round
// trip through integer registers would lengthen the band recursions; only the low lane
// carries a value. The comparisons are false for NaN exactly as the scalar ones are.
struct TrendInputs {
    const double* high;
    const double* low;
    const double* close;
    double k;       // 1 / period
    double keep;    // 1 - k
    double multiplier;
};
struct TrendState {
    double atr;
    __m128d upper;
    __m128d lower;
    __m128d rising;  // all ones while the trend rides the lower band
};

// mask ? a : b per lane, mask lanes being all ones or all zeros.
inline __m128d select_and_or(__m128d mask, __m128d a, __m128d b) {
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}
__attribute__((target("avx2"))) inline __m128d select_blend(__m128d mask, __m128d a, __m128d b) {
    return _mm_blendv_pd(b, a, mask);
}

template <bool kBlend>
__attribute__((always_inline)) inline void trend_steps(const TrendInputs& in, std::size_t from, std::size_t m,
                                                       TrendState& st, double* __restrict value,
                                                       std::int8_t* __restrict direction) {
    auto select = [](__m128d mask, __m128d a, __m128d b) __attribute__((always_inline)) {
        if constexpr (kBlend) return select_blend(mask, a, b);
        else return select_and_or(mask, a, b);
    };
    const double* __restrict h = in.high;
    const double* __restrict l = in.low;
    const double* __restrict c = in.close;
    const double kk = in.k, kp = in.keep, mult = in.multiplier;
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d mult_v = _mm_set1_pd(mult);
    const __m128d nan_v = _mm_set1_pd(kNaN);
    double a = st.atr;
    __m128d fu = st.upper, fl = st.lower, up = st.rising;
    double pc = c[from - 1];
    for (std::size_t j = 0; j < m; ++j) {
        const std::size_t i = from + j;
        // The atr kernel's true range and recursion, with its arithmetic.
        const double hi = h[i], lo = l[i], cl = c[i];
        const double tr = max_present(max_present(hi - lo, std::fabs(hi - pc)), std::fabs(lo - pc));
        a = a * kp + tr * kk;
        const __m128d hl2 = _mm_mul_pd(_mm_add_pd(_mm_load_sd(h + i), _mm_load_sd(l + i)), half);
        // A missing ATR gives the NaN marker as basic bands.
        const __m128d atr_v = _mm_set_sd(a);
        const __m128d no_atr = _mm_cmpunord_pd(atr_v, atr_v);
        const __m128d width = _mm_mul_pd(atr_v, mult_v);
        const __m128d basic_upper = select(no_atr, nan_v, _mm_add_pd(hl2, width));
        const __m128d basic_lower = select(no_atr, nan_v, _mm_sub_pd(hl2, width));
        // A band only tightens while the previous close stayed on its side of it; a
        // missing band, close or basic band resets it to the basic band.
        const __m128d prev = _mm_load_sd(c + i - 1);
        const __m128d keep_upper = _mm_and_pd(_mm_cmple_pd(prev, fu), _mm_cmple_pd(fu, basic_upper));
        fu = select(keep_upper, fu, basic_upper);
        const __m128d keep_lower = _mm_and_pd(_mm_cmple_pd(fl, prev), _mm_cmple_pd(basic_lower, fl));
        fl = select(keep_lower, fl, basic_lower);
        // Rising stays rising unless the close falls below the lower band; falling turns
        // rising once the close is above the upper band.
        const __m128d close_now = _mm_load_sd(c + i);
        up = select(up, _mm_cmpnlt_pd(close_now, fl), _mm_cmplt_pd(fu, close_now));
        direction[i] = static_cast<std::int8_t>(2 * (_mm_movemask_pd(up) & 1) - 1);
        value[j] = _mm_cvtsd_f64(select(up, fl, fu));
        pc = cl;
    }
    st.atr = a;
    st.upper = fu;
    st.lower = fl;
    st.rising = up;
}

using TrendBlock = void (*)(const TrendInputs&, std::size_t, std::size_t, TrendState&, double*, std::int8_t*);

void trend_block_sse2(const TrendInputs& in, std::size_t from, std::size_t m, TrendState& st, double* value,
                      std::int8_t* direction) {
    trend_steps<false>(in, from, m, st, value, direction);
}

// The same operations in the three-operand encoding, which saves the register copies,
// and with blends for the selections.
__attribute__((target("avx2"))) void trend_block_avx2(const TrendInputs& in, std::size_t from, std::size_t m,
                                                      TrendState& st, double* value, std::int8_t* direction) {
    trend_steps<true>(in, from, m, st, value, direction);
}

// The start the moving averages share: period 0 refused ("{name} period must be > 0"),
// the output all NaN when the period is longer than the data, else its first period - 1
// elements. The period as a count when values remain to be computed.
Result<std::optional<std::size_t>, CoreError> warm_up(std::string_view name, std::span<const double> data,
                                                      std::uint64_t period, std::span<double> out) {
    if (period == 0) return err(CoreError::invalid_parameter(base::fmt::format("{} period must be > 0", name)));
    check_output(out, data.size());
    if (period > data.size()) {
        std::fill(out.begin(), out.end(), kNaN);
        return std::optional<std::size_t>();
    }
    const auto p = static_cast<std::size_t>(period);
    std::fill_n(out.data(), p - 1, kNaN);
    return std::optional<std::size_t>(p);
}

}  // namespace

Status<CoreError> sma_into(std::span<const double> data, std::uint64_t period, std::span<double> out) {
    auto warm = warm_up("SMA", data, period, out);
    if (!warm) return err(std::move(warm).error());
    if (!*warm) return Unit{};
    const std::size_t p = **warm;
    const std::size_t n = data.size();
    const double pf = static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) sum += data[i];
    out[p - 1] = sum / pf;
    const double* x = data.data();
    auto fill = [&sum, &x, p, pf](double* __restrict block, std::size_t m) __attribute__((noinline)) {
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
    };
    write_blocks(out.data() + p, n - p, fill);
    return Unit{};
}

Result<std::vector<double>, CoreError> sma(std::span<const double> data, std::uint64_t period) {
    return series_from(data.size(), [&](std::span<double> out) { return sma_into(data, period, out); });
}

Status<CoreError> ema_into(std::span<const double> data, std::uint64_t period, std::span<double> out) {
    auto warm = warm_up("EMA", data, period, out);
    if (!warm) return err(std::move(warm).error());
    if (!*warm) return Unit{};
    const std::size_t p = **warm;
    const std::size_t n = data.size();
    double value = seed_mean(data, p);
    out[p - 1] = value;
    const double alpha = ema_alpha(period);
    const double keep = 1.0 - alpha;
    const double* x = data.data() + p;
    write_blocks(out.data() + p, n - p, [&value, &x, keep, alpha](double* __restrict block, std::size_t m) __attribute__((noinline)) {
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
    return Unit{};
}

Result<std::vector<double>, CoreError> ema(std::span<const double> data, std::uint64_t period) {
    return series_from(data.size(), [&](std::span<double> out) { return ema_into(data, period, out); });
}

Result<SupertrendSeries, CoreError> supertrend(std::span<const double> high, std::span<const double> low,
                                               std::span<const double> close, std::uint64_t period,
                                               double multiplier) {
    const std::size_t n = close.size();
    if (high.size() != n) return err(CoreError::data_length_mismatch(n, high.size()));
    if (low.size() != n) return err(CoreError::data_length_mismatch(n, low.size()));
    if (period == 0) return err(CoreError::invalid_parameter("Supertrend period must be > 0"));

    if (period >= n) return SupertrendSeries{nan_series(n), std::vector<std::int8_t>(n, 0)};

    // The ATR recursion runs inline, with the arithmetic of the atr kernel: its latency
    // then hides the band updates instead of adding to them, and no ATR series is kept.
    const auto p = static_cast<std::size_t>(period);
    const double pf = static_cast<double>(period);
    double seed = -0.0;
    for (std::size_t i = 0; i < p; ++i) seed += true_range(high, low, close, i);
    double atr = seed / pf;
    const double k = 1.0 / pf;
    const double keep = 1.0 - k;

    SupertrendSeries out{reserve_series(n), std::vector<std::int8_t>(n, 0)};
    out.value.insert(out.value.end(), p - 1, kNaN);
    // A missing ATR gives the NaN marker as basic bands.
    const std::size_t first = p - 1;
    const double hl2 = (high[first] + low[first]) * 0.5;
    double final_upper = std::isnan(atr) ? kNaN : hl2 + atr * multiplier;
    double final_lower = std::isnan(atr) ? kNaN : hl2 - atr * multiplier;
    std::int8_t dir = final_upper >= close[first] ? -1 : 1;
    out.direction[first] = dir;
    out.value.push_back(dir == 1 ? final_lower : final_upper);

    TrendState state{atr, _mm_set_sd(final_upper), _mm_set_sd(final_lower),
                     _mm_castsi128_pd(_mm_set1_epi64x(dir == 1 ? -1 : 0))};
    static const TrendBlock block_fn = simd::select(simd::widest_isa(), trend_block_sse2, trend_block_avx2);
    const TrendInputs in{high.data(), low.data(), close.data(), k, keep, multiplier};
    // The rest is zero-filled in one go (see append_blocks) and written in place.
    out.value.resize(n);
    for (std::size_t next = p; next < n;) {
        const std::size_t m = std::min(kAppendBlock, n - next);
        block_fn(in, next, m, state, out.value.data() + next, out.direction.data());
        next += m;
    }
    return out;
}

}  // namespace tarnwick::indicators::trend
