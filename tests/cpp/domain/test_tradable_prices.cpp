// A stretch of prices is tradable when each of its prices is: one untradable price of any
// kind, wherever it falls (in a whole round of four or in the tail after the last), makes
// the whole stretch untradable, and the answer is what testing each price would give.
#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "domain/bar.h"

namespace tarnwick {
namespace {

using domain::all_tradable;
using domain::is_tradable_price;

struct GapCase {
    std::string name;
    double price;
};

class AllTradable : public ::testing::TestWithParam<GapCase> {};

TEST_P(AllTradable, OneUntradablePriceAnywhereMakesTheStretchUntradable) {
    const double gap = GetParam().price;
    ASSERT_FALSE(is_tradable_price(gap));
    for (std::size_t n = 1; n <= 11; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            std::vector<double> prices(n);
            for (std::size_t k = 0; k < n; ++k) prices[k] = 100.0 + static_cast<double>(k);
            prices[at] = gap;
            EXPECT_FALSE(all_tradable(prices)) << n << " prices, untradable at " << at;
            // Only the span's own prices count.
            EXPECT_TRUE(all_tradable(std::span<const double>(prices).first(at))) << n << " prices, before " << at;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AllTradable,
    ::testing::Values(GapCase{"Zero", 0.0}, GapCase{"NegativeZero", -0.0}, GapCase{"Negative", -1.5},
                      GapCase{"NaN", std::numeric_limits<double>::quiet_NaN()},
                      GapCase{"NegativeNaN", -std::numeric_limits<double>::quiet_NaN()},
                      GapCase{"Infinity", std::numeric_limits<double>::infinity()},
                      GapCase{"NegativeInfinity", -std::numeric_limits<double>::infinity()},
                      GapCase{"LowestFinite", std::numeric_limits<double>::lowest()}),
    [](const auto& info) { return info.param.name; });

TEST(AllTradable, ExtremeFinitePricesAboveZeroAreTradable) {
    // The extremes that a sum or a least of the prices would trip over if computed wrongly.
    const std::vector<double> prices = {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                                        std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                                        std::numeric_limits<double>::max()};
    for (const double p : prices) ASSERT_TRUE(is_tradable_price(p));
    EXPECT_TRUE(all_tradable(prices));
}

}  // namespace
}  // namespace tarnwick
