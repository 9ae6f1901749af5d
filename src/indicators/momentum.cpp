#include "indicators/momentum.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/simd.h"
#include "indicators/series.h"
#include "indicators/sliding_extreme.h"
#include "indicators/trend.h"

namespace tarnwick::indicators::momentum {

namespace simd = base::simd;

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
// Selected through a bit mask rather than a branch: prices move up and down at random,
// so a branch on the direction would be mispredicted half the time.
Move move_into(std::span<const double> data, std::size_t i) {
    const double d = data[i] - data[i - 1];
    const std::uint64_t up = std::uint64_t{0} - static_cast<std::uint64_t>(d > 0);
    return {std::bit_cast<double>(std::bit_cast<std::uint64_t>(d) & up),
            std::bit_cast<double>(std::bit_cast<std::uint64_t>(-d) & ~up)};
}

// Wilder averages of gains and losses and the RSI of bars from .. from + m - 1 into
// out[0 .. m). W steps of the recursion are taken one after the other, then the W ratios
// and values are computed as vectors: the two divisions per value would otherwise keep
// the divider busier than the recursion keeps anything else. Lane-wise IEEE arithmetic
// gives each value exactly as a scalar evaluation would. The ratio is +inf where the
// loss average is 0, which the value formula turns into exactly 100.
struct RsiState {
    double gain;
    double loss;
};

template <int W>
__attribute__((always_inline)) inline void rsi_steps(const double* x, std::size_t from, std::size_t m, double k,
                                                     double keep, RsiState& st, double* __restrict out) {
    using V = typename VectorLanes<W>::V;
    using M = typename VectorLanes<W>::M;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::span<const double> data(x, from + m);
    V inf;
    for (int q = 0; q < W; ++q) inf[q] = kInf;
    double g = st.gain, l = st.loss;
    std::size_t j = 0;
    for (; j + W <= m; j += W) {
        double ga[W], la[W];
#pragma GCC unroll 4
        for (int q = 0; q < W; ++q) {
            const Move mv = move_into(data, from + j + q);
            g = g * keep + mv.gain * k;
            l = l * keep + mv.loss * k;
            ga[q] = g;
            la[q] = l;
        }
        // Built from registers; a store of the steps and a wide reload would stall.
        V gv, lv;
        if constexpr (W == 4) {
            gv = V{ga[0], ga[1], ga[2], ga[3]};
            lv = V{la[0], la[1], la[2], la[3]};
        } else {
            gv = V{ga[0], ga[1]};
            lv = V{la[0], la[1]};
        }
        const V ratio = gv / lv;
        const M flat = lv == 0.0;
        const V r = (V)(((M)inf & flat) | ((M)ratio & ~flat));
        const V value = 100.0 - 100.0 / (1.0 + r);
        std::memcpy(out + j, &value, sizeof value);
    }
    for (; j < m; ++j) {
        const Move mv = move_into(data, from + j);
        g = g * keep + mv.gain * k;
        l = l * keep + mv.loss * k;
        const double r = l == 0.0 ? kInf : g / l;
        out[j] = 100.0 - 100.0 / (1.0 + r);
    }
    st.gain = g;
    st.loss = l;
}

using RsiBlock = void (*)(const double*, std::size_t, std::size_t, double, double, RsiState&, double*);

void rsi_block_sse2(const double* x, std::size_t from, std::size_t m, double k, double keep, RsiState& st,
                    double* out) {
    rsi_steps<2>(x, from, m, k, keep, st, out);
}

// Four lanes per division where the CPU has them.
__attribute__((target("avx2"))) void rsi_block_avx2(const double* x, std::size_t from, std::size_t m, double k,
                                                   double keep, RsiState& st, double* out) {
    rsi_steps<4>(x, from, m, k, keep, st, out);
}

// The MACD line and histogram, the NaN marker where an operand is missing.
inline double line_of(double fast, double slow) {
    return !std::isnan(fast) && !std::isnan(slow) ? fast - slow : kNaN;
}
inline double histogram_of(double line, double signal) {
    return !std::isnan(line) && !std::isnan(signal) ? line - signal : kNaN;
}

// The three MACD recursions from one bar to the next: the fast and slow averages (the
// ema kernel's arithmetic) and the signal average of their difference.
struct MacdRates {
    double fast_alpha, fast_keep, slow_alpha, slow_keep, signal_alpha, signal_keep;
};
struct MacdState {
    double fast, slow, signal;
};

// Line, signal and histogram of the m bars at x[0 .. m) into mb, sb, hb, in general:
// NaN markers where an operand is missing, and from the first missing line value on
// (`missing` on entry, the result on return) a missing signal.
__attribute__((noinline)) bool macd_steps(const MacdRates& r, const double* __restrict x, std::size_t m,
                                          MacdState& st, bool missing, double* __restrict mb,
                                          double* __restrict sb, double* __restrict hb) {
    double f = st.fast, sl = st.slow, sg = st.signal;
    bool gone = missing;
    for (std::size_t j = 0; j < m; ++j) {
        f = f * r.fast_keep + x[j] * r.fast_alpha;
        sl = sl * r.slow_keep + x[j] * r.slow_alpha;
        const double line = line_of(f, sl);
        sg = sg * r.signal_keep + line * r.signal_alpha;
        gone = gone || std::isnan(line);
        const double shown = gone ? kNaN : sg;
        mb[j] = line;
        sb[j] = shown;
        hb[j] = histogram_of(line, shown);
    }
    st = {f, sl, sg};
    return gone;
}

// The same for a stretch without any NaN, where no marker is selected and the line feeds
// the signal directly: only the three recursions and the stores remain, so the loop keeps
// pace with the latency of the recursions. Every histogram value is summed as it is
// stored; a NaN line or signal makes that sum NaN, and false is returned, the outputs and
// state then to be redone by macd_steps. (The sum also turns NaN on an overflow or an
// infinite histogram, which only costs that redo.)
__attribute__((always_inline)) inline bool macd_present_steps(const MacdRates& r, const double* __restrict x,
                                                              std::size_t m, MacdState& st, double* __restrict mb,
                                                              double* __restrict sb, double* __restrict hb) {
    const double fa = r.fast_alpha, fk = r.fast_keep, sa = r.slow_alpha, sk = r.slow_keep, ga = r.signal_alpha,
                 gk = r.signal_keep;
    double f = st.fast, sl = st.slow, sg = st.signal;
    double check = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        f = f * fk + x[j] * fa;
        sl = sl * sk + x[j] * sa;
        const double line = f - sl;
        sg = sg * gk + line * ga;
        const double hist = line - sg;
        mb[j] = line;
        sb[j] = sg;
        hb[j] = hist;
        check += hist;
    }
    st = {f, sl, sg};
    return !std::isnan(check);
}

using MacdBlock = bool (*)(const MacdRates&, const double*, std::size_t, MacdState&, double*, double*, double*);

bool macd_present_sse2(const MacdRates& r, const double* x, std::size_t m, MacdState& st, double* mb, double* sb,
                       double* hb) {
    return macd_present_steps(r, x, m, st, mb, sb, hb);
}

// The same operations in the three-operand encoding, which saves the register copies.
__attribute__((target("avx2"))) bool macd_present_avx2(const MacdRates& r, const double* x, std::size_t m,
                                                       MacdState& st, double* mb, double* sb, double* hb) {
    return macd_present_steps(r, x, m, st, mb, sb, hb);
}

// The fast and slow averages at bar sp - 1, where the slow seed completes: each seeded
// with the mean of its first period values (summed from -0), then prev * keep + x * alpha
// as the ema kernel computes it. The signal is left to the caller.
MacdState averages_at_slow_seed(std::span<const double> data, std::size_t fp, std::size_t sp, const MacdRates& r) {
    double fast_ema = -0.0;  // the seed sum until the average exists
    double slow_ema = -0.0;
    for (std::size_t i = 0; i < fp; ++i) {
        fast_ema += data[i];
        slow_ema += data[i];
    }
    fast_ema = fast_ema / static_cast<double>(fp);
    for (std::size_t i = fp; i + 1 < sp; ++i) {
        fast_ema = fast_ema * r.fast_keep + data[i] * r.fast_alpha;
        slow_ema += data[i];
    }
    // The fast average moves on to bar sp - 1 too.
    fast_ema = fast_ema * r.fast_keep + data[sp - 1] * r.fast_alpha;
    slow_ema = (slow_ema + data[sp - 1]) / static_cast<double>(sp);
    return {fast_ema, slow_ema, 0.0};
}

// The line values that seed the signal: their sum from +0 in index order, NaN skipped,
// and how many were present.
struct LineSeed {
    double sum = 0.0;
    std::uint64_t count = 0;
};

// The line from bar sp - 1 (whose averages st holds) up to bar end - 1 into out,
// advancing the averages in st.
LineSeed lines_to_first_signal(std::span<const double> data, std::size_t sp, std::size_t end, const MacdRates& r,
                               MacdState& st, std::span<double> out) {
    LineSeed seed;
    for (std::size_t i = sp - 1; i < end; ++i) {
        if (i >= sp) {
            st.fast = st.fast * r.fast_keep + data[i] * r.fast_alpha;
            st.slow = st.slow * r.slow_keep + data[i] * r.slow_alpha;
        }
        const double m = line_of(st.fast, st.slow);
        if (!std::isnan(m)) {
            seed.sum += m;
            ++seed.count;
        }
        out[i] = m;
    }
    return seed;
}

// Line, signal and histogram from bar `from` on, the state holding the bar before. The
// three recursions are independent of each other's latency but for the line feeding the
// signal. A missing line value leaves the signal missing, and so everything after it.
// Blocks without any NaN take the lean loop; a block where one appears is redone from its
// start in the general form, as is every block after the first missing line value.
void signal_blocks(const MacdRates& rates, std::span<const double> data, std::size_t from, MacdState& state,
                   std::span<double> macd_out, std::span<double> signal_out, std::span<double> histogram_out) {
    static const MacdBlock present_block = simd::select(simd::widest_isa(), macd_present_sse2, macd_present_avx2);
    const std::size_t n = data.size();
    bool missing = false;
    for (std::size_t at = from; at < n;) {
        const std::size_t m = std::min(kAppendBlock, n - at);
        const double* x = data.data() + at;
        double* mb = macd_out.data() + at;
        double* sb = signal_out.data() + at;
        double* hb = histogram_out.data() + at;
        const MacdState start = state;
        if (missing || !present_block(rates, x, m, state, mb, sb, hb)) {
            state = start;
            missing = macd_steps(rates, x, m, state, missing, mb, sb, hb);
        }
        at += m;
    }
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

Status<CoreError> rsi_into(std::span<const double> data, std::uint64_t period, std::span<double> out) {
    if (period == 0) return err(CoreError::invalid_parameter("RSI period must be > 0"));
    const std::size_t n = data.size();
    check_output(out, n);
    if (period >= n) {
        std::fill(out.begin(), out.end(), kNaN);
        return Unit{};
    }

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
    std::fill_n(out.data(), p, kNaN);
    out[p] = rsi_value(avg_gain, avg_loss);

    // The averages are one recursion; the values only depend on their ratio. W steps of
    // the recursion share one vector division for the ratio and one for the value (see
    // rsi_steps).
    static const RsiBlock block_fn = simd::select(simd::widest_isa(), rsi_block_sse2, rsi_block_avx2);
    RsiState state{avg_gain, avg_loss};
    const double k = 1.0 / pf;
    const double keep = 1.0 - k;
    std::size_t next = p + 1;
    write_blocks(out.data() + p + 1, n - p - 1, [&](double* __restrict block, std::size_t m) {
        block_fn(data.data(), next, m, k, keep, state, block);
        next += m;
    });
    return Unit{};
}

Result<std::vector<double>, CoreError> rsi(std::span<const double> data, std::uint64_t period) {
    return series_from(data.size(), [&](std::span<double> out) { return rsi_into(data, period, out); });
}

Status<CoreError> macd_into(std::span<const double> data, std::uint64_t fast_period, std::uint64_t slow_period,
                            std::uint64_t signal_period, std::span<double> macd_out, std::span<double> signal_out,
                            std::span<double> histogram_out) {
    if (fast_period == 0 || slow_period == 0 || signal_period == 0) {
        return err(CoreError::invalid_parameter("MACD periods must be > 0"));
    }
    if (fast_period >= slow_period) {
        return err(CoreError::invalid_parameter("MACD fast period must be < slow period"));
    }
    const std::size_t n = data.size();
    check_output(macd_out, n);
    check_output(signal_out, n);
    check_output(histogram_out, n);
    if (slow_period > n) {
        std::fill(macd_out.begin(), macd_out.end(), kNaN);
        std::fill(signal_out.begin(), signal_out.end(), kNaN);
        std::fill(histogram_out.begin(), histogram_out.end(), kNaN);
        return Unit{};
    }

    // One pass: the fast and slow averages run as the ema kernel computes them, the line
    // is their difference, and the signal line averages the line as it appears. No
    // intermediate series is kept.
    const MacdRates rates{ema_alpha(fast_period), 1.0 - ema_alpha(fast_period), ema_alpha(slow_period),
                          1.0 - ema_alpha(slow_period), ema_alpha(signal_period), 1.0 - ema_alpha(signal_period)};
    const auto sp = static_cast<std::size_t>(slow_period);
    MacdState state = averages_at_slow_seed(data, static_cast<std::size_t>(fast_period), sp, rates);

    // First signal value at slow + signal - 2; clamped so a huge signal period reads as
    // "beyond the data" rather than wrapping around.
    const std::uint64_t s0 = sat_add_u64(slow_period, signal_period) - 2;
    const std::size_t seed_end = s0 < n ? static_cast<std::size_t>(s0) + 1 : n;  // bars up to the first signal
    std::fill_n(macd_out.data(), sp - 1, kNaN);
    const std::size_t signal_lead = s0 < n ? seed_end - 1 : n;
    std::fill_n(signal_out.data(), signal_lead, kNaN);
    std::fill_n(histogram_out.data(), signal_lead, kNaN);

    const LineSeed seed = lines_to_first_signal(data, sp, seed_end, rates, state, macd_out);
    if (s0 >= n) return Unit{};
    state.signal = seed.count == signal_period ? seed.sum / static_cast<double>(signal_period) : kNaN;
    const double m0 = macd_out[seed_end - 1];
    signal_out[seed_end - 1] = state.signal;
    histogram_out[seed_end - 1] = histogram_of(m0, state.signal);
    signal_blocks(rates, data, seed_end, state, macd_out, signal_out, histogram_out);
    return Unit{};
}

Result<MacdSeries, CoreError> macd(std::span<const double> data, std::uint64_t fast_period,
                                   std::uint64_t slow_period, std::uint64_t signal_period) {
    const std::size_t n = data.size();
    MacdSeries out{output_series(n), output_series(n), output_series(n)};
    if (auto done = macd_into(data, fast_period, slow_period, signal_period, out.macd, out.signal, out.histogram);
        !done) {
        return err(std::move(done).error());
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

    // Highest high and lowest low of each window, the first of equal extremes winning as
    // in a left-to-right scan with strict comparisons; parked in the outputs until %K is
    // computed from them.
    const auto kp = static_cast<std::size_t>(k_period);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double> scratch;
    double* hh = out.k.data();
    double* ll = out.d.data();
    sliding_extreme<false>(high, kp, -kInf, scratch, [](double a, double b) { return b > a ? b : a; },
                           [hh](std::size_t i, double v) { hh[i] = v; });
    sliding_extreme<false>(low, kp, kInf, scratch, [](double a, double b) { return b < a ? b : a; },
                           [ll](std::size_t i, double v) { ll[i] = v; });
    for (std::size_t i = kp - 1; i < n; ++i) {
        const double range = hh[i] - ll[i];
        hh[i] = range > 0 ? (close[i] - ll[i]) / range * 100.0 : 50.0;
        ll[i] = kNaN;
    }

    const std::uint64_t d0 = sat_add_u64(k_period, d_period) - 2;
    if (d0 >= n) return out;
    const auto dp = static_cast<std::size_t>(d_period);
    const double df = static_cast<double>(d_period);
    // Each %D mean is summed afresh in index order; a running sum would round differently.
    for (std::size_t i = static_cast<std::size_t>(d0); i < n; ++i) out.d[i] = complete_mean(out.k, i + 1 - dp, i, df);
    return out;
}

}  // namespace tarnwick::indicators::momentum
