// The shrunk covariance against a plain serial transcription of its definition: every
// vector width this processor runs, on the pool and on the calling thread, must give the
// same bits; and the three refusals and the guard of the intensity on their own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "base/format.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using tarnwick::testing_support::test_name;
using namespace tarnwick;
using namespace tarnwick::base;
using namespace tarnwick::analytics;

namespace {

constexpr double kEps = 2.220446049250313e-16;

struct Estimate {
    std::vector<double> cov;
    double delta = 0.0;
    std::string error;  // empty on success
};

// Row-by-row Cholesky: every entry A(i, j) minus its dot product, summed in ascending k.
// Returns the refusal's text, empty on success; the factor goes to `l`.
std::string serial_cholesky(const std::vector<double>& a, std::size_t n, std::vector<double>& l) {
    l.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double dot = 0.0;
            for (std::size_t k = 0; k < j; ++k) dot += l[i * n + k] * l[j * n + k];
            const double s = a[i * n + j] - dot;
            if (j == i) {
                if (!std::isfinite(s) || !(s > 0.0)) {
                    return "covariance not positive definite: pivot " + fmt::exp(s, 3) + " at index " +
                           std::to_string(i);
                }
                l[i * n + i] = std::sqrt(s);
            } else {
                l[i * n + j] = s / l[j * n + j];
            }
        }
    }
    return {};
}

// The estimator written out loop by loop, observations outermost, over the panel scaled by
// 2^k as the estimator scales a panel of small values.
Estimate serial_estimate(const std::vector<double>& x, std::size_t t_count, std::size_t n, int k) {
    const double scale = std::ldexp(1.0, k);
    const double tf = static_cast<double>(t_count);
    const double inv_t = 1.0 / tf;
    std::vector<double> mean(n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t j = 0; j < n; ++j) mean[j] += x[t * n + j] * scale;
    }
    for (double& m : mean) m /= tf;
    std::vector<double> c(t_count * n);
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t j = 0; j < n; ++j) c[t * n + j] = x[t * n + j] * scale - mean[j];
    }
    std::vector<double> s(n * n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i; j < n; ++j) s[i * n + j] += c[t * n + i] * c[t * n + j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) s[j * n + i] = s[i * n + j] = s[i * n + j] / tf;
    }
    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = s[i * n + i];
        if (v <= 0.0 || v < mean[i] * mean[i] * kEps) {
            return {{}, 0.0, "zero-variance asset at index " + std::to_string(i)};
        }
        sd[i] = std::sqrt(v);
    }
    for (double v : s) {
        if (!std::isfinite(v)) return {{}, 0.0, "degenerate input: values too large: S is not finite"};
    }
    double corr = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) corr += s[i * n + j] / (sd[i] * sd[j]);
    }
    const double rbar = corr / (static_cast<double>(n) * static_cast<double>(n - 1) / 2.0);
    std::vector<double> f(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i * n + i] = s[i * n + i];
        for (std::size_t j = i + 1; j < n; ++j) f[i * n + j] = f[j * n + i] = sd[i] * rbar * sd[j];
    }
    std::vector<double> pi_sum(n * n, 0.0), th_ii(n * n, 0.0), th_jj(n * n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        const double* row = &c[t * n];
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double dev = row[i] * row[j] - s[i * n + j];
                pi_sum[i * n + j] += dev * dev;
                if (i == j) continue;
                th_ii[i * n + j] += dev * (row[i] * row[i] - s[i * n + i]);
                th_jj[i * n + j] += dev * (row[j] * row[j] - s[j * n + j]);
            }
        }
    }
    double pi = 0.0;
    for (double p : pi_sum) pi += inv_t * p;
    double pi_diag = 0.0;
    for (std::size_t i = 0; i < n; ++i) pi_diag += inv_t * pi_sum[i * n + i];
    double th = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            const double a = s[i * n + i];
            const double b = s[j * n + j];
            th += std::sqrt(b / a) * (inv_t * th_ii[i * n + j]) + std::sqrt(a / b) * (inv_t * th_jj[i * n + j]);
        }
    }
    const double rho = pi_diag + (rbar / 2.0) * th;
    double gamma = 0.0;
    for (std::size_t q = 0; q < n * n; ++q) gamma += (f[q] - s[q]) * (f[q] - s[q]);
    if (!std::isfinite(pi)) return {{}, 0.0, "degenerate input: values too large: pi is not finite"};
    if (!std::isfinite(rho)) return {{}, 0.0, "degenerate input: values too large: rho is not finite"};
    if (!std::isfinite(gamma)) return {{}, 0.0, "degenerate input: values too large: gamma is not finite"};
    // The guard at the sample matrix's own scale, both sides brought near 1 by the same
    // power of two.
    double largest = 0.0;
    for (double v : s) largest = std::max(largest, std::fabs(v));
    int e = 0;
    std::frexp(largest, &e);
    const double r = std::ldexp(1.0, -e);
    double squares = 0.0;
    for (double v : s) squares += (v * r) * (v * r);
    double delta = 0.0;
    if (gamma * r * r > kEps * squares) delta = std::min(1.0, std::max(0.0, ((pi - rho) / gamma) / tf));
    Estimate out;
    out.delta = delta;
    out.cov.resize(n * n);
    const double unscale = std::ldexp(1.0, -k);
    for (std::size_t q = 0; q < n * n; ++q) out.cov[q] = (s[q] * (1.0 - delta) + f[q] * delta) * unscale * unscale;
    std::vector<double> factor;
    out.error = serial_cholesky(out.cov, n, factor);
    return out;
}

// One common factor with uneven loadings plus noise, so correlations differ and the
// intensity lies strictly inside (0, 1) for short panels.
std::vector<double> factor_panel(std::size_t t_count, std::size_t n, std::uint64_t seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::uniform_real_distribution<double> loading(0.2, 1.6);
    std::vector<double> beta(n);
    for (double& b : beta) b = loading(rng);
    std::vector<double> x(t_count * n);
    for (std::size_t t = 0; t < t_count; ++t) {
        const double market = 0.0004 + 0.01 * z(rng);
        for (std::size_t j = 0; j < n; ++j) x[t * n + j] = scale * (beta[j] * market + 0.012 * z(rng));
    }
    return x;
}

std::vector<std::string> ids(std::size_t n) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back("a" + std::to_string(i));
    return out;
}

// The exponent the estimator scales a panel by: its largest magnitude into [0.5, 1) when it
// lies below that, else none.
int prescale(const std::vector<double>& x) {
    double largest = 0.0;
    for (double v : x) largest = std::max(largest, std::fabs(v));
    int e = 0;
    std::frexp(largest, &e);
    return e < 0 ? -e : 0;
}

std::vector<covariance::KernelPlan> every_plan() {
    std::vector<covariance::KernelPlan> plans;
    for (simd::Isa isa : {simd::Isa::Sse2, simd::Isa::Avx2, simd::Isa::Avx512}) {
        if (!simd::supports(isa)) continue;
        plans.push_back({isa, false});
        plans.push_back({isa, true});
    }
    return plans;
}

struct Shape {
    std::size_t rows;
    std::size_t cols;
    std::uint64_t seed;
};

class CovarianceMatchesSerial : public ::testing::TestWithParam<Shape> {};

TEST_P(CovarianceMatchesSerial, BitForBitAtEveryWidthAndOnThePool) {
    const Shape& sh = GetParam();
    const std::vector<double> x = factor_panel(sh.rows, sh.cols, sh.seed);
    const Estimate want = serial_estimate(x, sh.rows, sh.cols, prescale(x));
    for (const covariance::KernelPlan& plan : every_plan()) {
        SCOPED_TRACE("isa " + std::to_string(static_cast<int>(plan.isa)) + (plan.use_pool ? " pool" : " serial"));
        auto got = covariance::estimate(x, sh.rows, sh.cols, ids(sh.cols), 252.0, plan);
        if (!want.error.empty()) {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error().message(), want.error);
            continue;
        }
        ASSERT_TRUE(got.ok()) << got.error().message();
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got->shrinkage_intensity), std::bit_cast<std::uint64_t>(want.delta))
            << got->shrinkage_intensity << " vs " << want.delta;
        ASSERT_EQ(got->cov.size(), want.cov.size());
        std::size_t differing = 0;
        for (std::size_t q = 0; q < want.cov.size(); ++q) {
            differing += std::bit_cast<std::uint64_t>(got->cov[q]) != std::bit_cast<std::uint64_t>(want.cov[q]);
        }
        EXPECT_EQ(differing, 0u);
    }
}

// Shapes around every boundary of the kernels: widths below, at and past a column group
// (8) and a tile side (64); observation counts below, at and past a round (256).
INSTANTIATE_TEST_SUITE_P(Covariance, CovarianceMatchesSerial,
                         ::testing::Values(Shape{2, 2, 1}, Shape{3, 3, 2}, Shape{12, 7, 3}, Shape{40, 8, 4},
                                           Shape{40, 9, 5}, Shape{255, 17, 6}, Shape{256, 24, 7},
                                           Shape{257, 33, 8}, Shape{600, 63, 9}, Shape{300, 64, 10},
                                           Shape{520, 65, 11}, Shape{90, 130, 12}, Shape{700, 150, 13},
                                           Shape{300, 530, 14}),
                         [](const auto& i) { return row_name("rows", i.param.rows, "assets", i.param.cols); });

}  // namespace

namespace {

// B B' + n I for a random B: symmetric positive definite with pivots well away from zero.
std::vector<double> spd(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> b(n * n);
    for (double& v : b) v = z(rng);
    std::vector<double> a(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k) s += b[i * n + k] * b[j * n + k];
            a[i * n + j] = s + (i == j ? static_cast<double>(n) : 0.0);
        }
    }
    return a;
}

class CholeskyMatchesSerial : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CholeskyMatchesSerial, BitForBitAtEveryWidthAndOnThePool) {
    const std::size_t n = GetParam();
    const std::vector<double> a = spd(n, 100 + n);
    std::vector<double> want;
    ASSERT_EQ(serial_cholesky(a, n, want), "");
    for (const covariance::KernelPlan& plan : every_plan()) {
        SCOPED_TRACE("isa " + std::to_string(static_cast<int>(plan.isa)) + (plan.use_pool ? " pool" : " serial"));
        auto got = covariance::cholesky(a, n, plan);
        ASSERT_TRUE(got.ok()) << got.error().message();
        std::size_t differing = 0;
        for (std::size_t q = 0; q < n * n; ++q) {
            differing += std::bit_cast<std::uint64_t>((*got)[q]) != std::bit_cast<std::uint64_t>(want[q]);
        }
        EXPECT_EQ(differing, 0u);
    }
}

// Around a panel of rows (8), the block of columns finished together (32) and the rows of
// one task (64).
INSTANTIATE_TEST_SUITE_P(Covariance, CholeskyMatchesSerial,
                         ::testing::Values(1, 2, 7, 8, 9, 31, 32, 33, 63, 64, 65, 96, 129, 300),
                         [](const auto& i) { return row_name("order", i.param); });

struct Indefinite {
    std::size_t n;
    std::size_t at;      // the diagonal entry lowered
    double lowered_by;   // a multiple of the entry
};

class CholeskyRefusesAsSerial : public ::testing::TestWithParam<Indefinite> {};

// The first failing pivot and its value are those of the row-by-row loop, wherever the
// pivot falls among the blocks and tasks.
TEST_P(CholeskyRefusesAsSerial, AtTheSamePivot) {
    const Indefinite& c = GetParam();
    std::vector<double> a = spd(c.n, 7 + c.n);
    a[c.at * c.n + c.at] *= 1.0 - c.lowered_by;
    std::vector<double> l;
    const std::string want = serial_cholesky(a, c.n, l);
    ASSERT_NE(want, "");
    for (const covariance::KernelPlan& plan : every_plan()) {
        auto got = covariance::cholesky(a, c.n, plan);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().message(), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Covariance, CholeskyRefusesAsSerial,
                         ::testing::Values(Indefinite{40, 0, 1.5}, Indefinite{40, 31, 2.0}, Indefinite{70, 32, 3.0},
                                           Indefinite{130, 97, 5.0}, Indefinite{300, 299, 10.0},
                                           Indefinite{300, 150, 1.0}),
                         [](const auto& i) {
                             return row_name("order", i.param.n, "pivot", i.param.at, "lowered_by", i.param.lowered_by);
                         });

}  // namespace

namespace {

// Six observations of three assets with unequal correlations.
const std::vector<double> kSmallPanel = {.01, .02, -.01, 0, -.01, .02, .02, .01, 0,
                                         -.01, 0, .01, .03, .02, -.02, 0, .01, .01};

std::vector<double> scaled(const std::vector<double>& x, double f) {
    std::vector<double> out = x;
    for (double& v : out) v *= f;
    return out;
}

class ShrinkageUnderScaling : public ::testing::TestWithParam<int> {};

// Scaling returns by 2^k is exact, so the intensity must not move by a bit and the matrix
// must scale by exactly 4^k, from returns of 1e-146 to 1e70. An absolute guard on gamma
// switched the shrinkage off for every k below about -10.
TEST_P(ShrinkageUnderScaling, KeepsTheIntensityBitForBit) {
    const int k = GetParam();
    auto base = covariance::estimate(kSmallPanel, 6, 3, ids(3), 252.0);
    auto got = covariance::estimate(scaled(kSmallPanel, std::ldexp(1.0, k)), 6, 3, ids(3), 252.0);
    ASSERT_TRUE(base.ok() && got.ok());
    EXPECT_GT(base->shrinkage_intensity, 0.1);
    EXPECT_EQ(got->shrinkage_intensity, base->shrinkage_intensity);
    for (std::size_t q = 0; q < 9; ++q) EXPECT_EQ(got->cov[q], std::ldexp(base->cov[q], 2 * k)) << q;
}

INSTANTIATE_TEST_SUITE_P(Covariance, ShrinkageUnderScaling, ::testing::Values(-480, -100, -30, -10, -1, 1, 10, 230),
                         [](const auto& i) { return row_name("times_2_to_the", i.param); });

struct TooLarge {
    const char* name;
    std::vector<double> panel;  // 4 x 3 unless noted
    std::size_t rows;
    const char* message;
};

class CovarianceRefusesOverflow : public ::testing::TestWithParam<TooLarge> {};

TEST_P(CovarianceRefusesOverflow, NamingTheFirstQuantityOutOfRange) {
    const TooLarge& c = GetParam();
    for (const covariance::KernelPlan& plan : every_plan()) {
        auto got = covariance::estimate(c.panel, c.rows, 3, ids(3), 252.0, plan);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().message(), c.message);
    }
}

const double kA300 = std::ldexp(1.0, 300);
const double kA510 = std::ldexp(1.0, 510);

// Worked by hand. Columns of +-a in sign patterns that sum to zero have mean 0 and c = x.
INSTANTIATE_TEST_SUITE_P(
    Covariance, CovarianceRefusesOverflow,
    ::testing::Values(
        // c(t, 0)^2 = 1e600: S(0, 0) overflows.
        TooLarge{"S", {1e300, 1, .5, -1e300, 2, .25, 1e300, 4, 1, -1e300, 8, 2}, 4,
                 "degenerate input: values too large: S is not finite"},
        // a = 2^300 in orthogonal patterns: S(0, 1) = 0, so dev = +-2^600 and dev^2 = 2^1200.
        TooLarge{"pi", {kA300, kA300, 1, -kA300, kA300, 2, kA300, -kA300, 4, -kA300, -kA300, 8}, 4,
                 "degenerate input: values too large: pi is not finite"},
        // Columns 0 and 1 equal (+-2^510), column 2 orthogonal +-2^-40: every dev of a pair
        // with a constant square is 0, so pi is 2^942, but sqrt(S(0,0)/S(2,2)) = sqrt(2^1100)
        // overflows and times the zero theta sum gives NaN.
        TooLarge{"rho", {kA510, kA510, 0x1p-40, -kA510, -kA510, 0x1p-40, kA510, kA510, -0x1p-40, -kA510, -kA510,
                         -0x1p-40},
                 4, "degenerate input: values too large: rho is not finite"},
        // The same with column 2 at +-1: pi = 2^1022 and rho = 0 stay finite, while rbar = 1/3
        // puts F(0, 1) - S(0, 1) at -2/3 2^1020, whose square overflows.
        TooLarge{"gamma", {kA510, kA510, 1, -kA510, -kA510, 1, kA510, kA510, -1, -kA510, -kA510, -1}, 4,
                 "degenerate input: values too large: gamma is not finite"}),
    [](const ::testing::TestParamInfo<TooLarge>& p) { return std::string(p.param.name); });

}  // namespace

namespace {

struct NonFinite {
    std::vector<std::size_t> at;  // flat indices, in the order written
    std::vector<double> values;
    const char* message;
};

class CovarianceNonFinite : public ::testing::TestWithParam<NonFinite> {};

// The scan reads the panel in blocks of 65536 values on the pool; the first bad value in
// row-major order is still the one reported, whichever blocks hold others.
TEST_P(CovarianceNonFinite, ReportsTheFirstInRowMajorOrder) {
    const NonFinite& c = GetParam();
    std::vector<double> x = factor_panel(400, 300, 5);
    for (std::size_t q = 0; q < c.at.size(); ++q) x[c.at[q]] = c.values[q];
    for (const covariance::KernelPlan& plan : every_plan()) {
        auto got = covariance::estimate(x, 400, 300, ids(300), 252.0, plan);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().message(), c.message);
    }
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kQuietNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Covariance, CovarianceNonFinite,
    ::testing::Values(NonFinite{{250 * 300 + 7}, {kInfinity}, "non-finite value at row 250, col 7"},
                      // A later block's value is written first; the earlier one wins.
                      NonFinite{{399 * 300 + 299, 10 * 300 + 2}, {kQuietNaN, -kInfinity},
                                "non-finite value at row 10, col 2"},
                      // Two in one block: the first of them.
                      NonFinite{{230 * 300 + 9, 230 * 300 + 4}, {kQuietNaN, kQuietNaN},
                                "non-finite value at row 230, col 4"}),
    [](const auto& i) { return test_name(i.param.message); });

}  // namespace
