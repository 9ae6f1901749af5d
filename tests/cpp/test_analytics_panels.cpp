// Internals of the analytics that Python reaches only through whole simulations.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/output_size.h"
#include "portfolio/monte_carlo.h"

using namespace tarnwick;
using namespace tarnwick::portfolio;

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
