// The figures of a run's curves, read in two passes over the returns and the drawdown side
// by side, against the rules written out one sample at a time in separate loops: every
// sum in sample order from -0.0, NaN skipped where the rule says so, the tail ratio from a
// full sort. The two must agree bit for bit, the sign of a zero included.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "metrics/return_stats.h"
#include "metrics/tail_ratio_reference.h"

using namespace tarnwick;
using namespace tarnwick::metrics;
using tarnwick::testing_support::tail_ratio_by_sorting;

namespace {

::testing::AssertionResult same_bits(double a, double b) {
    if (std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " (" << std::hexfloat << a << ") against " << b << " (" << b << ")"
                                         << std::defaultfloat;
}

::testing::AssertionResult same_bits(const std::optional<double>& a, const std::optional<double>& b) {
    if (a.has_value() != b.has_value()) {
        return ::testing::AssertionFailure() << (a ? "a value" : "none") << " against " << (b ? "a value" : "none");
    }
    return a ? same_bits(*a, *b) : ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------
// The rules, one loop per figure.

DrawdownStats drawdown_by_the_rules(const std::vector<double>& dd, const std::vector<std::int64_t>& t) {
    DrawdownStats out;
    const std::size_t n = dd.size();
    for (const double d : dd) {
        if (d > out.max_pct) out.max_pct = d;
    }
    // Runs of samples above 0: the longest by length, the earliest among equals.
    std::size_t best_first = 0, best_len = 0;
    for (std::size_t i = 0; i < n;) {
        if (!(dd[i] > 0.0)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < n && dd[j] > 0.0) ++j;
        if (j - i > best_len) best_first = i, best_len = j - i;
        i = j;
    }
    out.max_duration = best_len;
    if (n == 0) return out;
    double sum_sq = -0.0;
    for (const double d : dd) sum_sq += d * d;
    out.ulcer_index = std::sqrt(sum_sq / static_cast<double>(n));
    std::size_t under = 0;
    double sum_under = -0.0;
    for (const double d : dd) {
        if (d > 0.0) ++under, sum_under += d;
    }
    out.time_under_water_pct = static_cast<double>(under) / static_cast<double>(n) * 100.0;
    if (under > 0) out.avg_pct = sum_under / static_cast<double>(under);
    const std::size_t best_last = best_first + best_len - 1;
    if (t.size() >= 2 && best_len > 0 && best_last < t.size()) {
        const __int128 span = static_cast<__int128>(t[best_last]) - static_cast<__int128>(t[best_first]);
        const __int128 clamped = std::min<__int128>(span, std::numeric_limits<std::int64_t>::max());
        if (clamped >= 0) out.max_duration_secs = static_cast<double>(static_cast<std::int64_t>(clamped)) / 1e9;
    }
    return out;
}


ReturnSummary returns_by_the_rules(const std::vector<double>& r, double periods, double rf) {
    ReturnSummary out;
    std::vector<double> x;
    for (const double v : r) {
        if (!std::isnan(v)) x.push_back(v);
        out.nonzero += v != 0.0 && !std::isnan(v) ? 1 : 0;
        out.positive += v > 0.0 ? 1 : 0;
    }
    out.tail_ratio = tail_ratio_by_sorting(r);
    if (x.size() < 2) return out;
    const double n = static_cast<double>(x.size());
    double sum = -0.0;
    for (const double v : x) sum += v;
    const double mean = sum / n;
    const double excess = mean - (periods > 0.0 ? rf / periods : 0.0);
    double sq = -0.0, cube = -0.0, quad = -0.0, down = -0.0, gains = -0.0, losses = -0.0;
    bool any_loss = false, any_gain = false;
    for (const double v : x) {
        const double d = v - mean;
        sq += d * d;
        cube += d * d * d;
        quad += d * d * (d * d);
    }
    for (const double v : x) {
        if (v < 0.0) down += v * v, losses += std::fabs(v), any_loss = true;
    }
    for (const double v : x) {
        if (v > 0.0) gains += v, any_gain = true;
    }
    ReturnStats& s = out.stats;
    const double variance = sq / (n - 1.0);
    s.sharpe = variance > 0.0 ? excess / std::sqrt(variance) * std::sqrt(periods) : 0.0;
    const double downside = std::sqrt(down / n);
    s.sortino = any_loss && downside > 0.0 ? std::sqrt(periods) * excess / downside : (excess > 0.0 ? INFINITY : 0.0);
    s.omega = losses > 0.0 ? gains / losses : (any_gain ? INFINITY : 1.0);
    const double m2 = sq / n;
    if (x.size() >= 3 && m2 > 0.0) {
        s.skew = std::sqrt(n * (n - 1.0)) * ((cube / n) / std::pow(m2, 1.5)) / (n - 2.0);
        if (x.size() >= 4) {
            const double g = (quad / n) / (m2 * m2) - 3.0;
            s.kurtosis = (n - 1.0) * ((n + 1.0) * g + 6.0) / ((n - 2.0) * (n - 3.0));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Random curves.

struct CurveCase {
    const char* label;
    std::size_t returns;
    std::size_t drawdown;
    std::size_t timestamps;
    double nan_share = 0.0;
    double zero_share = 0.3;       // returns exactly 0, of either sign
    double under_water = 0.7;      // the chance a drawdown stretch is under water
    bool losses_only = false;      // every non-zero return below 0
};

void PrintTo(const CurveCase& c, std::ostream* os) { *os << c.label; }

struct Curves {
    std::vector<double> returns, drawdown;
    std::vector<std::int64_t> timestamps;
};

Curves random_curves(const CurveCase& c, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0005, 0.01);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Curves out;
    for (std::size_t i = 0; i < c.returns; ++i) {
        const double u = unit(rng);
        double x = u < c.nan_share                  ? NAN
                   : u < c.nan_share + c.zero_share ? (unit(rng) < 0.5 ? 0.0 : -0.0)
                                                    : normal(rng);
        if (c.losses_only) x = -std::fabs(x);
        out.returns.push_back(x);
    }
    // Stretches under water and at the high, of random lengths.
    bool under = false;
    std::size_t left = 0;
    double depth = 0.0;
    for (std::size_t i = 0; i < c.drawdown; ++i) {
        if (left == 0) {
            under = unit(rng) < c.under_water;
            left = 1 + static_cast<std::size_t>(unit(rng) * 40.0);
            depth = 0.0;
        }
        --left;
        depth += std::fabs(normal(rng)) * 100.0;
        const double u = unit(rng);
        out.drawdown.push_back(u < c.nan_share ? NAN : under ? depth : (u < 0.5 ? 0.0 : -0.0));
    }
    std::int64_t t = 1'700'000'000'000'000'000;
    for (std::size_t i = 0; i < c.timestamps; ++i) {
        t += static_cast<std::int64_t>(unit(rng) * 120.0) * 1'000'000'000 - 10'000'000'000;
        out.timestamps.push_back(t);
    }
    return out;
}

class CurvePasses : public ::testing::TestWithParam<CurveCase> {};

TEST_P(CurvePasses, EqualTheFiguresSampleBySample) {
    const CurveCase& c = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(c.label));
    for (int round = 0; round < 8; ++round) {
        const Curves curves = random_curves(c, rng);
        const double periods = round % 2 ? 252.0 : 94500.0;
        const double rf = round % 3 ? 0.0 : 0.05;
        const CurveSummary got = summarize_curves(curves.returns, curves.drawdown, curves.timestamps, periods, rf);
        const ReturnSummary want = returns_by_the_rules(curves.returns, periods, rf);
        const DrawdownStats dd = drawdown_by_the_rules(curves.drawdown, curves.timestamps);
        SCOPED_TRACE(::testing::Message() << "round " << round);

        EXPECT_TRUE(same_bits(got.returns.stats.sharpe, want.stats.sharpe));
        EXPECT_TRUE(same_bits(got.returns.stats.sortino, want.stats.sortino));
        EXPECT_TRUE(same_bits(got.returns.stats.omega, want.stats.omega));
        EXPECT_TRUE(same_bits(got.returns.stats.skew, want.stats.skew));
        EXPECT_TRUE(same_bits(got.returns.stats.kurtosis, want.stats.kurtosis));
        EXPECT_TRUE(same_bits(got.returns.tail_ratio, want.tail_ratio));
        EXPECT_EQ(got.returns.nonzero, want.nonzero);
        EXPECT_EQ(got.returns.positive, want.positive);

        EXPECT_TRUE(same_bits(got.drawdown.max_pct, dd.max_pct));
        EXPECT_EQ(got.drawdown.max_duration, dd.max_duration);
        EXPECT_TRUE(same_bits(got.drawdown.max_duration_secs, dd.max_duration_secs));
        EXPECT_TRUE(same_bits(got.drawdown.ulcer_index, dd.ulcer_index));
        EXPECT_TRUE(same_bits(got.drawdown.time_under_water_pct, dd.time_under_water_pct));
        EXPECT_TRUE(same_bits(got.drawdown.avg_pct, dd.avg_pct));

        // Without the tail ratio the statistics and the drawdown are the same.
        const CurveSummary bare = summarize_curves(curves.returns, curves.drawdown, curves.timestamps, periods, rf,
                                                   TailRatio::Skip);
        EXPECT_FALSE(bare.returns.tail_ratio.has_value());
        EXPECT_TRUE(same_bits(bare.returns.stats.sharpe, want.stats.sharpe));
        EXPECT_TRUE(same_bits(bare.returns.stats.kurtosis, want.stats.kurtosis));
        EXPECT_TRUE(same_bits(bare.drawdown.ulcer_index, dd.ulcer_index));
        EXPECT_EQ(bare.drawdown.max_duration, dd.max_duration);

        // The drawdown read alone gives the same figures.
        const DrawdownStats alone = drawdown_stats(curves.drawdown, curves.timestamps);
        EXPECT_TRUE(same_bits(alone.max_pct, dd.max_pct));
        EXPECT_EQ(alone.max_duration, dd.max_duration);
        EXPECT_TRUE(same_bits(alone.max_duration_secs, dd.max_duration_secs));
        EXPECT_TRUE(same_bits(alone.ulcer_index, dd.ulcer_index));
        EXPECT_TRUE(same_bits(alone.time_under_water_pct, dd.time_under_water_pct));
        EXPECT_TRUE(same_bits(alone.avg_pct, dd.avg_pct));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, CurvePasses,
    ::testing::Values(CurveCase{"empty", 0, 0, 0}, CurveCase{"one_sample", 1, 1, 1},
                      CurveCase{"two_samples", 2, 2, 2}, CurveCase{"odd_lengths", 1001, 1001, 1001},
                      CurveCase{"even_lengths", 1000, 1000, 1000},
                      CurveCase{"drawdown_longer", 999, 1002, 1002}, CurveCase{"returns_longer", 1003, 998, 998},
                      CurveCase{"drawdown_only", 0, 777, 777}, CurveCase{"returns_only", 777, 0, 0},
                      CurveCase{"timestamps_shorter", 500, 500, 120}, CurveCase{"no_timestamps", 500, 500, 0},
                      CurveCase{"nan_in_both", 2001, 2001, 2001, 0.05},
                      CurveCase{"never_under_water", 300, 301, 301, 0.0, 0.3, 0.0},
                      CurveCase{"always_under_water", 300, 301, 301, 0.0, 0.3, 1.0},
                      CurveCase{"losses_only", 301, 300, 300, 0.0, 0.1, 0.7, true},
                      CurveCase{"mostly_zero_returns", 4001, 4001, 4001, 0.0, 0.97},
                      // Long enough for the tail percentiles to be bracketed from a sample.
                      CurveCase{"long", 20001, 20001, 20001}, CurveCase{"long_even", 30000, 30000, 30000},
                      CurveCase{"long_with_nan", 50001, 50000, 50000, 0.02},
                      CurveCase{"long_mostly_flat", 40000, 40000, 40000, 0.0, 0.8}),
    [](const auto& info) { return std::string(info.param.label); });

// A stretch still under water at the last sample ends there; of two equally long
// stretches the first counts.
TEST(CurvePasses, StretchesAtTheEndAndTies) {
    const std::vector<std::int64_t> t = {0, 1'000'000'000, 3'000'000'000, 7'000'000'000, 15'000'000'000};
    const auto at_end = summarize_curves({}, std::vector<double>{0.0, 0.0, 1.0, 2.0, 3.0}, t, 252.0, 0.0);
    EXPECT_EQ(at_end.drawdown.max_duration, 3u);
    EXPECT_EQ(*at_end.drawdown.max_duration_secs, 12.0);
    const auto ties = summarize_curves({}, std::vector<double>{1.0, 1.0, 0.0, 2.0, 2.0}, t, 252.0, 0.0);
    EXPECT_EQ(ties.drawdown.max_duration, 2u);
    EXPECT_EQ(*ties.drawdown.max_duration_secs, 1.0);
}

}  // namespace
