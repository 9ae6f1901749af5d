#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "portfolio/covariance.h"
#include "portfolio/optimize.h"
#include "portfolio/optimize_checks.h"
#include "portfolio/optimize_problem.h"

using namespace tarnwick;
using namespace tarnwick::portfolio;

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
        PivotCase{{1, 0, 0}, 2, "shape mismatch: expected 2x2=4 values, got 3"}));

TEST(CovarianceEstimate, PanelLengthMustMatchItsShape) {
    const std::vector<double> panel(5, 0.01);
    auto m = covariance::estimate(panel, 2, 3, {"a", "b", "c"}, 252.0);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().message(), "shape mismatch: expected 2x3=6 values, got 5");
}

TEST(PortfolioOptimizer, QuadraticFormSumsRowByRow) {
    // Rows: (2*1 + 1*2) * 1 = 4 and (1*1 + 3*2) * 2 = 14.
    EXPECT_EQ(quadratic_form(std::vector<double>{2, 1, 1, 3}, std::vector<double>{1, 2}), 18.0);
}

TEST(PortfolioOptimizer, SectorCapacityTakesTheOtherOperandOfANan) {
    OptimizerConfig c;
    c.position_cap = 0.4;
    c.sector_caps = {kNan, 0.3, 0.5};
    const std::vector<std::size_t> counts{2, 0, 1};
    // min(NaN, 0.8) = 0.8, min(0.3, 0) = 0, min(0.5, 0.4) = 0.4.
    EXPECT_DOUBLE_EQ(optimize_checks::sector_capacity(3, c, counts), 1.2);
}

TEST(PortfolioOptimizer, LongOnlyProblemLayout) {
    RiskModel m = diagonal_model({1e-4, 2e-4, 3e-4});
    m.cov[0 * 3 + 1] = m.cov[1 * 3 + 0] = 5e-5;
    OptimizerConfig c;
    c.risk_aversion = 2.0;
    c.turnover_penalty = 0.01;
    c.position_cap = 0.6;
    c.cash_max = 0.1;
    c.sector_ids = {1, 0, 1};
    c.sector_caps = {0.5, 0.7};
    const std::vector<double> alpha{0.1, 0.2, 0.3};
    const std::vector<double> wc{0.2, 0.3, 0.4};
    const BookProblem p = build_book_problem(m, alpha, wc, c);

    // P: 2 lambda cov on the w block, upper triangle, the zero entries (0,2), (1,2) left out.
    EXPECT_EQ(p.p_upper.rows, 6u);
    EXPECT_EQ(p.p_upper.nzval, (std::vector<double>{4e-4, 2e-4, 8e-4, 12e-4}));
    EXPECT_EQ(p.p_upper.rowval, (std::vector<std::size_t>{0, 0, 1, 2}));
    EXPECT_EQ(p.q, (std::vector<double>{-0.1, -0.2, -0.3, 0.01, 0.01, 0.01}));

    // 4n + S + 2 = 16 rows over 2n = 6 variables.
    const auto a = dense(p.a);
    ASSERT_EQ(a.size(), 16u);
    ASSERT_EQ(a[0].size(), 6u);
    const std::vector<std::vector<double>> want{
        {1, 1, 1, 0, 0, 0},    {-1, -1, -1, 0, 0, 0},                                    // budget
        {-1, 0, 0, 0, 0, 0},   {0, -1, 0, 0, 0, 0},   {0, 0, -1, 0, 0, 0},               // short floor
        {1, 0, 0, 0, 0, 0},    {0, 1, 0, 0, 0, 0},    {0, 0, 1, 0, 0, 0},                // position cap
        {0, 1, 0, 0, 0, 0},    {1, 0, 1, 0, 0, 0},                                       // sectors 0, 1
        {1, 0, 0, -1, 0, 0},   {0, 1, 0, 0, -1, 0},   {0, 0, 1, 0, 0, -1},               // turnover up
        {-1, 0, 0, -1, 0, 0},  {0, -1, 0, 0, -1, 0},  {0, 0, -1, 0, 0, -1},              // turnover down
    };
    EXPECT_EQ(a, want);
    EXPECT_EQ(p.b, (std::vector<double>{1.0, -0.9, 0, 0, 0, 0.6, 0.6, 0.6, 0.5, 0.7, 0.2, 0.3, 0.4, -0.2, -0.3,
                                        -0.4}));
}

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

TEST(PortfolioOptimizer, SolvesADiagonalBookByHand) {
    // Equal variances s = 1e-4, lambda = 10, no penalty, fully invested: the first-order
    // conditions 2 lambda s w_i - alpha_i + mu = 0 with sum w = 1 give
    // w_i = 1/3 + (alpha_i - mean alpha) / (2 lambda s) = 1/3 + (0.15, -0.10, -0.05).
    const RiskModel m = diagonal_model({1e-4, 1e-4, 1e-4});
    OptimizerConfig c;
    c.risk_aversion = 10.0;
    c.position_cap = 1.0;
    c.sector_ids = {0, 0, 0};
    c.sector_caps = {1.0};
    const std::vector<double> alpha{0.001, 0.0005, 0.0006};
    const std::vector<double> wc{0.0, 0.0, 0.0};
    auto r = optimize_book(m, alpha, wc, c);
    ASSERT_TRUE(r.ok()) << r.error().message();
    const double third = 1.0 / 3.0;
    EXPECT_NEAR(r->weights[0], third + 0.15, 1e-7);
    EXPECT_NEAR(r->weights[1], third - 0.10, 1e-7);
    EXPECT_NEAR(r->weights[2], third - 0.05, 1e-7);
    EXPECT_EQ(r->solver_status, "Solved");
    EXPECT_NEAR(r->net_exposure, 1.0, 1e-8);
    EXPECT_NEAR(r->turnover, 0.5, 1e-8);
}
