#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/monte_carlo.h"
#include "base/output_size.h"

using namespace tarnwick;
using namespace tarnwick::base;

namespace {

TEST(OutputSize, MonteCarloRefusesBeforeSimulating) {
    analytics::McRequest q;
    q.returns = {{0.01, -0.02, 0.005}};
    q.weights = {1.0};
    q.correlation = {{1.0}};
    q.initial_value = 100.0;
    q.n_simulations = std::uint64_t{1} << 31;
    q.horizon = 252;
    ASSERT_TRUE(analytics::check_mc_request(q).ok());
    try {
        (void)analytics::simulate_portfolio_mc(q);
        ADD_FAILURE() << "simulated";
    } catch (const OutOfMemory& e) {
        EXPECT_STREQ(e.what(), "cannot allocate 4346506903552 bytes for the paths (2147483648 paths of 252 steps)");
    }
    // H + 1 passes 64 bits: the values per path are counted without wrapping to zero.
    q.n_simulations = 1;
    q.horizon = std::numeric_limits<std::uint64_t>::max();
    try {
        (void)analytics::simulate_portfolio_mc(q);
        ADD_FAILURE() << "simulated";
    } catch (const OutOfMemory& e) {
        EXPECT_STREQ(e.what(),
                     "cannot allocate 147573952589676412928 bytes for the paths (1 paths of 18446744073709551615 steps)");
    }
}

TEST(OutputSize, CovarianceOfTooManyAssetsIsRefusedBeforeAnyMatrix) {
    // Two observations of 10^5 assets: seven 10^5 x 10^5 matrices of 8 bytes, 5.6 x 10^11 bytes.
    const std::size_t n = 100'000;
    std::vector<double> panel(2 * n);
    for (std::size_t j = 0; j < n; ++j) panel[n + j] = 0.01 * static_cast<double>(j % 7 + 1);
    try {
        (void)analytics::covariance::estimate(panel, 2, n, std::vector<std::string>(n, "a"), 252.0);
        ADD_FAILURE() << "estimated";
    } catch (const OutOfMemory& e) {
        EXPECT_STREQ(e.what(), "cannot allocate 560000000000 bytes for the covariance of 100000 assets");
    }
}

}  // namespace
