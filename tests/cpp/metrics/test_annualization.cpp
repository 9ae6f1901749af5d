#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/annualization.h"
#include "metrics/metrics.h"
#include "metrics/return_stats.h"
#include "test_names.h"

using tarnwick::testing_support::RowLabel;
using namespace tarnwick;
using namespace tarnwick::metrics;
namespace ann = tarnwick::metrics::annualization;

namespace {

constexpr std::int64_t kMinute = 60'000'000'000;
constexpr std::int64_t kDay = 86'400'000'000'000;
constexpr std::int64_t kT0 = 1'700'000'000'000'000'000;

std::vector<std::int64_t> spaced(std::int64_t step, int count) {
    std::vector<std::int64_t> t;
    for (int i = 0; i < count; ++i) t.push_back(kT0 + step * i);
    return t;
}

struct AnnCase {
    const char* label;
    std::optional<double> explicit_value;
    std::vector<std::int64_t> timestamps;
    std::optional<double> session_minutes;
    double expected;
};

class Annualization : public ::testing::TestWithParam<AnnCase> {};

TEST_P(Annualization, PeriodsPerYearOfARun) {
    const AnnCase& c = GetParam();
    EXPECT_DOUBLE_EQ(ann::run_periods_per_year(false, c.explicit_value, c.session_minutes, c.timestamps), c.expected)
        << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, Annualization,
    ::testing::Values(
        AnnCase{"explicit wins", 252.0, spaced(kMinute, 10), std::nullopt, 252.0},
        // 0, negative and NaN explicit values are ignored: one-minute bars of a 375-minute
        // session, 375 x 252 = 94500.
        AnnCase{"explicit zero", 0.0, spaced(kMinute, 10), std::nullopt, 94500.0},
        AnnCase{"explicit negative", -5.0, spaced(kMinute, 10), std::nullopt, 94500.0},
        AnnCase{"explicit NaN", NAN, spaced(kMinute, 10), std::nullopt, 94500.0},
        AnnCase{"no timestamps", std::nullopt, {}, std::nullopt, 365.0},
        AnnCase{"one timestamp", std::nullopt, {kT0}, std::nullopt, 365.0},
        AnnCase{"never increasing", std::nullopt, {kT0, kT0, kT0 - 5}, std::nullopt, 365.0},
        AnnCase{"daily", std::nullopt, spaced(kDay, 30), std::nullopt, 365.0},
        // 3.1536e16 / 6.048e14
        AnnCase{"weekly", std::nullopt, spaced(7 * kDay, 10), std::nullopt, 52.142857142857146},
        AnnCase{"one minute, MCX session", std::nullopt, spaced(kMinute, 10), 870.0, 870.0 * 252.0},
        // Round the clock: the minutes of a 365-day year.
        AnnCase{"one minute, 24x7", std::nullopt, spaced(kMinute, 10), 0.0, 525600.0},
        AnnCase{"one minute, negative session", std::nullopt, spaced(kMinute, 10), -1.0, 525600.0},
        // 375 minutes hold 3.125 two-hour bars.
        AnnCase{"two hours", std::nullopt, spaced(120 * kMinute, 10), std::nullopt, 787.5},
        // A bar longer than the session still counts one bar per session.
        AnnCase{"eight hours", std::nullopt, spaced(480 * kMinute, 10), std::nullopt, 252.0},
        // Gaps and repeated stamps do not move the median of the positive steps.
        AnnCase{"irregular",
                std::nullopt,
                {kT0, kT0 + kMinute, kT0 + kMinute, kT0 + 2 * kMinute, kT0 + 3 * kDay, kT0 + 3 * kDay + kMinute,
                 kT0 + 3 * kDay + 2 * kMinute},
                std::nullopt,
                94500.0},
        // Even count: steps of 60 s and 120 s, median 90 s; 375 x 60 / 90 = 250 bars a session.
        AnnCase{"even median", std::nullopt, {kT0, kT0 + kMinute, kT0 + 3 * kMinute}, std::nullopt, 250.0 * 252.0},
        // Steps 5, 1, 3, 2 minutes (out of order): middle pair 2 and 3, median 150 s;
        // 375 x 60 / 150 = 150 bars a session.
        AnnCase{"even median, steps out of order",
                std::nullopt,
                {kT0, kT0 + 5 * kMinute, kT0 + 6 * kMinute, kT0 + 9 * kMinute, kT0 + 11 * kMinute},
                std::nullopt,
                150.0 * 252.0},
        // Steps 4, 1, 2 minutes: median 2 minutes, 187.5 bars a session.
        AnnCase{"odd median, steps out of order",
                std::nullopt,
                {kT0, kT0 + 4 * kMinute, kT0 + 5 * kMinute, kT0 + 7 * kMinute},
                std::nullopt,
                187.5 * 252.0},
        // Repeated and backward stamps around evenly spaced ones: only the 2-minute steps
        // count, 187.5 bars a session.
        AnnCase{"even spacing between repeats",
                std::nullopt,
                {kT0, kT0, kT0 + 2 * kMinute, kT0 + kMinute, kT0 + 3 * kMinute, kT0 + 5 * kMinute},
                std::nullopt,
                187.5 * 252.0}),
    RowLabel{});

TEST(Annualization, LegacyConstantIgnoresEverythingElse) {
    EXPECT_EQ(ann::run_periods_per_year(true, 252.0, 870.0, spaced(kMinute, 10)), 365.0);
}

TEST(Annualization, ContinuousFlagAndDefaultOfTheRawFunction) {
    const auto t = spaced(kMinute, 5);
    EXPECT_DOUBLE_EQ(ann::periods_per_year(std::nullopt, t, true, 375.0, 1.0), 525600.0);
    EXPECT_DOUBLE_EQ(ann::periods_per_year(std::nullopt, t, false, 375.0, 1.0), 94500.0);
    EXPECT_EQ(ann::periods_per_year(std::nullopt, std::vector<std::int64_t>{}, false, 375.0, 7.0), 7.0);
}

TEST(Annualization, ExtremeTimestampsSaturateInsteadOfOverflowing) {
    constexpr auto lo = std::numeric_limits<std::int64_t>::min();
    constexpr auto hi = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::int64_t> t = {lo, hi};
    EXPECT_DOUBLE_EQ(ann::periods_per_year(std::nullopt, t, false, 375.0, 365.0), 3.1536e16 / static_cast<double>(hi));
}

// Two returns, 0.0 and 0.02: mean 0.01, sample deviation 0.01 x sqrt(2), so the Sharpe
// ratio is sqrt(periods / 2) and reveals the periods per year the metrics used.
struct SharpeCase {
    const char* label;
    std::int64_t step;
    std::optional<double> session_minutes;
    std::optional<double> periods_per_year;
    double expected;
};

class AnnualizedSharpe : public ::testing::TestWithParam<SharpeCase> {};

TEST_P(AnnualizedSharpe, ScalesWithThePeriodsOfTheRun) {
    const SharpeCase& c = GetParam();
    const std::vector<double> equity = {100000.0, 100000.0, 102000.0};
    const std::vector<double> drawdown = {0.0, 0.0, 0.0};
    const std::vector<double> returns = {0.0, 0.02};
    const std::vector<std::int64_t> timestamps = {kT0, kT0 + c.step};
    metrics::MetricsSettings settings;
    settings.initial_capital = 100000.0;
    settings.session_minutes = c.session_minutes;
    settings.periods_per_year = c.periods_per_year;
    const BacktestMetrics m = metrics::compute_metrics(equity, drawdown, returns, timestamps, {}, settings);
    EXPECT_NEAR(m.sharpe_ratio, c.expected, 1e-12 * c.expected) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, AnnualizedSharpe,
    ::testing::Values(
        SharpeCase{"1 minute", kMinute, std::nullopt, std::nullopt, 217.37065119284156},  // sqrt(47250)
        SharpeCase{"1 minute, 870", kMinute, 870.0, std::nullopt, 331.0891118717},       // sqrt(109620)
        SharpeCase{"1 minute, 0", kMinute, 0.0, std::nullopt, 512.6402247190518},        // sqrt(262800)
        SharpeCase{"2 hours", 120 * kMinute, std::nullopt, std::nullopt, 19.84313483298443},  // sqrt(393.75)
        SharpeCase{"explicit 252", kMinute, std::nullopt, 252.0, 11.224972160321824}),  // sqrt(126)
    RowLabel{});


// ---------------------------------------------------------------------------------------
// The inferred periods against the rule as written: every positive step (differences
// clamped to the 64-bit range), sorted, the middle one or the mean of the middle two.

double periods_by_sorting(const std::vector<std::int64_t>& t, bool continuous, double session_minutes) {
    std::vector<std::int64_t> steps;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        const __int128 d = static_cast<__int128>(t[i + 1]) - static_cast<__int128>(t[i]);
        const __int128 clamped = std::clamp<__int128>(d, std::numeric_limits<std::int64_t>::min(),
                                                      std::numeric_limits<std::int64_t>::max());
        if (clamped > 0) steps.push_back(static_cast<std::int64_t>(clamped));
    }
    if (steps.empty()) return 365.0;
    std::sort(steps.begin(), steps.end());
    const std::size_t m = steps.size() / 2;
    const double median = steps.size() % 2 == 1
                              ? static_cast<double>(steps[m])
                              : (static_cast<double>(steps[m - 1]) + static_cast<double>(steps[m])) * 0.5;
    if (median >= 86400e9 || continuous || !(session_minutes > 0.0)) return 3.1536e16 / median;
    return std::max(session_minutes * 60.0 * 1e9 / median, 1.0) * 252.0;
}

// Stamps `step` apart from `start`, in wrapping arithmetic.
std::vector<std::int64_t> on_a_line(std::int64_t start, std::int64_t step, std::size_t n) {
    std::vector<std::int64_t> t(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) +
                                         static_cast<std::uint64_t>(step) * static_cast<std::uint64_t>(i));
    }
    return t;
}

struct SpacingCase {
    const char* label;
    std::vector<std::int64_t> (*make)(std::mt19937_64& rng, std::size_t n);
};

std::int64_t some_step(std::mt19937_64& rng) {
    const std::int64_t steps[] = {1, 7, kMinute, 5 * kMinute, kDay, 7 * kDay, 1'000'003};
    return steps[rng() % std::size(steps)];
}

const SpacingCase kSpacings[] = {
    {"evenly_spaced", [](std::mt19937_64& rng, std::size_t n) { return on_a_line(kT0, some_step(rng), n); }},
    {"one_stamp_nudged",
     [](std::mt19937_64& rng, std::size_t n) {
         const std::int64_t step = some_step(rng);
         auto t = on_a_line(kT0, step, n);
         t[rng() % n] += (rng() % 2 ? 1 : -1) * std::max<std::int64_t>(step / 2, 1);
         return t;
     }},
    {"last_stamp_nudged",
     [](std::mt19937_64& rng, std::size_t n) {
         auto t = on_a_line(kT0, some_step(rng), n);
         t.back() += 1;
         return t;
     }},
    {"repeated_stamps",
     [](std::mt19937_64& rng, std::size_t n) {
         auto t = on_a_line(kT0, some_step(rng), n);
         for (std::size_t i = 1; i < n; ++i) {
             if (rng() % 10 == 0) t[i] = t[i - 1];
         }
         return t;
     }},
    {"wrapping_past_the_top",
     [](std::mt19937_64& rng, std::size_t n) {
         const std::int64_t step = some_step(rng);
         const std::uint64_t before = static_cast<std::uint64_t>(step) * (rng() % n);
         return on_a_line(static_cast<std::int64_t>(static_cast<std::uint64_t>(
                              std::numeric_limits<std::int64_t>::max()) - before),
                          step, n);
     }},
    {"weekdays",
     [](std::mt19937_64& rng, std::size_t n) {
         // Daily bars that skip weekends, from a random weekday, with the odd holiday.
         std::vector<std::int64_t> t(n, kT0);
         std::uint64_t weekday = rng() % 5;
         for (std::size_t i = 1; i < n; ++i) {
             const std::int64_t days = (weekday == 4 ? 3 : 1) + (rng() % 50 == 0 ? 1 : 0);
             weekday = (weekday + static_cast<std::uint64_t>(days)) % 7;
             if (weekday > 4) weekday = 0;
             t[i] = t[i - 1] + days * kDay;
         }
         return t;
     }},
    {"irregular",
     [](std::mt19937_64& rng, std::size_t n) {
         std::vector<std::int64_t> t(n, kT0);
         for (std::size_t i = 1; i < n; ++i) t[i] = t[i - 1] + static_cast<std::int64_t>(rng() % 5) * kMinute - kMinute;
         return t;
     }},
    {"extremes",
     [](std::mt19937_64& rng, std::size_t n) {
         const std::int64_t ends[] = {std::numeric_limits<std::int64_t>::min(), -1, 0, 1,
                                      std::numeric_limits<std::int64_t>::max()};
         std::vector<std::int64_t> t(n);
         for (auto& x : t) x = ends[rng() % std::size(ends)];
         return t;
     }},
};

void PrintTo(const SpacingCase& c, std::ostream* os) { *os << c.label; }

class InferredPeriods : public ::testing::TestWithParam<SpacingCase> {};

TEST_P(InferredPeriods, EqualTheMedianOfTheSortedSteps) {
    std::mt19937_64 rng(std::hash<std::string_view>{}(GetParam().label));
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 2 + rng() % (round % 3 == 0 ? 5 : 3000);
        const auto t = GetParam().make(rng, n);
        for (const double minutes : {375.0, 0.0}) {
            const double got = ann::periods_per_year(std::nullopt, t, false, minutes, 365.0);
            EXPECT_EQ(got, periods_by_sorting(t, false, minutes)) << "n " << n << ", round " << round;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, InferredPeriods, ::testing::ValuesIn(kSpacings),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
