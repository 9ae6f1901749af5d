#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "portfolio/factor_panel.h"
#include "portfolio/monte_carlo.h"
#include "portfolio/rebalance.h"

using namespace tarnwick;
using namespace tarnwick::portfolio;

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

struct RankCase {
    std::vector<double> values;
    std::vector<double> ranks;
};

class AverageRanks : public ::testing::TestWithParam<RankCase> {};

TEST_P(AverageRanks, SharesTheMeanSortedPositionAcrossTies) {
    EXPECT_EQ(average_ranks(GetParam().values), GetParam().ranks);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AverageRanks,
    ::testing::Values(RankCase{{}, {}}, RankCase{{7.0}, {0.0}},
                      // sorted: 1 (pos 0, 1), 2 (pos 2), 3 (pos 3)
                      RankCase{{3.0, 1.0, 2.0, 1.0}, {3.0, 0.5, 2.0, 0.5}},
                      // zero and negative zero are one run at positions 1..2
                      RankCase{{0.0, -1.0, -0.0, 5.0}, {1.5, 0.0, 1.5, 3.0}},
                      RankCase{{4.0, 4.0, 4.0}, {1.0, 1.0, 1.0}}));

TEST(CheckPanel, ReportsLengthBeforeTheFirstInfiniteCell) {
    Matrix bad{{1.0, kInf, 3.0}, 2, 2};
    auto r = check_panel(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "shape mismatch: expected 2x2=4 values, got 3");

    Matrix inf{{1.0, kNaN, 2.0, 3.0, -kInf, kInf}, 2, 3};
    r = check_panel(inf);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "non-finite value at row 1, col 1");

    EXPECT_TRUE(check_panel(Matrix{{}, 0, 5}).ok());
    EXPECT_TRUE(check_panel(Matrix{{kNaN}, 1, 1}).ok());
}

TEST(Cholesky, FactorsAPositiveDefiniteMatrix) {
    // C = [[4, 2, 2], [2, 5, 3], [2, 3, 6]]: L = [[2,0,0],[1,2,0],[1,1,2]] by hand
    // (row 2: 2/2 = 1, (3 - 1*1)/2 = 1, sqrt(6 - 1 - 1) = 2).
    auto l = cholesky_lower({{4.0, 2.0, 2.0}, {2.0, 5.0, 3.0}, {2.0, 3.0, 6.0}});
    ASSERT_TRUE(l.ok());
    EXPECT_EQ(*l, (std::vector<double>{2, 0, 0, 1, 2, 0, 1, 1, 2}));
    // Only the lower triangle is read.
    auto lower_only = cholesky_lower({{4.0, 99.0, -7.0}, {2.0, 5.0, 1e9}, {2.0, 3.0, 6.0}});
    ASSERT_TRUE(lower_only.ok());
    EXPECT_EQ(*lower_only, *l);
}

struct CholeskyFailure {
    std::vector<std::vector<double>> c;
    std::string message;
};

class CholeskyFailures : public ::testing::TestWithParam<CholeskyFailure> {};

TEST_P(CholeskyFailures, NameThePivot) {
    auto l = cholesky_lower(GetParam().c);
    ASSERT_FALSE(l.ok());
    EXPECT_EQ(l.error().text, GetParam().message);
}

const std::string kTail =
    "; it cannot be decomposed, and simulating through a repaired version would report risk figures for a "
    "correlation structure you did not supply";

INSTANTIATE_TEST_SUITE_P(
    Table, CholeskyFailures,
    ::testing::Values(
        // 1 - 1*1 = 0 at the second pivot.
        CholeskyFailure{{{1.0, 1.0}, {1.0, 1.0}},
                        "correlation matrix is not positive definite (non-positive pivot 0.000e0 at asset 1)" + kTail},
        CholeskyFailure{{{1.0, 0.0}, {0.0, -0.01}},
                        "correlation matrix is not positive definite (non-positive pivot -1.000e-2 at asset 1)" +
                            kTail},
        // sqrt(1e-40) = 1e-20 passes as a pivot but cannot be divided by in row 1.
        CholeskyFailure{{{1e-40, 0.0}, {0.0, 1.0}},
                        "correlation matrix is singular (zero pivot at asset 0); assets 1 and 0 are perfectly "
                        "collinear or a row is all zeros"}));

TEST(Cholesky, TinyLastPivotPasses) {
    auto l = cholesky_lower({{1.0, 0.0}, {0.0, 1e-40}});
    ASSERT_TRUE(l.ok());
    EXPECT_EQ((*l)[3], 1e-20);
}

TEST(Xoshiro, JumpedStreamsDifferAndRepeat) {
    Xoshiro256 a(42);
    Xoshiro256 b(42);
    b.jump();
    EXPECT_NE(a.state(), b.state());
    Xoshiro256 c(42);
    c.jump();
    EXPECT_EQ(b.state(), c.state());
    for (int i = 0; i < 1000; ++i) {
        const double u = a.uniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(MonteCarloRequest, RefusesShapesAndZeroPaths) {
    McRequest q;
    q.returns = {{0.01}, {0.02}};
    q.weights = {0.5, 0.5};
    q.correlation = {{1.0, 0.0}, {0.0}};
    q.n_simulations = 1;
    auto s = check_mc_request(q);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text, "correlation_matrix must be 2x2 to match the 2 asset series");
    q.correlation = {{1.0, 0.0}, {0.0, 1.0}};
    EXPECT_TRUE(check_mc_request(q).ok());
    q.n_simulations = 0;
    EXPECT_FALSE(check_mc_request(q).ok());
    q.n_simulations = 2;
    q.horizon = UINT64_MAX;  // horizon + 1 wraps
    EXPECT_FALSE(check_mc_request(q).ok());
}

TEST(RebalancePolicyNames, ParseIgnoresAsciiCaseOnly) {
    EXPECT_EQ(*parse_rebalance_policy("BAND"), RebalancePolicy::Band);
    EXPECT_EQ(*parse_rebalance_policy("Calendar"), RebalancePolicy::Calendar);
    auto bad = parse_rebalance_policy(" Band");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().text, "unknown policy ' band'; expected 'calendar' or 'band'");
    EXPECT_EQ(name(RebalancePolicy::Band), "band");
}

TEST(RebalanceSums, HoldingsValueAndDrift) {
    const std::vector<double> holdings = {2.0, 0.0, 1.0};
    const double prices[] = {10.0, 5.0, 30.0};
    const double targets[] = {0.5, 0.5, 0.0};
    EXPECT_EQ(holdings_value(holdings, prices), 50.0);
    // weights 0.4, 0, 0.6 against 0.5, 0.5, 0: 0.1 + 0.5 + 0.6
    EXPECT_DOUBLE_EQ(drift_l1(holdings, prices, 50.0, targets), 1.2);
}
