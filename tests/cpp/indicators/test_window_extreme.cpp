// Vector window extremes against a plain scan of every window, bit for bit, for periods
// that reach each arrangement of runs (no level up to two levels, two to eight runs per
// window), at the vector width this process runs (the instruction-set test reruns it at
// every narrower one). The values come from a small alphabet with signed zeros,
// infinities and NaN, plus a long NaN stretch so that long windows also meet windows
// without a value; the series spans several chunks and ends off the vector width.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "indicators/window_extreme.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;

namespace {

using tarnwick::indicators::window_extremes;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> alphabet_series(std::size_t n, std::uint64_t seed) {
    const double alphabet[] = {0.0, -0.0, 1.0, -1.0, 2.5, kInf, -kInf, kNaN};
    std::vector<double> x(n);
    for (auto& v : x) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        v = alphabet[(seed >> 33) % 8];
    }
    for (std::size_t i = 1200; i < 1500; ++i) x[i] = kNaN;
    return x;
}

// Skips NaN, takes every value at least as extreme as the one held; the start value
// left in place means no value.
double scan(const std::vector<double>& x, std::size_t from, std::size_t to, bool is_max) {
    double acc = is_max ? -kInf : kInf;
    for (std::size_t j = from; j <= to; ++j) {
        if (is_max ? x[j] >= acc : x[j] <= acc) acc = x[j];
    }
    return acc == (is_max ? -kInf : kInf) ? kNaN : acc;
}

class WindowExtreme : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WindowExtreme, MatchesAScanOfEveryWindow) {
    const std::size_t p = GetParam();
    using Kernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
    struct Case {
        const char* name;
        Kernel kernel;
        bool is_max;
    };
    const Case cases[] = {{"max", &window_extremes<true>, true}, {"min", &window_extremes<false>, false}};
    for (std::uint64_t seed : {1u, 2u}) {
        const std::vector<double> x = alphabet_series(2600 + seed, seed);
        for (const Case& c : cases) {
            std::vector<double> got(x.size(), 7.0);
            c.kernel(x, p, got);
            for (std::size_t i = 0; i + 1 < p; ++i) ASSERT_EQ(got[i], 7.0) << "wrote before the first window";
            for (std::size_t i = p - 1; i < x.size(); ++i) {
                const double want = scan(x, i + 1 - p, i, c.is_max);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want))
                    << c.name << " period " << p << " seed " << seed << " index " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, WindowExtreme,
                         ::testing::Values(1, 2, 3, 7, 8, 9, 20, 32, 33, 100, 129, 255, 256),
                         [](const auto& i) { return row_name("period", i.param); });

}  // namespace
