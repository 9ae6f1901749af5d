// The Monte Carlo lane kernels against the plain path loop: the generator's leaps against
// drawing one number at a time, the lane logarithm, cosine and exponential against the
// library's own, and whole runs of paths against the plain loop, bit for bit. A kernel
// wider than this process runs is skipped; this file's tests pass again in a child
// process at every narrower set, so that the cap is held to as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analytics/libm_lanes.h"
#include "analytics/monte_carlo_paths.h"
#include "analytics/xoshiro.h"
#include "narrower_sets.h"

using namespace tarnwick;
using namespace tarnwick::analytics;
using base::simd::Isa;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string kernel_name(Isa isa) { return isa == Isa::Avx512 ? "avx512" : isa == Isa::Avx2 ? "avx2" : "plain"; }

std::string not_run(Isa kernel) {
    return "this process does not run " + kernel_name(kernel) + " (the processor or TARNWICK_SIMD)";
}

// ---------------------------------------------------------------------------
// Leaps

TEST(StreamLeap, TwoToThe128DrawsIsThePublishedJump) {
    // The xoshiro256 authors' jump polynomial for 2^128 draws.
    const std::array<std::uint64_t, 4> published = {0x180ec6d33cfd0abaULL, 0xd5a61266f0c9392cULL,
                                                    0xa9582618e03fc9aaULL, 0x39abdc4529b1661cULL};
    const std::uint64_t two32 = std::uint64_t{1} << 32;
    EXPECT_EQ(StreamLeap::draws(two32).times(two32).times(two32).times(two32).polynomial(), published);
}

struct LeapCase {
    const char* name;
    std::uint64_t draws;  // a single leap of this many draws ...
    std::uint64_t times;  // ... taken this many times
};

class LeapMatchesDrawing : public ::testing::TestWithParam<LeapCase> {};

TEST_P(LeapMatchesDrawing, TheStateAfterTheLeapIsTheStateAfterDrawingThatMany) {
    const LeapCase& c = GetParam();
    for (const std::uint64_t seed : {0ULL, 42ULL, 0xffffffffffffffffULL}) {
        Xoshiro256 leapt(seed);
        Xoshiro256 drawn(seed);
        Xoshiro256 discarded(seed);
        leapt.advance(StreamLeap::draws(c.draws).times(c.times));
        for (std::uint64_t k = 0; k < c.draws * c.times; ++k) drawn.next();
        discarded.discard(c.draws * c.times);
        EXPECT_EQ(leapt.state(), drawn.state()) << "seed " << seed;
        EXPECT_EQ(discarded.state(), leapt.state()) << "seed " << seed;
        EXPECT_EQ(leapt.next(), drawn.next());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Xoshiro, LeapMatchesDrawing,
    ::testing::Values(LeapCase{"nothing", 0, 1}, LeapCase{"one_draw", 1, 1}, LeapCase{"a_pair", 2, 1},
                      LeapCase{"below_the_degree", 255, 1}, LeapCase{"the_degree", 256, 1},
                      LeapCase{"above_the_degree", 257, 1}, LeapCase{"a_path_of_ten_assets_a_year", 20, 252},
                      LeapCase{"a_path_of_three_assets_a_week", 6, 5}, LeapCase{"no_steps", 20, 0},
                      LeapCase{"odd_count", 12345, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The lane functions over whole arrays

enum class Function { Log, Cos, Exp };

template <class L>
TARNWICK_LANES_INLINE lanes::Certain<L> taken(Function f, typename L::D x) {
    switch (f) {
        case Function::Log:
            return lanes::log_taken<L>(x);
        case Function::Cos:
            return lanes::cos_taken<L>(x);
        case Function::Exp:
            return lanes::exp_taken<L>(x);
    }
    return {x, 0};
}

// out[i] from the lanes where they are taken, else from `library`; a short last vector is
// padded with its last value. How many values the lanes gave.
template <class L>
TARNWICK_LANES_INLINE std::size_t run(Function f, double (*library)(double), const double* in, double* out,
                                      std::size_t n) {
    constexpr std::size_t W = L::kWidth;
    std::size_t count = 0;
    alignas(64) double x[W];
    alignas(64) double y[W];
    for (std::size_t first = 0; first < n; first += W) {
        const std::size_t m = std::min(W, n - first);
        for (std::size_t k = 0; k < W; ++k) x[k] = in[first + std::min(k, m - 1)];
        const lanes::Certain<L> c = taken<L>(f, L::load(x));
        L::store(y, c.value);
        const unsigned used = c.taken & ((1u << m) - 1);
        count += static_cast<std::size_t>(std::popcount(used));
        for (unsigned rest = ~used & ((1u << m) - 1); rest != 0; rest &= rest - 1) {
            const int lane = std::countr_zero(rest);
            y[lane] = library(x[lane]);
        }
        std::copy(y, y + m, out + first);
    }
    return count;
}

__attribute__((target("avx512f,avx512dq,fma"), flatten)) std::size_t run_avx512(Function f,
                                                                                double (*library)(double),
                                                                                const double* in, double* out,
                                                                                std::size_t n) {
    return run<lanes::Avx512>(f, library, in, out, n);
}

__attribute__((target("avx2,fma"), flatten)) std::size_t run_avx2(Function f, double (*library)(double),
                                                                  const double* in, double* out, std::size_t n) {
    return run<lanes::Avx2>(f, library, in, out, n);
}

struct FunctionCase {
    const char* name;
    Function f;
    double (*library)(double);
    std::vector<double> inputs;
    double min_taken;  // the share the lanes must give themselves
};

// The model's arguments: uniforms k 2^-53 raised to 1e-15 (log), 2 pi times a uniform
// (cos), and sums of a few normal shocks scaled by daily volatilities (exp).
std::vector<double> model_log_args(std::size_t n) {
    std::mt19937_64 g(1);
    std::vector<double> v(n);
    for (double& x : v) x = std::fmax(static_cast<double>(g() >> 11) * 0x1.0p-53, 1e-15);
    return v;
}
std::vector<double> model_cos_args(std::size_t n) {
    std::mt19937_64 g(2);
    std::vector<double> v(n);
    for (double& x : v) x = 6.283185307179586 * (static_cast<double>(g() >> 11) * 0x1.0p-53);
    return v;
}
std::vector<double> model_exp_args(std::size_t n) {
    std::mt19937_64 g(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> vol(0.001, 0.5);
    std::vector<double> v(n);
    for (double& x : v) x = vol(g) * normal(g) - 0.0002;
    return v;
}

// Arguments where a fast path is most easily wrong: the ends of its range, the edges of
// its reduction, values that are exact, and arguments it must leave to the library.
std::vector<double> edge_log_args() {
    std::vector<double> v = {1e-15, 0x1.0p-53, 1.0 - 0x1.0p-53, 0.5, 0.25, 1.0, 2.0, 0x1.6a09e667f3bcdp-1,
                             0x1.6a09e667f3bccp-1, 0x1.6a09e667f3bcep-1, 0x1.6a09e667f3bcdp-2, 1e300, 1e-300,
                             std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(), 0.0, -0.0, -1.0, kInf, -kInf, kNaN};
    for (int e = -60; e <= 0; ++e) {
        for (double m : {1.0, 1.0 + 0x1.0p-52, 2.0 - 0x1.0p-52, 1.4142135623730951, 0.7071067811865476}) {
            v.push_back(std::ldexp(m, e));
        }
    }
    return v;
}
std::vector<double> edge_cos_args() {
    std::vector<double> v = {0.0,  -0.0,  0x1.0p-1074, 1e-300, 1e-9, 0.5,  6.283185307179586,
                             std::nextafter(6.283185307179586, 0.0), 6.99, 7.0,   -7.5, 100.0, 3e8,
                             1e22, 1e300, kInf, -kInf, kNaN};
    // Around each multiple of pi/4 up to 2 pi: the quadrant boundaries and the points where
    // the reduced argument is near zero.
    for (int k = 1; k <= 8; ++k) {
        double x = k * 0.7853981633974483;
        for (int step = 0; step < 6; ++step) x = std::nextafter(x, 0.0);
        for (int step = 0; step < 12; ++step, x = std::nextafter(x, kInf)) v.push_back(x);
    }
    return v;
}
std::vector<double> edge_exp_args() {
    std::vector<double> v = {0.0, -0.0, 0x1.0p-1074, -0x1.0p-1074, 1e-300, 1e-17, -1e-17, 0.34657359027997264,
                             -0.34657359027997264, 0.6931471805599453, -0.6931471805599453, 1.0, -1.0, 699.99,
                             -699.99, 700.0, -700.0, 709.78, 709.79, -745.0, -745.2, -800.0, 1000.0, kInf, -kInf,
                             kNaN};
    for (int k = -20; k <= 20; ++k) {
        const double x = k * 0.6931471805599453;
        v.push_back(x);
        v.push_back(std::nextafter(x, kInf));
        v.push_back(std::nextafter(x, -kInf));
        v.push_back(x + 0.3465735902799726);
        v.push_back(x - 0.3465735902799726);
    }
    return v;
}

double library_log(double x) { return std::log(x); }
double library_cos(double x) { return std::cos(x); }
double library_exp(double x) { return std::exp(x); }

class LaneFunction : public ::testing::TestWithParam<std::tuple<FunctionCase, Isa>> {};

TEST_P(LaneFunction, GivesTheLibrarysBits) {
    const auto& [c, kernel] = GetParam();
    if (!paths_run_on(kernel)) GTEST_SKIP() << not_run(kernel);
    std::vector<double> out(c.inputs.size());
    const auto through = kernel == Isa::Avx512 ? run_avx512 : run_avx2;
    const std::size_t taken = through(c.f, c.library, c.inputs.data(), out.data(), c.inputs.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < c.inputs.size(); ++i) {
        const double want = c.library(c.inputs[i]);
        if (std::bit_cast<std::uint64_t>(out[i]) != std::bit_cast<std::uint64_t>(want)) {
            if (++wrong <= 5) {
                ADD_FAILURE() << std::hexfloat << "at " << c.inputs[i] << ": " << out[i] << " not " << want;
            }
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GE(static_cast<double>(taken), c.min_taken * static_cast<double>(c.inputs.size()));
}

const std::size_t kDraws = 1 << 18;

INSTANTIATE_TEST_SUITE_P(
    MonteCarlo, LaneFunction,
    ::testing::Combine(
        ::testing::Values(FunctionCase{"log_of_model_uniforms", Function::Log, library_log,
                                       model_log_args(kDraws), 0.88},
                          FunctionCase{"cos_of_model_angles", Function::Cos, library_cos,
                                       model_cos_args(kDraws), 0.85},
                          FunctionCase{"exp_of_model_growth", Function::Exp, library_exp,
                                       model_exp_args(kDraws), 0.9},
                          FunctionCase{"log_at_edges", Function::Log, library_log, edge_log_args(), 0.0},
                          FunctionCase{"cos_at_edges", Function::Cos, library_cos, edge_cos_args(), 0.0},
                          FunctionCase{"exp_at_edges", Function::Exp, library_exp, edge_exp_args(), 0.0}),
        ::testing::Values(Isa::Avx2, Isa::Avx512)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + kernel_name(std::get<1>(info.param));
    });

// ---------------------------------------------------------------------------
// Whole runs of paths

struct PathsCase {
    const char* name;
    std::size_t n;          // assets
    std::size_t horizon;    // steps
    std::size_t count;      // consecutive paths of one stream
    double weight_scale;    // weights are normal times this
    double vol;             // scale of the daily volatilities
    double special;         // where not 0: the last row's first factor entry (a NaN also the last drift)
    bool non_finite;        // some values leave the double range or are NaN
    bool zero_draw = false; // the stream's first draw is 0: u1 is raised to 1e-15
};

PathModel random_model(const PathsCase& c, std::vector<double>& weights) {
    std::mt19937_64 g(c.n * 1000 + c.horizon * 7 + c.count);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    PathModel m;
    m.n = c.n;
    weights.resize(c.n);
    for (double& w : weights) w = c.weight_scale * normal(g);
    m.weights = weights;
    m.l.assign(c.n * c.n, 0.0);
    for (std::size_t i = 0; i < c.n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) m.l[i * c.n + j] = j == i ? 0.5 + unit(g) : 0.5 * normal(g);
    }
    m.scale.resize(c.n);
    m.drift.resize(c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
        m.scale[i] = c.vol * unit(g);
        // Beyond daily volatilities the drift is left out, so that exp's arguments reach
        // past its fast range on both sides.
        m.drift[i] = c.vol > 1.0 ? 0.0 : 0.0005 * normal(g) - 0.5 * m.scale[i] * m.scale[i];
    }
    if (c.special != 0.0) {
        m.l[(c.n - 1) * c.n] = c.special;
        if (std::isnan(c.special)) m.drift[c.n - 1] = c.special;
    }
    m.v0 = 1000.0;
    m.horizon = c.horizon;
    m.per_path = path_leap(c.n, c.horizon);
    return m;
}

// A kernel, or none: the one this process picks.
class LanePaths : public ::testing::TestWithParam<std::tuple<PathsCase, std::optional<Isa>>> {};

TEST_P(LanePaths, MatchThePlainLoopBitForBit) {
    const auto& [c, kernel] = GetParam();
    if (kernel && !paths_run_on(*kernel)) GTEST_SKIP() << not_run(*kernel);
    std::vector<double> weights;
    const PathModel m = random_model(c, weights);
    const std::size_t size = c.count * (c.horizon + 1);
    std::vector<double> plain(size, -1.0);
    std::vector<double> lanes(size, -2.0);
    // s1 = 0 makes the next output 0.
    const Xoshiro256 stream = c.zero_draw ? Xoshiro256::at_state({0x9e3779b97f4a7c15ULL, 0, 7, 11})
                                          : Xoshiro256(c.n + c.count);
    simulate_paths(m, stream, c.count, plain.data(), Isa::Sse2);
    if (kernel) simulate_paths(m, stream, c.count, lanes.data(), *kernel);
    else simulate_paths(m, stream, c.count, lanes.data());
    std::size_t wrong = 0;
    for (std::size_t k = 0; k < size; ++k) {
        if (std::bit_cast<std::uint64_t>(plain[k]) != std::bit_cast<std::uint64_t>(lanes[k]) && ++wrong <= 5) {
            ADD_FAILURE() << "path " << k / (c.horizon + 1) << " step " << k % (c.horizon + 1) << ": " << lanes[k]
                          << " not " << plain[k];
        }
    }
    EXPECT_EQ(wrong, 0u);
    const bool non_finite = std::any_of(plain.begin(), plain.end(), [](double x) { return !std::isfinite(x); });
    EXPECT_EQ(non_finite, c.non_finite) << "the case does not make the values it is meant to";
}

INSTANTIATE_TEST_SUITE_P(
    MonteCarlo, LanePaths,
    ::testing::Combine(
        ::testing::Values(PathsCase{"one_asset", 1, 30, 64, 1.0, 0.02, 0.0, false},
                          PathsCase{"ten_assets_a_block", 10, 60, 64, 0.1, 0.02, 0.0, false},
                          PathsCase{"seventeen_assets_odd_lanes", 17, 9, 37, 0.06, 0.03, 0.0, false},
                          PathsCase{"fewer_paths_than_lanes", 4, 20, 3, 0.25, 0.02, 0.0, false},
                          PathsCase{"one_path", 3, 20, 1, 0.3, 0.02, 0.0, false},
                          PathsCase{"a_block_less_one", 5, 12, 63, 0.2, 0.02, 0.0, false},
                          PathsCase{"no_steps", 6, 0, 20, 0.2, 0.02, 0.0, false},
                          // Paths of 254 and 256 draws: starts stepped to, and leapt to.
                          PathsCase{"a_draw_pair_short_of_a_leap", 1, 127, 11, 1.0, 0.02, 0.0, false},
                          PathsCase{"a_leap_of_draws", 2, 64, 11, 0.5, 0.02, 0.0, false},
                          // Growth terms past exp's fast range and past the double range:
                          // paths of inf, -inf and NaN.
                          PathsCase{"wild_volatility", 4, 8, 40, 1.0, 1500.0, 0.0, true},
                          PathsCase{"huge_weights", 3, 6, 40, 1e307, 0.5, 0.0, true},
                          PathsCase{"nan_in_the_factor", 4, 5, 24, 0.25, 0.02, kNaN, true},
                          PathsCase{"infinite_factor", 4, 5, 24, 0.25, 0.02, kInf, true},
                          // A NaN drift (a series with a NaN in it) meeting infinite terms.
                          PathsCase{"nan_among_infinities", 5, 6, 40, 1e307, 1500.0, kNaN, true},
                          PathsCase{"a_zero_draw", 2, 4, 9, 0.5, 0.02, 0.0, false, true}),
        ::testing::Values(std::optional<Isa>{Isa::Avx2}, std::optional<Isa>{Isa::Avx512}, std::nullopt)),
    [](const auto& info) {
        const std::optional<Isa> kernel = std::get<1>(info.param);
        return std::string(std::get<0>(info.param).name) + "_" + (kernel ? kernel_name(*kernel) : "this_process");
    });

// ---------------------------------------------------------------------------
// The kernels this process runs

// Never one wider than base::simd's set, which TARNWICK_SIMD caps; the plain loop always.
TEST(MonteCarloKernels, NeverWiderThanTheCap) {
    EXPECT_TRUE(paths_run_on(Isa::Sse2));
    for (const Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (base::simd::widest_isa() < isa) {
            EXPECT_FALSE(paths_run_on(isa)) << kernel_name(isa);
        }
    }
}

TEST(MonteCarloKernels, NarrowerSetsPassThisFilesTests) {
    testing_support::rerun_at_narrower_sets([](const std::string& file) { return file == __FILE__; }, true);
}

}  // namespace
