#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/optimize.h"
#include "analytics/optimize_problem.h"
#include "test_names.h"

using tarnwick::testing_support::test_name;
using namespace tarnwick;
using namespace tarnwick::analytics;

namespace {

std::vector<std::vector<double>> dense(const solver::Csc& m) {
    std::vector<std::vector<double>> out(m.rows, std::vector<double>(m.cols, 0.0));
    for (std::size_t c = 0; c < m.cols; ++c) {
        for (std::size_t k = m.colptr[c]; k < m.colptr[c + 1]; ++k) out[m.rowval[k]][c] = m.nzval[k];
    }
    return out;
}

RiskModel diagonal_model(std::vector<double> variances) {
    RiskModel m;
    const std::size_t n = variances.size();
    m.cov.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        m.cov[i * n + i] = variances[i];
        m.asset_ids.push_back("a" + std::to_string(i));
    }
    m.n_assets = n;
    m.periods_per_year = 252.0;
    m.n_obs = 10;
    return m;
}

}  // namespace

TEST(CovarianceCholesky, FactorsAPositiveDefiniteMatrix) {
    // Row 0: l00 = sqrt(4) = 2. Row 1: l10 = 2/2 = 1, l11 = sqrt(10 - 1) = 3.
    // Row 2: l20 = -2/2 = -1, l21 = (2 - (-1)(1))/3 = 1, l22 = sqrt(5 - 1 - 1) = sqrt(3).
    const std::vector<double> a{4, 2, -2, 2, 10, 2, -2, 2, 5};
    auto l = covariance::cholesky(a, 3);
    ASSERT_TRUE(l.ok()) << l.error().message();
    const std::vector<double> want{2, 0, 0, 1, 3, 0, -1, 1, std::sqrt(3.0)};
    for (std::size_t k = 0; k < 9; ++k) EXPECT_DOUBLE_EQ((*l)[k], want[k]) << k;
}

struct PivotCase {
    std::vector<double> a;
    std::size_t n;
    const char* message;
};

class CovarianceCholeskyRefuses : public ::testing::TestWithParam<PivotCase> {};

TEST_P(CovarianceCholeskyRefuses, WithThePivotAndItsRow) {
    const PivotCase& c = GetParam();
    auto l = covariance::cholesky(c.a, c.n);
    ASSERT_FALSE(l.ok());
    EXPECT_EQ(l.error().message(), c.message);
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Covariance, CovarianceCholeskyRefuses,
    ::testing::Values(
        // 1 - 2 * 2 = -3 on the second pivot.
        PivotCase{{1, 2, 2, 1}, 2, "covariance not positive definite: pivot -3.000e0 at index 1"},
        PivotCase{{0.0, 0, 0, 1}, 2, "covariance not positive definite: pivot 0.000e0 at index 0"},
        PivotCase{{-0.0}, 1, "covariance not positive definite: pivot -0.000e0 at index 0"},
        PivotCase{{1, 0, 0, -0.25}, 2, "covariance not positive definite: pivot -2.500e-1 at index 1"},
        PivotCase{{kNan}, 1, "covariance not positive definite: pivot NaN at index 0"},
        PivotCase{{1, 0, 0, kInf}, 2, "covariance not positive definite: pivot inf at index 1"},
        // An infinite off-diagonal entry surfaces at the next pivot: 1 - inf^2.
        PivotCase{{1, kInf, kInf, 1}, 2, "covariance not positive definite: pivot -inf at index 1"},
        PivotCase{{1, 0, 0}, 2, "shape mismatch: expected 2x2=4 values, got 3"}),
    [](const auto& i) { return test_name(i.param.message); });

TEST(PortfolioOptimizer, LongShortProblemAddsGrossSlacks) {
    const RiskModel m = diagonal_model({1e-4, 2e-4});
    OptimizerConfig c;
    c.risk_aversion = 1.0;
    c.position_cap = 0.8;
    c.short_cap = 0.3;
    c.gross_max = 1.5;
    c.net_min = -0.2;
    c.net_max = 0.9;
    c.sector_ids = {0, 0};
    c.sector_caps = {1.2};
    const std::vector<double> alpha{0.1, 0.2};
    const std::vector<double> wc{0.1, -0.1};
    const BookProblem p = build_book_problem(m, alpha, wc, c);

    // 6n + S + 3 = 16 rows over 3n = 6 variables; the sector row sums g, not w.
    const auto a = dense(p.a);
    ASSERT_EQ(a.size(), 16u);
    const std::vector<std::vector<double>> want{
        {1, 1, 0, 0, 0, 0},   {-1, -1, 0, 0, 0, 0},                       // budget
        {-1, 0, 0, 0, 0, 0},  {0, -1, 0, 0, 0, 0},                        // short floor
        {1, 0, 0, 0, 0, 0},   {0, 1, 0, 0, 0, 0},                         // position cap
        {0, 0, 0, 0, 1, 1},                                               // sector 0
        {1, 0, -1, 0, 0, 0},  {0, 1, 0, -1, 0, 0},                        // turnover up
        {-1, 0, -1, 0, 0, 0}, {0, -1, 0, -1, 0, 0},                       // turnover down
        {1, 0, 0, 0, -1, 0},  {0, 1, 0, 0, 0, -1},                        // gross up
        {-1, 0, 0, 0, -1, 0}, {0, -1, 0, 0, 0, -1},                       // gross down
        {0, 0, 0, 0, 1, 1},                                               // gross budget
    };
    EXPECT_EQ(a, want);
    EXPECT_EQ(p.b, (std::vector<double>{0.9, 0.2, 0.3, 0.3, 0.8, 0.8, 1.2, 0.1, -0.1, -0.1, 0.1, 0, 0, 0, 0, 1.5}));
    EXPECT_EQ(p.q, (std::vector<double>{-0.1, -0.2, 0, 0, 0, 0}));
}


TEST(PortfolioOptimizer, LongOnlyProblemCapsSectorsOnTheWeights) {
    // Three assets in two sectors; the covariance's exact zeros stay out of P.
    RiskModel m = diagonal_model({4.0, 9.0, 1.0});
    m.cov[0 * 3 + 1] = m.cov[1 * 3 + 0] = 2.0;
    OptimizerConfig c;
    c.risk_aversion = 0.5;
    c.turnover_penalty = 0.01;
    c.position_cap = 0.6;
    c.cash_max = 0.25;
    c.sector_ids = {1, 0, 1};
    c.sector_caps = {0.7, 0.9};
    const std::vector<double> alpha{0.3, -0.1, 0.2};
    const std::vector<double> wc{0.5, 0.2, 0.3};
    const BookProblem p = build_book_problem(m, alpha, wc, c);

    // P = 2 lambda cov = cov on w, upper triangle only; nothing on the turnover slacks.
    const auto pd = dense(p.p_upper);
    ASSERT_EQ(pd.size(), 6u);
    EXPECT_EQ(pd[0], (std::vector<double>{4, 2, 0, 0, 0, 0}));
    EXPECT_EQ(pd[1], (std::vector<double>{0, 9, 0, 0, 0, 0}));
    EXPECT_EQ(pd[2], (std::vector<double>{0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(p.p_upper.nzval.size(), 4u);

    // 4n + S + 2 = 16 rows over 2n = 6 variables: budget, short floor, position cap,
    // sectors (on w), turnover up and down.
    const std::vector<std::vector<double>> want{
        {1, 1, 1, 0, 0, 0},    {-1, -1, -1, 0, 0, 0},                        // budget
        {-1, 0, 0, 0, 0, 0},   {0, -1, 0, 0, 0, 0},   {0, 0, -1, 0, 0, 0},   // short floor
        {1, 0, 0, 0, 0, 0},    {0, 1, 0, 0, 0, 0},    {0, 0, 1, 0, 0, 0},    // position cap
        {0, 1, 0, 0, 0, 0},    {1, 0, 1, 0, 0, 0},                           // sectors 0 and 1
        {1, 0, 0, -1, 0, 0},   {0, 1, 0, 0, -1, 0},   {0, 0, 1, 0, 0, -1},   // turnover up
        {-1, 0, 0, -1, 0, 0},  {0, -1, 0, 0, -1, 0},  {0, 0, -1, 0, 0, -1},  // turnover down
    };
    EXPECT_EQ(dense(p.a), want);
    // Invested between 1 - cash_max and 1; no shorts; the caps; the current weights.
    EXPECT_EQ(p.b, (std::vector<double>{1, -0.75, 0, 0, 0, 0.6, 0.6, 0.6, 0.7, 0.9, 0.5, 0.2, 0.3, -0.5, -0.2, -0.3}));
    EXPECT_EQ(p.q, (std::vector<double>{-0.3, 0.1, -0.2, 0.01, 0.01, 0.01}));
}
