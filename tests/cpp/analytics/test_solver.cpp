#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "analytics/solver.h"

using namespace tarnwick;
using analytics::solver::Csc;
using analytics::solver::Settings;

namespace {

// Rows: x1 + x2 <= 1, -x1 <= 0, -x2 <= 0.
Csc budget_and_long_only() { return Csc{3, 2, {0, 2, 4}, {0, 1, 0, 2}, {1.0, -1.0, 1.0, -1.0}}; }
const std::vector<double> kBudgetRhs{1.0, 0.0, 0.0};

Settings tight() { return Settings{200, 1e-10, 1e-10, 1e-10}; }

}  // namespace

struct QpCase {
    const char* name;
    Csc p_upper;
    std::vector<double> q;
    std::vector<double> x;
    double objective;
    std::vector<double> b = kBudgetRhs;
};

class SolvesBudgetQp : public ::testing::TestWithParam<QpCase> {};

TEST_P(SolvesBudgetQp, ReachesTheKktPointSilently) {
    const QpCase& c = GetParam();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto r = analytics::solver::solve(c.p_upper, c.q, budget_and_long_only(), c.b, tight());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string errs = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(errs, "");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(analytics::solver::status_name(r->status), "Solved");
    ASSERT_EQ(r->x.size(), 2u);
    EXPECT_NEAR(r->x[0], c.x[0], 1e-6);
    EXPECT_NEAR(r->x[1], c.x[1], 1e-6);
    EXPECT_NEAR(r->objective, c.objective, 1e-6);
    EXPECT_GT(r->iterations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Solver, SolvesBudgetQp,
    ::testing::Values(
        // P = diag(2, 2), q = (-2, -3): with the budget active, 2x1 - 2 + l = 0 and
        // 2x2 - 3 + l = 0 give x2 - x1 = 1/2, so x = (1/4, 3/4), l = 3/2 > 0;
        // objective 1/16 + 9/16 - 1/2 - 9/4 = -2.125.
        QpCase{"diagonal", Csc{2, 2, {0, 1, 2}, {0, 1}, {2.0, 2.0}}, {-2.0, -3.0}, {0.25, 0.75}, -2.125},
        // P = [[2, 1], [1, 2]] from its upper triangle, q = (-3, -3): unconstrained
        // optimum (1, 1) breaks the budget; by symmetry x = (1/2, 1/2), 1.5 - 3 + l = 0
        // gives l = 3/2 > 0; objective 1/2 * (0.5 + 0.5 + 0.5) - 3 = -2.25.
        QpCase{"coupled", Csc{2, 2, {0, 1, 3}, {0, 0, 1}, {2.0, 1.0, 2.0}}, {-3.0, -3.0}, {0.5, 0.5}, -2.25},
        // An infinite bound never binds: the unconstrained optimum x = -q / 2 = (1, 3/2)
        // is nonnegative; objective 1 + 9/4 - 2 - 9/2 = -3.25.
        QpCase{"unbounded_budget", Csc{2, 2, {0, 1, 2}, {0, 1}, {2.0, 2.0}}, {-2.0, -3.0}, {1.0, 1.5}, -3.25,
               {INFINITY, 0.0, 0.0}}),
    [](const auto& info) { return std::string(info.param.name); });

namespace {

// P = 2 (I + 11') over n variables, stored as its dense upper triangle: the shape of a
// covariance block, large enough that the solver factors it with its supernodal method.
Csc dense_coupled(std::size_t n) {
    Csc p{n, n, {0}, {}, {}};
    for (std::size_t col = 0; col < n; ++col) {
        for (std::size_t row = 0; row <= col; ++row) {
            p.rowval.push_back(row);
            p.nzval.push_back(row == col ? 4.0 : 2.0);
        }
        p.colptr.push_back(p.rowval.size());
    }
    return p;
}

// Row 0: sum of x <= 1; rows 1..n: -x(i) <= 0.
Csc budget_rows(std::size_t n) {
    Csc a{n + 1, n, {0}, {}, {}};
    for (std::size_t col = 0; col < n; ++col) {
        a.rowval.insert(a.rowval.end(), {0, col + 1});
        a.nzval.insert(a.nzval.end(), {1.0, -1.0});
        a.colptr.push_back(a.rowval.size());
    }
    return a;
}

std::vector<double> budget_rhs(std::size_t n) {
    std::vector<double> b(n + 1, 0.0);
    b[0] = 1.0;
    return b;
}

}  // namespace

struct DenseCase {
    const char* name;
    double pull;  // q = -pull on every variable
    double x;  // every x(i), by symmetry
    double objective;
};

class SolvesDenseBlock : public ::testing::TestWithParam<DenseCase> {};

constexpr std::size_t kDenseN = 200;

TEST_P(SolvesDenseBlock, ToItsSymmetricPoint) {
    const DenseCase& c = GetParam();
    const std::vector<double> q(kDenseN, -c.pull);
    auto r = analytics::solver::solve(dense_coupled(kDenseN), q, budget_rows(kDenseN), budget_rhs(kDenseN), tight());
    ASSERT_TRUE(r.ok()) << r.error();
    ASSERT_EQ(analytics::solver::status_name(r->status), "Solved");
    for (std::size_t i = 0; i < kDenseN; ++i) ASSERT_NEAR(r->x[i], c.x, 1e-9) << i;
    EXPECT_NEAR(r->objective, c.objective, 1e-8);
}

INSTANTIATE_TEST_SUITE_P(
    Solver, SolvesDenseBlock,
    ::testing::Values(
        // With x(i) = s, (Px)(i) = 2 s (1 + n) = 402 s. Free: 402 s = 1.005 gives
        // s = 0.0025 and n s = 0.5 < 1; objective n (1 + n) s^2 - pull n s
        // = 200 * 201 * 6.25e-6 - 0.5025 = -0.25125.
        DenseCase{"budget_slack", 1.005, 0.0025, -0.25125},
        // Free, 402 s = 4 would give n s = 1.99 > 1: the budget binds at s = 1/200, its
        // multiplier 4 - 402 * 0.005 = 1.99 > 0; objective 200 * 201 * 2.5e-5 - 4 = -2.995.
        DenseCase{"budget_binds", 4.0, 0.005, -2.995}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Solver, DenseBlockGivesTheSameBitsOnEveryCallAndThread) {
    std::vector<double> q(kDenseN);
    for (std::size_t i = 0; i < kDenseN; ++i) q[i] = -4.0 * (1.0 + 0.001 * static_cast<double>((i * 37) % 11));
    const Csc p = dense_coupled(kDenseN);
    const Csc a = budget_rows(kDenseN);
    const std::vector<double> b = budget_rhs(kDenseN);
    auto first = analytics::solver::solve(p, q, a, b, tight());
    ASSERT_TRUE(first.ok()) << first.error();

    constexpr std::size_t kThreads = 8;
    std::vector<analytics::solver::Solution> concurrent(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto r = analytics::solver::solve(p, q, a, b, tight());
            if (r.ok()) concurrent[t] = std::move(r).value();
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& s : concurrent) {
        EXPECT_EQ(s.x, first->x);
        EXPECT_EQ(s.objective, first->objective);
        EXPECT_EQ(s.iterations, first->iterations);
    }
}

TEST(Solver, ContradictoryRowsArePrimalInfeasible) {
    // x1 + x2 <= -1 with x >= 0 has no solution.
    const std::vector<double> b{-1.0, 0.0, 0.0};
    auto r = analytics::solver::solve(Csc{2, 2, {0, 1, 2}, {0, 1}, {2.0, 2.0}}, std::vector<double>{-2.0, -3.0},
                                      budget_and_long_only(), b, tight());
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(analytics::solver::status_name(r->status), "PrimalInfeasible");
}

TEST(Solver, OneIterationStopsAtTheLimit) {
    Settings s = tight();
    s.max_iter = 1;
    auto r = analytics::solver::solve(Csc{2, 2, {0, 1, 2}, {0, 1}, {2.0, 2.0}}, std::vector<double>{-2.0, -3.0},
                                      budget_and_long_only(), kBudgetRhs, s);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(analytics::solver::status_name(r->status), "MaxIterations");
    EXPECT_EQ(r->iterations, 1u);
}

struct BadCase {
    const char* name;
    Csc p_upper;
    std::vector<double> q;
    Csc a;
    const char* message_part;
    std::vector<double> b = kBudgetRhs;
};

class RejectsMalformedInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(RejectsMalformedInput, WithAnErrorText) {
    const BadCase& c = GetParam();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto r = analytics::solver::solve(c.p_upper, c.q, c.a, c.b, tight());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find(c.message_part), std::string::npos) << r.error();
}

const Csc kDiag{2, 2, {0, 1, 2}, {0, 1}, {2.0, 2.0}};
const std::vector<double> kQ{-2.0, -3.0};

INSTANTIATE_TEST_SUITE_P(
    Solver, RejectsMalformedInput,
    ::testing::Values(
        BadCase{"short_colptr", Csc{2, 2, {0, 2}, {0, 1}, {2.0, 2.0}}, kQ, budget_and_long_only(),
                "P: colptr has length 2, expected cols + 1 = 3"},
        // colptr promises 9 entries that rowval doesn't have.
        BadCase{"colptr_past_the_data", kDiag, kQ, Csc{3, 2, {0, 2, 9}, {0, 1, 0, 2}, {1.0, -1.0, 1.0, -1.0}},
                "A: colptr[cols] = 9"},
        BadCase{"row_out_of_range", kDiag, kQ, Csc{3, 2, {0, 2, 4}, {0, 1, 0, 3}, {1.0, -1.0, 1.0, -1.0}},
                "row index 3 in column 1 is out of range"},
        BadCase{"full_symmetric_p", Csc{2, 2, {0, 2, 4}, {0, 1, 0, 1}, {2.0, 1.0, 1.0, 2.0}}, kQ,
                budget_and_long_only(), "below the diagonal"},
        BadCase{"q_too_long", kDiag, {-2.0, -3.0, 0.0}, budget_and_long_only(), "does not match q of length 3"},
        // Left to the solver, NaN would come back as a status (a NaN bound reads as
        // "DualInfeasible"), not as the caller's mistake it is.
        BadCase{"nan_in_q", kDiag, {NAN, -3.0}, budget_and_long_only(), "q: entry 0 is NaN"},
        BadCase{"nan_in_b", kDiag, kQ, budget_and_long_only(), "b: entry 1 is NaN", {1.0, NAN, 0.0}},
        BadCase{"infinite_in_a", kDiag, kQ, Csc{3, 2, {0, 2, 4}, {0, 1, 0, 2}, {1.0, -1.0, 1.0, -INFINITY}},
                "A: entry 3 is -inf"}),
    [](const auto& info) { return std::string(info.param.name); });
