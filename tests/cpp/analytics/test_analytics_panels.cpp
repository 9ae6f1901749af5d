// Internals of the analytics that Python reaches only through whole simulations, and the
// panel statistics at the edges of the double range.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "analytics/factor_panel.h"
#include "analytics/monte_carlo.h"
#include "base/output_size.h"

using namespace tarnwick;
using namespace tarnwick::base;
using namespace tarnwick::analytics;

TEST(Cholesky, FactorsAPositiveDefiniteMatrixFromItsLowerTriangle) {
    // C = [[4, 2, 2], [2, 5, 3], [2, 3, 6]]: L = [[2,0,0],[1,2,0],[1,1,2]] by hand
    // (row 2: 2/2 = 1, (3 - 1*1)/2 = 1, sqrt(6 - 1 - 1) = 2).
    const std::vector<double> expected = {2, 0, 0, 1, 2, 0, 1, 1, 2};
    const auto l = cholesky_lower({{4.0, 2.0, 2.0}, {2.0, 5.0, 3.0}, {2.0, 3.0, 6.0}}).value();
    EXPECT_EQ(l, expected);
    // Entries above the diagonal are never read.
    const auto lower_only = cholesky_lower({{4.0, 99.0, -7.0}, {2.0, 5.0, 1e9}, {2.0, 3.0, 6.0}}).value();
    EXPECT_EQ(lower_only, expected);
}

TEST(Cholesky, PivotsAreTestedOnlyWhereTheyAreUsed) {
    // A tiny last pivot is never divided by.
    const auto tiny = cholesky_lower({{1.0, 0.0}, {0.0, 1e-40}}).value();
    EXPECT_EQ(tiny[3], 1e-20);
    auto negative = cholesky_lower({{1.0, 0.0}, {0.0, -0.01}});
    ASSERT_FALSE(negative.ok());
    const std::string prefix =
        "correlation matrix is not positive definite (non-positive pivot -1.000e-2 at asset 1);";
    EXPECT_EQ(negative.error().text.rfind(prefix, 0), 0u) << negative.error().text;
}

TEST(Xoshiro, JumpsAreDeterministicAndUniformsStayInUnitInterval) {
    Xoshiro256 a(42);
    Xoshiro256 b(42);
    Xoshiro256 c(42);
    b.jump();
    c.jump();
    EXPECT_NE(a.state(), b.state());
    EXPECT_EQ(b.state(), c.state());
    for (int i = 0; i < 1000; ++i) {
        const double u = a.uniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(MonteCarloRequest, RefusesAPathStoreThatCannotBeAddressed) {
    McRequest q;
    q.returns = {{0.01}};
    q.weights = {1.0};
    q.correlation = {{1.0}};
    q.initial_value = 100.0;
    q.n_simulations = 2;
    q.horizon = 10;
    EXPECT_TRUE(check_mc_request(q).ok());
    EXPECT_TRUE(simulate_portfolio_mc(q).ok());
    // The shape is still right; the store is refused when the paths are about to be made.
    for (const std::uint64_t horizon : {UINT64_MAX /* horizon + 1 wraps */, UINT64_MAX / 4 /* the bytes wrap */}) {
        q.horizon = horizon;
        EXPECT_TRUE(check_mc_request(q).ok());
        EXPECT_THROW((void)simulate_portfolio_mc(q), OutOfMemory);
    }
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Requests that break two rules at once: the earlier rule of check_mc_request is the one
// reported, by the check and by the simulation, which refuses before anything else.
struct BrokenRequest {
    const char* name;
    double initial_value;
    std::size_t assets, weights, rows;  // returns series, weights, correlation rows (of `assets` entries)
    std::uint64_t n_simulations;
    const char* error;
};

class MonteCarloRequestOrder : public ::testing::TestWithParam<BrokenRequest> {};

TEST_P(MonteCarloRequestOrder, ReportsTheFirstRuleBroken) {
    const BrokenRequest& c = GetParam();
    McRequest q;
    q.returns.assign(c.assets, {0.01, -0.02});
    q.weights.assign(c.weights, 1.0);
    q.correlation.assign(c.rows, std::vector<double>(c.assets, 0.0));
    q.initial_value = c.initial_value;
    q.n_simulations = c.n_simulations;
    q.horizon = UINT64_MAX;  // a store no machine holds: never reached
    const auto checked = check_mc_request(q);
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error().text, c.error);
    const auto simulated = simulate_portfolio_mc(q);
    ASSERT_FALSE(simulated.ok());
    EXPECT_EQ(simulated.error().text, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MonteCarloRequestOrder,
    ::testing::Values(
        BrokenRequest{"zero_value_no_series", 0.0, 0, 0, 0, 10, "initial_value must be finite and above 0, got 0"},
        BrokenRequest{"nan_value_short_weights", kNaN, 2, 1, 2, 10,
                      "initial_value must be finite and above 0, got NaN"},
        BrokenRequest{"negative_value_no_paths", -5.0, 1, 1, 1, 0,
                      "initial_value must be finite and above 0, got -5"},
        BrokenRequest{"infinite_value_short_matrix", kInf, 2, 2, 1, 10,
                      "initial_value must be finite and above 0, got inf"},
        BrokenRequest{"short_weights_short_matrix", 1.0, 2, 1, 1, 10,
                      "weights has 1 entries but returns has 2 asset series; returns is a list of per-asset series, "
                      "not an (n_obs, n_assets) matrix"},
        BrokenRequest{"short_matrix_no_paths", 1.0, 2, 2, 1, 0,
                      "correlation_matrix must be 2x2 to match the 2 asset series"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FinalsCase {
    const char* name;
    std::vector<double> finals;  // one path of horizon 1 each: [v0, final]
    double v0;
    std::vector<double> sorted;
    double expected_return, probability_of_loss, var_95, cvar_95;
    std::array<std::size_t, 5> percentile_paths;
};

class McSummaryOrder : public ::testing::TestWithParam<FinalsCase> {};

bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// Both NaN, or within four ulps as EXPECT_DOUBLE_EQ has it.
::testing::AssertionResult close(double got, double want) {
    if (std::isnan(got) && std::isnan(want)) return ::testing::AssertionSuccess();
    if (::testing::internal::FloatingPoint<double>(got).AlmostEquals(::testing::internal::FloatingPoint<double>(want))) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << got << " is not " << want;
}

TEST_P(McSummaryOrder, SortsTotallyAndTakesStatisticsOverFiniteFinals) {
    const FinalsCase& c = GetParam();
    std::vector<double> paths;
    for (double f : c.finals) {
        paths.push_back(c.v0);
        paths.push_back(f);
    }
    const McSummary s = summarise_paths(paths, c.finals.size(), 1, c.v0);
    ASSERT_EQ(s.final_values.size(), c.sorted.size());
    for (std::size_t i = 0; i < c.sorted.size(); ++i) EXPECT_TRUE(same(s.final_values[i], c.sorted[i])) << i;
    EXPECT_TRUE(close(s.expected_return, c.expected_return));
    EXPECT_TRUE(close(s.probability_of_loss, c.probability_of_loss));
    EXPECT_TRUE(close(s.var_95, c.var_95));
    EXPECT_TRUE(close(s.cvar_95, c.cvar_95));
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_TRUE(same(s.percentile_paths[k].path[1], c.finals[c.percentile_paths[k]])) << k;
    }
}

// Worked by hand. Percentile places are round(p x (N - 1)) over all N finals; statistics
// use the finite ones only, k = round(0.05 x (m - 1)).
INSTANTIATE_TEST_SUITE_P(
    MonteCarlo, McSummaryOrder,
    ::testing::Values(
        // Finite [-0, 0, 1, 2, 3]: mean 1.2, three below 2, k = 0 at -0. Places 0, 2, 4, 5, 7:
        // -inf (path 2), 0 (first equal final: -0 on path 6), 2 (5), 3 (0), NaN (1).
        FinalsCase{"mixed", {3, kNaN, -kInf, 1, kInf, 2, -0.0, 0.0}, 2.0, {-kInf, -0.0, 0.0, 1, 2, 3, kInf, kNaN},
                   -40.0, 0.6, 100.0, 100.0, {2, 6, 5, 0, 1}},
        // Nothing finite: mean and loss share are 0/0, and there is no tail to take a risk
        // figure from; places 0, 1, 1, 2, 2.
        FinalsCase{"none_finite", {kNaN, kInf, -kInf}, 1.0, {-kInf, kInf, kNaN}, kNaN, kNaN, kNaN, kNaN,
                   {2, 1, 1, 0, 0}},
        // Every path failed: no figure at all; every place is the first path's NaN.
        FinalsCase{"all_nan", {kNaN, kNaN, kNaN, kNaN}, 5.0, {kNaN, kNaN, kNaN, kNaN}, kNaN, kNaN, kNaN, kNaN,
                   {0, 0, 0, 0, 0}},
        // Every path ran off the top: no finite final either.
        FinalsCase{"all_infinite", {kInf, kInf}, 5.0, {kInf, kInf}, kNaN, kNaN, kNaN, kNaN, {0, 0, 0, 0, 0}},
        // All finite: mean 3, two below 3, k = 0 at 1; places 0, 1, 2, 3, 4.
        FinalsCase{"finite", {5, 1, 4, 2, 3}, 3.0, {1, 2, 3, 4, 5}, 0.0, 0.4, 200.0 / 3.0, 200.0 / 3.0,
                   {1, 3, 4, 2, 0}},
        // Four finals of 1e308 sum past the range; their mean is 1e308 itself, the start.
        FinalsCase{"sum_past_the_range", {1e308, 1e308, 1e308, 1e308}, 1e308, {1e308, 1e308, 1e308, 1e308}, 0.0,
                   0.0, 0.0, 0.0, {0, 0, 0, 0, 0}},
        // Nine finals of 2^1022 and two of -2^1023: the sorted sum leaves the range at its
        // second term. Mean (9 x 2^1022 - 2 x 2^1023) / 11 = 5/11 x 2^1022, so the return is
        // that over 100, less 1, in percent (the 1 is far below an ulp). k = round(0.5) = 1;
        // the tail of two -2^1023 also sums past the range, its mean is -2^1023, and both
        // shortfalls are (100 + 2^1023) / 100 in percent. Places 1, 3, 5, 8, 10.
        FinalsCase{"tail_past_the_range",
                   {0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022,
                    -0x1p1023, -0x1p1023},
                   100.0,
                   {-0x1p1023, -0x1p1023, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022, 0x1p1022,
                    0x1p1022, 0x1p1022},
                   5.0 / 11.0 * 0x1p1022,
                   2.0 / 11.0,
                   0x1p1023,
                   0x1p1023,
                   {9, 0, 0, 0, 0}},
        // Started at 2^1023 and ended at -2^1023: a loss of twice the start, 200 percent,
        // though the difference itself is past the range.
        FinalsCase{"shortfall_past_the_range", {-0x1p1023}, 0x1p1023, {-0x1p1023}, -200.0, 1.0, 200.0, 200.0,
                   {0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<FinalsCase>& p) { return std::string(p.param.name); });

}  // namespace

namespace {

struct ZscoreRow {
    const char* name;
    std::vector<double> row;
    std::vector<double> z;
};

class ZscoreOutOfRange : public ::testing::TestWithParam<ZscoreRow> {};

TEST_P(ZscoreOutOfRange, ScoresTheRowInUnitsOfItsLargestMagnitude) {
    const ZscoreRow& c = GetParam();
    Matrix m;
    m.rows = 1;
    m.cols = c.row.size();
    m.data = c.row;
    auto got = zscore_panel(m, 2);
    ASSERT_TRUE(got.ok());
    for (std::size_t i = 0; i < c.z.size(); ++i) {
        if (std::isnan(c.z[i])) EXPECT_TRUE(std::isnan(got->data[i])) << i;
        else EXPECT_DOUBLE_EQ(got->data[i], c.z[i]) << i;
    }
}

// By hand, on the row divided by its largest magnitude.
INSTANTIATE_TEST_SUITE_P(
    FactorPanels, ZscoreOutOfRange,
    ::testing::Values(
        // [1, -1, 1]: mean 1/3, variance 8/9, so (2/3) / (2 sqrt 2 / 3) = 1/sqrt 2 and -sqrt 2.
        // The squared deviations (4/9 1e600) overflow.
        ZscoreRow{"squares_overflow",
                  {1e300, -1e300, 1e300},
                  {1 / std::sqrt(2.0), -std::sqrt(2.0), 1 / std::sqrt(2.0)}},
        // [1, 1, -1, -1, NaN]: mean 0, variance 1. The sum overflows at its second term.
        ZscoreRow{"sum_overflows", {1e308, 1e308, -1e308, -1e308, kNaN}, {1, 1, -1, -1, kNaN}},
        // [1/3, 2/3, 1]: variance 2/27, z = -+(1/3) / sqrt(2/27) = -+sqrt(3/2). The squared
        // deviations (2^-1130) underflow to zero. Multiples of a power of two, so that the
        // middle cell is the mean exactly (1e-170, 2e-170 and 3e-170 are not in step).
        ZscoreRow{"squares_underflow",
                  {0x1p-565, kNaN, 0x2p-565, 0x3p-565},
                  {-std::sqrt(1.5), kNaN, 0, std::sqrt(1.5)}},
        // Equal values stay unscored, however large.
        ZscoreRow{"equal", {1e308, 1e308, 1e308}, {kNaN, kNaN, kNaN}}),
    [](const ::testing::TestParamInfo<ZscoreRow>& p) { return std::string(p.param.name); });

struct ConstantValue {
    const char* name;
    double value;
};

// A row of `cols` equal values, alone and with missing cells between them.
class ZscoreConstantRow : public ::testing::TestWithParam<std::tuple<ConstantValue, std::size_t>> {};

TEST_P(ZscoreConstantRow, HasNoScoreWhateverItsRoundedMean) {
    const auto& [v, cols] = GetParam();
    Matrix m;
    m.rows = 2;
    m.cols = 2 * cols;
    m.data.assign(m.rows * m.cols, v.value);
    std::fill(m.data.begin() + static_cast<std::ptrdiff_t>(cols), m.data.begin() + static_cast<std::ptrdiff_t>(2 * cols),
              kNaN);  // row 0: the values, then NaN
    for (std::size_t c = 0; c < m.cols; c += 2) m(1, c) = kNaN;  // row 1: NaN, value, NaN, value, ...
    auto got = zscore_panel(m, 2);
    ASSERT_TRUE(got.ok());
    for (std::size_t i = 0; i < got->data.size(); ++i) EXPECT_TRUE(std::isnan(got->data[i])) << i << ": " << got->data[i];
}

// Values whose sum over a few columns rounds to a mean one ulp off the value (0.1, 0.2 and
// 1.1 among them), and the two ends of the range.
INSTANTIATE_TEST_SUITE_P(
    FactorPanels, ZscoreConstantRow,
    ::testing::Combine(::testing::Values(ConstantValue{"tenth", 0.1}, ConstantValue{"fifth", 0.2},
                                         ConstantValue{"third", 1.0 / 3.0}, ConstantValue{"one_and_a_tenth", 1.1},
                                         ConstantValue{"tiny", 1e-300}, ConstantValue{"huge", 7e300},
                                         ConstantValue{"negative_tenth", -0.1}),
                       ::testing::Range(std::size_t{3}, std::size_t{10})),
    [](const ::testing::TestParamInfo<std::tuple<ConstantValue, std::size_t>>& p) {
        return std::string(std::get<0>(p.param).name) + "_" + std::to_string(std::get<1>(p.param)) + "_cols";
    });

}  // namespace

namespace {

constexpr int kMissing = std::numeric_limits<int>::min();

// Cells that lie a few ulps above (away from zero) a base value, as whole ulps: the row's
// z-scores do not depend on the base or on the ulp's size, so they are worked by hand once.
struct UlpPattern {
    const char* name;
    std::vector<int> steps;  // ulps above the base, or kMissing for a NaN cell
    std::vector<double> z;   // for a positive base; a negative one mirrors them
};

struct NearBase {
    const char* name;
    double value;
};

class ZscoreNearConstantRow : public ::testing::TestWithParam<std::tuple<UlpPattern, NearBase>> {};

TEST_P(ZscoreNearConstantRow, ScoresTheTrueSpreadOfTheLastBits) {
    const auto& [pattern, base_value] = GetParam();
    const double away = std::copysign(kInf, base_value.value);
    Matrix m;
    m.rows = 1;
    m.cols = pattern.steps.size();
    for (int step : pattern.steps) {
        double x = base_value.value;
        for (int k = 0; step != kMissing && k < step; ++k) x = std::nextafter(x, away);
        m.data.push_back(step == kMissing ? kNaN : x);
    }
    auto got = zscore_panel(m, 2);
    ASSERT_TRUE(got.ok());
    const double sign = std::signbit(base_value.value) ? -1.0 : 1.0;
    for (std::size_t i = 0; i < pattern.z.size(); ++i) {
        if (std::isnan(pattern.z[i])) EXPECT_TRUE(std::isnan(got->data[i])) << i << ": " << got->data[i];
        else EXPECT_NEAR(got->data[i], sign * pattern.z[i], 1e-13) << i;
    }
}

// k cells at one value and a last one an ulp from them: mean 1/(k+1) ulp from the k,
// variance k/(k+1)^2 ulp^2, so the k score -1/sqrt(k) and the last sqrt(k).
// Steps 0, 1, 2: mean 1, variance 2/3, scores -+sqrt(3/2) and 0. Steps 3, 0, 1, 3, 2: mean
// 9/5, deviations 6, -9, -4, 6, 1 fifths, variance 34/25, so each deviation in fifths over
// sqrt(34).
const double kR2 = std::sqrt(2.0);
const double kR3 = std::sqrt(3.0);
const double kR7 = std::sqrt(7.0);
const double kR34 = std::sqrt(34.0);

INSTANTIATE_TEST_SUITE_P(
    FactorPanels, ZscoreNearConstantRow,
    ::testing::Combine(
        ::testing::Values(UlpPattern{"one_above_two", {0, 0, 1}, {-1 / kR2, -1 / kR2, kR2}},
                          UlpPattern{"one_above_three", {0, 0, 0, 1}, {-1 / kR3, -1 / kR3, -1 / kR3, kR3}},
                          UlpPattern{"one_below_seven",
                                     {1, 1, 1, 1, 1, 1, 1, 0},
                                     {1 / kR7, 1 / kR7, 1 / kR7, 1 / kR7, 1 / kR7, 1 / kR7, 1 / kR7, -kR7}},
                          UlpPattern{"even_steps", {0, 1, 2}, {-std::sqrt(1.5), 0.0, std::sqrt(1.5)}},
                          UlpPattern{"missing_between",
                                     {1, kMissing, 0, 0, kMissing},
                                     {kR2, kNaN, -1 / kR2, -1 / kR2, kNaN}},
                          UlpPattern{"three_ulps",
                                     {3, 0, 1, 3, 2},
                                     {6 / kR34, -9 / kR34, -4 / kR34, 6 / kR34, 1 / kR34}}),
        // Values whose rounded mean lands off the cells (0.1, 1.1), one at a power of two, one
        // whose ulps squared underflow, one whose sum overflows, the smallest subnormal.
        ::testing::Values(NearBase{"tenth", 0.1}, NearBase{"one", 1.0}, NearBase{"one_and_a_tenth", 1.1},
                          NearBase{"negative_tenth", -0.1}, NearBase{"thousands", 12345.678},
                          NearBase{"tiny", 1e-160}, NearBase{"huge", 1.7e308},
                          NearBase{"negative_huge", -1.7e308}, NearBase{"subnormal", 5e-324})),
    [](const ::testing::TestParamInfo<std::tuple<UlpPattern, NearBase>>& p) {
        return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param).name;
    });

TEST(ZscoreNearConstant, ScoresCellsAcrossAPowerOfTwo) {
    // Below 1 the ulp is half the ulp above it: in half-ulps of 1 the cells sit at 0, 1 and
    // 3, mean 4/3, deviations -4, -1, 5 thirds, variance 14/9, scores -4, -1, 5 over sqrt(14).
    Matrix m;
    m.rows = 1;
    m.cols = 3;
    m.data = {std::nextafter(1.0, 0.0), 1.0, std::nextafter(1.0, 2.0)};
    auto got = zscore_panel(m, 2);
    ASSERT_TRUE(got.ok());
    const double r14 = std::sqrt(14.0);
    const std::vector<double> want = {-4 / r14, -1 / r14, 5 / r14};
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got->data[i], want[i], 1e-13) << i;
}

}  // namespace
