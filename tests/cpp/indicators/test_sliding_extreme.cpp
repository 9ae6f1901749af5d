// Block-wise window extremes against a plain scan of every window, bit for bit: the
// values come from a small alphabet with signed zeros, infinities and NaN, so ties and
// skipped elements fall on both sides of every block boundary.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "indicators/sliding_extreme.h"

namespace {

using tarnwick::indicators::sliding_extreme;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> alphabet_series(std::size_t n, std::uint64_t seed, bool with_nan) {
    const double alphabet[] = {0.0, -0.0, 1.0, -1.0, 2.5, kInf, -kInf, kNaN};
    const std::size_t size = with_nan ? 8 : 5;
    std::vector<double> x(n);
    for (auto& v : x) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        v = alphabet[(seed >> 33) % size];
    }
    return x;
}

struct Rule {
    const char* name;
    double none;
    bool later_wins;
    bool is_max;
};

std::ostream& operator<<(std::ostream& os, const Rule& r) { return os << r.name; }

// The scan the block method must reproduce: start at `none`, skip NaN, take a value that
// is more extreme, or equally extreme when the later value wins ties.
double scan(const std::vector<double>& x, std::size_t from, std::size_t to, const Rule& r) {
    double acc = r.none;
    for (std::size_t j = from; j <= to; ++j) {
        const double v = x[j];
        const bool more = r.is_max ? v > acc : v < acc;
        const bool equal = v == acc;
        if (more || (r.later_wins && equal)) acc = v;
    }
    return acc;
}

class SlidingExtreme : public ::testing::TestWithParam<Rule> {};

TEST_P(SlidingExtreme, MatchesAScanOfEveryWindow) {
    const Rule r = GetParam();
    auto pick = [r](double earlier, double later) {
        if (r.is_max) return r.later_wins ? (earlier > later ? earlier : later) : (later > earlier ? later : earlier);
        return r.later_wins ? (earlier < later ? earlier : later) : (later < earlier ? later : earlier);
    };
    std::vector<double> scratch;
    for (bool with_nan : {false, true}) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const std::vector<double> x = alphabet_series(97, seed, with_nan);
            for (std::size_t p : {1u, 2u, 3u, 7u, 10u, 48u, 96u, 97u}) {
                std::vector<double> got(x.size(), kNaN);
                std::size_t next = p - 1;
                auto emit = [&](std::size_t i, double v) {
                    ASSERT_EQ(i, next) << "windows out of order";
                    ++next;
                    got[i] = v;
                };
                if (with_nan) {
                    sliding_extreme<false>(x, p, r.none, scratch, pick, emit);
                } else {
                    sliding_extreme<true>(x, p, r.none, scratch, pick, emit);
                }
                ASSERT_EQ(next, x.size());
                for (std::size_t i = p - 1; i < x.size(); ++i) {
                    const double want = scan(x, i + 1 - p, i, r);
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want))
                        << r.name << " period " << p << " seed " << seed << " index " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, SlidingExtreme,
                         ::testing::Values(Rule{"min, later wins", kInf, true, false},
                                           Rule{"max, later wins", -kInf, true, true},
                                           Rule{"min, earlier wins", kInf, false, false},
                                           Rule{"max, earlier wins", -kInf, false, true}),
                         [](const auto& info) {
                             return std::string(info.param.is_max ? "Max" : "Min") +
                                    (info.param.later_wins ? "LaterWins" : "EarlierWins");
                         });

}  // namespace
