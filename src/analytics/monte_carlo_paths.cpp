#include "analytics/monte_carlo_paths.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "analytics/libm_lanes.h"

namespace tarnwick::analytics {

using base::simd::Isa;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// One path into `out` (horizon + 1 values) from `rng`; z and e are scratch of n values.
void simulate_path(const PathModel& m, Xoshiro256& rng, double* out, std::vector<double>& z, std::vector<double>& e) {
    double value = m.v0;
    out[0] = value;
    for (std::size_t step = 1; step <= m.horizon; ++step) {
        for (std::size_t i = 0; i < m.n; ++i) {
            double u1 = rng.uniform();
            const double u2 = rng.uniform();
            if (u1 < 1e-15) u1 = 1e-15;
            z[i] = std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
        }
        for (std::size_t i = 0; i < m.n; ++i) {
            const double* row = m.l.data() + i * m.n;
            double s = 0.0;
            for (std::size_t j = 0; j <= i; ++j) s += row[j] * z[j];
            e[i] = s;
        }
        double g = 0.0;
        for (std::size_t i = 0; i < m.n; ++i) g += m.weights[i] * (std::exp(m.scale[i] * e[i] + m.drift[i]) - 1.0);
        value *= 1.0 + g;
        out[step] = value;
    }
}

void plain_paths(const PathModel& m, Xoshiro256 stream, std::size_t count, double* out) {
    std::vector<double> z(m.n);
    std::vector<double> e(m.n);
    for (std::size_t p = 0; p < count; ++p) simulate_path(m, stream, out + p * (m.horizon + 1), z, e);
}

// ---------------------------------------------------------------------------
// Lane kernels: lane k of a group simulates path k of the group.

// A xoshiro256** stream per lane.
template <class L>
struct LaneStreams {
    typename L::U s0, s1, s2, s3;
};

template <class L>
TARNWICK_LANES_INLINE typename L::D uniform(LaneStreams<L>& st) {
    using U = typename L::U;
    const U x = st.s1 + (st.s1 << 2);  // s1 x 5
    const U r = (x << 7) | (x >> 57);
    const U draw = r + (r << 3);  // x 9
    const U t = st.s1 << 17;
    st.s2 ^= st.s0;
    st.s3 ^= st.s1;
    st.s1 ^= st.s2;
    st.s0 ^= st.s3;
    st.s2 ^= t;
    st.s3 = (st.s3 << 45) | (st.s3 >> 19);
    return L::from_u53(draw >> 11) * 0x1.0p-53;
}

// One step's work for a group, per asset a lane vector each: the three functions'
// arguments and values and the normal shocks; per function, the places (asset x width +
// lane) whose values the library is to give.
struct StepScratch {
    std::vector<double> log_in, log_out, cos_in, cos_out, exp_in, exp_out, z;
    std::vector<std::uint64_t> log_rest, cos_rest, exp_rest;
    StepScratch(std::size_t n, std::size_t width)
        : log_in(n * width), log_out(n * width), cos_in(n * width), cos_out(n * width), exp_in(n * width),
          exp_out(n * width), z(n * width), log_rest(n * width + width), cos_rest(n * width + width),
          exp_rest(n * width + width) {}
};

// The library's values at the places listed. The places are gathered without a branch
// while the vector work goes on, and the library asked only afterwards, so that no
// branch taken at random cuts the vector work short.
template <class Fn>
void fill_rest(const std::vector<double>& in, std::vector<double>& out, const std::vector<std::uint64_t>& rest,
               std::size_t count, Fn fn) {
    for (std::size_t k = 0; k < count; ++k) out[rest[k]] = fn(in[rest[k]]);
}

// Each asset's normal draw for the step: u1 then u2 per asset from each lane's stream,
// sqrt(-2 log u1) cos(2 pi u2), into s.z.
template <class L>
TARNWICK_LANES_INLINE void draw_normals(std::size_t n, LaneStreams<L>& st, StepScratch& s) {
    using D = typename L::D;
    constexpr std::size_t W = L::kWidth;
    for (std::size_t i = 0; i < n; ++i) {
        D u1 = uniform<L>(st);
        const D u2 = uniform<L>(st);
        u1 = L::select(L::less(u1, L::splat(1e-15)), L::splat(1e-15), u1);
        L::store(s.log_in.data() + i * W, u1);
        L::store(s.cos_in.data() + i * W, kTwoPi * u2);
    }
    std::size_t log_rest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const lanes::Certain<L> lg = lanes::log_taken<L>(L::load(s.log_in.data() + i * W));
        L::store(s.log_out.data() + i * W, lg.value);
        log_rest += L::pack(~lg.taken & L::kAll, i * W, s.log_rest.data() + log_rest);
    }
    std::size_t cos_rest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const lanes::Certain<L> cs = lanes::cos_taken<L>(L::load(s.cos_in.data() + i * W));
        L::store(s.cos_out.data() + i * W, cs.value);
        cos_rest += L::pack(~cs.taken & L::kAll, i * W, s.cos_rest.data() + cos_rest);
    }
    fill_rest(s.log_in, s.log_out, s.log_rest, log_rest, [](double x) { return std::log(x); });
    fill_rest(s.cos_in, s.cos_out, s.cos_rest, cos_rest, [](double x) { return std::cos(x); });
    for (std::size_t i = 0; i < n; ++i) {
        L::store(s.z.data() + i * W,
                 L::sqrt(-2.0 * L::load(s.log_out.data() + i * W)) * L::load(s.cos_out.data() + i * W));
    }
}

// The book's growth over the step from the normal draws in s.z: 1 + the sum over assets
// of w (exp(scale e + drift) - 1), e the correlated shock. Where both operands of a sum
// or product can be NaN (NaN inputs meeting infinities), the plain loop's code keeps the
// left one's NaN, and so do these.
template <class L>
TARNWICK_LANES_INLINE typename L::D growth(const PathModel& m, StepScratch& s) {
    using D = typename L::D;
    constexpr std::size_t W = L::kWidth;
    // The correlated shocks, column by column: each still sums its terms in column order
    // from zero, and the rows' sums go on independently of one another.
    double* e = s.exp_in.data();
    for (std::size_t i = 0; i < m.n; ++i) L::store(e + i * W, L::splat(0.0));
    for (std::size_t j = 0; j < m.n; ++j) {
        const D zj = L::load(s.z.data() + j * W);
        for (std::size_t i = j; i < m.n; ++i) {
            L::store(e + i * W, L::add_first(L::load(e + i * W), m.l[i * m.n + j] * zj));
        }
    }
    std::size_t exp_rest = 0;
    for (std::size_t i = 0; i < m.n; ++i) {
        const D arg = L::add_first(m.scale[i] * L::load(e + i * W), L::splat(m.drift[i]));
        const lanes::Certain<L> ex = lanes::exp_taken<L>(arg);
        L::store(e + i * W, arg);
        L::store(s.exp_out.data() + i * W, ex.value);
        exp_rest += L::pack(~ex.taken & L::kAll, i * W, s.exp_rest.data() + exp_rest);
    }
    fill_rest(s.exp_in, s.exp_out, s.exp_rest, exp_rest, [](double x) { return std::exp(x); });
    D g = L::splat(0.0);
    for (std::size_t i = 0; i < m.n; ++i) {
        g = L::add_first(g, L::mul_first(L::load(s.exp_out.data() + i * W) - 1.0, L::splat(m.weights[i])));
    }
    return 1.0 + g;
}

// Paths first .. first + lanes - 1 (lanes <= kWidth) from their own start states.
template <class L>
TARNWICK_LANES_INLINE void simulate_group(const PathModel& m, const std::array<std::uint64_t, 4>* starts,
                                          std::size_t lanes, double* out, StepScratch& s) {
    using D = typename L::D;
    using U = typename L::U;
    constexpr std::size_t W = L::kWidth;
    const std::size_t stride = m.horizon + 1;
    // Lanes past the group's paths run a copy of its last path and are never stored.
    alignas(64) std::uint64_t words[4][W];
    for (std::size_t k = 0; k < W; ++k) {
        for (int w = 0; w < 4; ++w) words[w][k] = starts[std::min(k, lanes - 1)][w];
    }
    LaneStreams<L> st;
    std::memcpy(&st.s0, words[0], sizeof(U));
    std::memcpy(&st.s1, words[1], sizeof(U));
    std::memcpy(&st.s2, words[2], sizeof(U));
    std::memcpy(&st.s3, words[3], sizeof(U));

    D value = L::splat(m.v0);
    for (std::size_t k = 0; k < lanes; ++k) out[k * stride] = m.v0;
    alignas(64) double values[W];
    for (std::size_t step = 1; step <= m.horizon; ++step) {
        draw_normals<L>(m.n, st, s);
        value = L::mul_first(value, growth<L>(m, s));
        L::store(values, value);
        for (std::size_t k = 0; k < lanes; ++k) out[k * stride + step] = values[k];
    }
}

template <class L>
TARNWICK_LANES_INLINE void lane_paths(const PathModel& m, const std::array<std::uint64_t, 4>* starts,
                                      std::size_t count, double* out) {
    constexpr std::size_t W = L::kWidth;
    StepScratch scratch(m.n, W);
    for (std::size_t first = 0; first < count; first += W) {
        simulate_group<L>(m, starts + first, std::min(W, count - first), out + first * (m.horizon + 1), scratch);
    }
}

__attribute__((target("avx512f,avx512dq,fma"), flatten)) void lane_paths_avx512(
    const PathModel& m, const std::array<std::uint64_t, 4>* starts, std::size_t count, double* out) {
    lane_paths<lanes::Avx512>(m, starts, count, out);
}

__attribute__((target("avx2,fma"), flatten)) void lane_paths_avx2(const PathModel& m,
                                                                   const std::array<std::uint64_t, 4>* starts,
                                                                   std::size_t count, double* out) {
    lane_paths<lanes::Avx2>(m, starts, count, out);
}

// Whether the processor runs what the lane kernel of `kernel` is compiled for (the
// targets of the entry points above).
bool processor_runs(Isa kernel) {
    using base::simd::Feature;
    using base::simd::supports;
    switch (kernel) {
        case Isa::Avx512:
            return supports(Isa::Avx512) && supports(Feature::Avx512dq) && supports(Feature::Fma);
        case Isa::Avx2:
            return supports(Isa::Avx2) && supports(Feature::Fma);
        case Isa::Sse2:
            return true;
    }
    return false;
}

// The widest kernel the processor runs, capped for the process by base::simd.
Isa widest_kernel() {
    static const Isa widest = std::min(base::simd::widest_isa(), processor_runs(Isa::Avx512) ? Isa::Avx512
                                                                 : processor_runs(Isa::Avx2) ? Isa::Avx2
                                                                                             : Isa::Sse2);
    return widest;
}

}  // namespace

StreamLeap path_leap(std::size_t n_assets, std::size_t horizon) {
    return StreamLeap::draws(2 * static_cast<std::uint64_t>(n_assets)).times(horizon);
}

bool paths_run_on(Isa kernel) { return kernel <= widest_kernel(); }

void simulate_paths(const PathModel& model, const Xoshiro256& stream, std::size_t count, double* out) {
    simulate_paths(model, stream, count, out, widest_kernel());
}

void simulate_paths(const PathModel& m, const Xoshiro256& stream, std::size_t count, double* out, Isa kernel) {
    if (kernel == Isa::Sse2 || count == 0) {
        plain_paths(m, stream, count, out);
        return;
    }
    // Each path's start: the previous one's, past its draws. A leap costs 256 transitions
    // whatever its length, so a path of fewer draws than that is stepped over instead (to
    // the same state). Outside the bounds tested a path has 256 draws or more, or none,
    // and takes the leap.
    const std::uint64_t draws = m.n < 128 && m.horizon < 256 ? 2 * std::uint64_t{m.n} * m.horizon : 256;
    std::vector<std::array<std::uint64_t, 4>> starts(count);
    Xoshiro256 at = stream;
    starts[0] = at.state();
    for (std::size_t p = 1; p < count; ++p) {
        if (draws < 256) at.discard(draws);
        else at.advance(m.per_path);
        starts[p] = at.state();
    }
    if (kernel == Isa::Avx512) lane_paths_avx512(m, starts.data(), count, out);
    else lane_paths_avx2(m, starts.data(), count, out);
}

}  // namespace tarnwick::analytics
