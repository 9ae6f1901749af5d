#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "data/aggregate/aggregation_unit.h"
#include "data/aggregate/bar_builder_factory.h"
#include "data/aggregate/calendar_bar_builder.h"
#include "data/aggregate/renko_bar_builder.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::base;
using namespace tarnwick::domain;
using namespace tarnwick::data::aggregate;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kSec = 1'000'000'000;
constexpr std::int64_t kDay = 86'400 * kSec;
constexpr std::int64_t kIst = 19'800 * kSec;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::unique_ptr<BarBuilder> make(std::uint32_t step, std::string unit, std::int64_t tz = 0, double brick = 0.0) {
    auto r = bar_builder_from_spec({step, unit, tz, brick});
    if (!r.ok()) ADD_FAILURE() << r.error().message();
    return std::move(r).value();
}

SourceRecord bar(std::int64_t ts, double o, double h, double l, double c, double v) {
    return {ts, o, h, l, c, v, 0.0};
}
SourceRecord px(std::int64_t ts, double price, double size = 1.0, double signed_size = 0.0) {
    return {ts, price, price, price, price, size, signed_size};
}

void expect_bar(const std::optional<OhlcvBar>& got, std::int64_t ts, double o, double h, double l, double c,
                double v) {
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->timestamp, ts);
    EXPECT_EQ(got->open, o);
    EXPECT_EQ(got->high, h);
    EXPECT_EQ(got->low, l);
    EXPECT_EQ(got->close, c);
    EXPECT_EQ(got->volume, v);
}

using Bar = std::tuple<std::int64_t, double, double, double, double, double>;
using Emitted = std::vector<std::pair<std::size_t, Bar>>;

// Every bar, waiting bricks included, with the index of the push that gave it; the flush
// counts as one past the last push, and a second flush must give nothing.
Emitted run(BarBuilder& b, const std::vector<SourceRecord>& records) {
    Emitted out;
    auto add = [&](std::size_t i, const std::optional<OhlcvBar>& x) {
        if (x) out.push_back({i, {x->timestamp, x->open, x->high, x->low, x->close, x->volume}});
        return x.has_value();
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (add(i, b.push(records[i]))) {
            while (add(i, b.next_pending())) {
            }
        }
    }
    add(records.size(), b.flush());
    EXPECT_FALSE(b.flush().has_value());
    return out;
}

// Timestamps at which a stream of pushes completes bars (flush excluded).
std::vector<std::int64_t> completions(BarBuilder& b, const std::vector<SourceRecord>& records) {
    std::vector<std::int64_t> out;
    for (const SourceRecord& r : records) {
        if (auto got = b.push(r)) out.push_back(got->timestamp);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Units and the factory

TEST(AggregateFactory, ShortSpellingsMapToTheirUnits) {
    // "m" is a minute and a month has only its long name; "ms" is not "m" + "s".
    EXPECT_EQ(parse_aggregation_unit("m"), AggregationUnit::Minute);
    EXPECT_EQ(parse_aggregation_unit("min"), AggregationUnit::Minute);
    EXPECT_EQ(parse_aggregation_unit("month"), AggregationUnit::Month);
    EXPECT_EQ(parse_aggregation_unit("ms"), AggregationUnit::Millisecond);
    EXPECT_EQ(parse_aggregation_unit("y"), AggregationUnit::Year);
    EXPECT_EQ(parse_aggregation_unit("sec"), AggregationUnit::Second);
    EXPECT_FALSE(parse_aggregation_unit("mo").has_value());
    EXPECT_FALSE(parse_aggregation_unit("M").has_value());
}

TEST(AggregateFactory, UnitIsCheckedBeforeStep) {
    auto unknown = bar_builder_from_spec({0, "Tick", 0, 0.0});
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().kind, AggregateError::Kind::UnknownUnit);
    auto zero = bar_builder_from_spec({0, "tick", 0, 0.0});
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().kind, AggregateError::Kind::ZeroStep);
}

TEST(AggregateFactory, NonPositiveOrNaNBrickFallsBackToStep) {
    // Step 2: anchor floor(101 / 2) * 2 = 100; 104.5 is 2.25 bricks away -> two bricks.
    for (double brick : {0.0, -1.0, -Inf, NaN}) {
        EXPECT_EQ(run(*make(2, "renko", 0, brick), {px(1, 101.0), px(2, 104.5, 7.0)}),
                  (Emitted{{1, {2, 100, 102, 100, 102, 0}}, {1, {2, 102, 104, 102, 104, 7}}}));
    }
}

// ---------------------------------------------------------------------------
// Time and calendar bars

struct StampCase {
    const char* label;
    std::uint32_t step;
    const char* unit;
    std::int64_t tz;
    std::vector<SourceRecord> records;
    Emitted want;
};
class AggregateStamps : public ::testing::TestWithParam<StampCase> {};
TEST_P(AggregateStamps, BarsAndWhereTheyComplete) {
    const auto& c = GetParam();
    EXPECT_EQ(run(*make(c.step, c.unit, c.tz), c.records), c.want);
}
// Day numbers: 2024-01-01 is 19723, 1 Feb 19754 (1,706,745,600 s), 1 Mar 19783, 1 Apr
// 19814 (1,711,929,600 s), 1 Jul 19905; 2030-01-01 is 1,893,456,000 s and 2040-01-01
// 3,652 days (two leap years) later, 2,208,988,800 s.
INSTANTIATE_TEST_SUITE_P(
    Aggregate, AggregateStamps,
    ::testing::Values(
        // A record on the boundary opens the next bar.
        StampCase{"boundary", 1, "s", 0, {bar(kSec / 2, 1, 2, 0.5, 1.5, 10), bar(kSec, 3, 4, 3, 3.5, 20)},
                  {{1, {kSec, 1, 2, 0.5, 1.5, 10}}, {2, {2 * kSec, 3, 4, 3, 3.5, 20}}}},
        // 00:00 UTC is 05:30 IST; that IST day ends at 18:30 UTC = 66,600 s.
        StampCase{"ist_day", 1, "d", kIst, {px(0, 100), px(66'600 * kSec - 1, 101), px(66'600 * kSec, 102)},
                  {{2, {66'600 * kSec, 100, 101, 100, 101, 2}},
                   {3, {(66'600 + 86'400) * kSec, 102, 102, 102, 102, 1}}}},
        // -1.5 s lies in [-2 s, -1 s); -0.2 s in [-1 s, 0).
        StampCase{"negative", 1, "s", 0, {px(-3 * kSec / 2, 5), px(-kSec / 5, 6)},
                  {{1, {-kSec, 5, 5, 5, 5, 1}}, {2, {0, 6, 6, 6, 6, 1}}}},
        // An earlier bucket also completes the bar.
        StampCase{"earlier", 1, "s", 0, {px(5 * kSec + 1, 5), px(2 * kSec, 2)},
                  {{1, {6 * kSec, 5, 5, 5, 5, 1}}, {2, {3 * kSec, 2, 2, 2, 2, 1}}}},
        // 4,294,967,295 weeks is about 2.6e24 ns: every timestamp from 0 on shares bucket 0,
        // whose end saturates; -1 ns lies in bucket -1, which ends at 0.
        StampCase{"huge_weeks", std::numeric_limits<std::uint32_t>::max(), "w", 0, {px(-1, 1), px(0, 2), px(kMax, 3)},
                  {{1, {0, 1, 1, 1, 1, 1}}, {3, {kMax, 2, 3, 2, 3, 2}}}},
        // A month ends at the first of the next.
        StampCase{"month", 1, "month", 0, {px(19753 * kDay + 3600 * kSec, 10), px(19754 * kDay, 11)},
                  {{1, {19754 * kDay, 10, 10, 10, 10, 1}}, {2, {19783 * kDay, 11, 11, 11, 11, 1}}}},
        // 31 Jan 20:00 UTC is 1 Feb 01:30 IST: already February in the offset clock.
        StampCase{"month_ist", 1, "month", kIst,
                  {px(19753 * kDay + 10 * 3600 * kSec, 10), px(19753 * kDay + 20 * 3600 * kSec, 11)},
                  {{1, {19754 * kDay - kIst, 10, 10, 10, 10, 1}}, {2, {19783 * kDay - kIst, 11, 11, 11, 11, 1}}}},
        // Jan, Feb, Mar share bucket (2024 * 12 + m) / 3; April opens the next quarter.
        StampCase{"quarter", 3, "month", 0,
                  {px(19723 * kDay, 1), px(19754 * kDay, 2), px(19813 * kDay, 3), px(19814 * kDay, 4)},
                  {{3, {19814 * kDay, 1, 3, 1, 3, 3}}, {4, {19905 * kDay, 4, 4, 4, 4, 1}}}},
        // 2024 and 2029 share the decade bucket 202, which ends 2030-01-01.
        StampCase{"decade", 10, "y", 0,
                  {px(19723 * kDay, 1), px(1'893'456'000 * kSec - 1, 2), px(1'893'456'000 * kSec, 3)},
                  {{2, {1'893'456'000 * kSec, 1, 2, 1, 2, 2}}, {3, {2'208'988'800 * kSec, 3, 3, 3, 3, 1}}}},
        // 2030 ends 2031-01-01, 365 days later.
        StampCase{"year", 1, "year", 0, {px(1'893'456'000 * kSec, 3)},
                  {{1, {(1'893'456'000 + 365 * 86'400) * kSec, 3, 3, 3, 3, 1}}}},
        // Bucket 0 of 4,294,967,295-year bars ends far past the 64-bit nanosecond range.
        StampCase{"huge_years", std::numeric_limits<std::uint32_t>::max(), "year", 0, {px(0, 1)},
                  {{1, {kMax, 1, 1, 1, 1, 1}}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AggregateTime, SameBarUpdateIgnoresOneSidedNaN) {
    auto b = make(1, "m");
    EXPECT_FALSE(b->push(bar(0, 10, 12, 9, 11, 1)).has_value());
    EXPECT_FALSE(b->push(bar(1, 99, NaN, 8, 10, 2)).has_value());
    EXPECT_FALSE(b->push(bar(2, 99, 13, NaN, 12, 3)).has_value());
    // open stays 10; high max(12, 13); low min(9, 8); close 12; volume 1 + 2 + 3.
    expect_bar(b->flush(), 60 * kSec, 10, 13, 8, 12, 6);

    EXPECT_FALSE(b->push(bar(0, 1, NaN, NaN, 1, 1)).has_value());
    EXPECT_FALSE(b->push(bar(1, 1, NaN, 0.5, 1, NaN)).has_value());
    const auto both = b->flush();
    ASSERT_TRUE(both.has_value());
    EXPECT_TRUE(std::isnan(both->high));  // NaN on both sides stays NaN
    EXPECT_EQ(both->low, 0.5);
    EXPECT_TRUE(std::isnan(both->volume));
}

TEST(AggregateCalendar, CivilDaysAgreeWithKnownDates) {
    struct Known {
        std::int64_t days;
        std::int64_t year;
        unsigned month, day;
    };
    // 2000-01-01 is day 10957 (30 years, 7 leap days); 2000-02-29 is 59 days later.
    for (const Known k : {Known{0, 1970, 1, 1}, Known{-1, 1969, 12, 31}, Known{10957, 2000, 1, 1},
                          Known{11016, 2000, 2, 29}, Known{19723, 2024, 1, 1}, Known{-719468, 0, 3, 1}}) {
        const CivilDate d = civil_from_days(k.days);
        EXPECT_EQ(d.year, k.year) << k.days;
        EXPECT_EQ(d.month, k.month) << k.days;
        EXPECT_EQ(d.day, k.day) << k.days;
        EXPECT_EQ(days_from_civil(k.year, k.month, k.day), k.days);
    }
}

// ---------------------------------------------------------------------------
// Count bars

struct ThresholdCase {
    const char* unit;
    std::vector<SourceRecord> records;
    std::vector<std::int64_t> closes;
};
class AggregateThreshold : public ::testing::TestWithParam<ThresholdCase> {};
// The unit and the records that close a bar: "volume_closes_at_2_4", "volume_never_closes".
std::string threshold_row_name(const ::testing::TestParamInfo<ThresholdCase>& i) {
    std::string name = row_name(i.param.unit, i.param.closes.empty() ? "never_closes" : "closes_at");
    for (const std::int64_t at : i.param.closes) name = row_name(name, at);
    return name;
}
TEST_P(AggregateThreshold, ClosesAtTheRule) {
    auto b = make(100, GetParam().unit);
    EXPECT_EQ(completions(*b, GetParam().records), GetParam().closes);
}
INSTANTIATE_TEST_SUITE_P(
    Aggregate, AggregateThreshold,
    ::testing::Values(
        // 60 + 50 = 110 closes; the surplus does not carry: 40 + 60 = 100 closes again.
        ThresholdCase{"volume", {px(1, 1, 60), px(2, 1, 50), px(3, 1, 40), px(4, 1, 60), px(5, 1, 99)}, {2, 4}},
        // 5 x 10 = 50, + 3 x 20 = 110.
        ThresholdCase{"value", {px(1, 10, 5), px(2, 20, 3), px(3, 99, 1)}, {2}},
        // A NaN volume holds the bar open for good (until a flush).
        ThresholdCase{"volume", {px(1, 1, NaN), px(2, 1, 500), px(3, 1, 500)}, {}},
        // Negative volume counts against the sum: 80 - 30 + 40 = 90, + 10 = 100.
        ThresholdCase{"volume", {px(1, 1, 80), px(2, 1, -30), px(3, 1, 40), px(4, 1, 10)}, {4}}),
    threshold_row_name);

TEST(AggregateCount, FlushClearsANaNSum) {
    auto b = make(100, "volume");
    EXPECT_FALSE(b->push(px(1, 1, NaN)).has_value());
    EXPECT_TRUE(b->flush().has_value());
    expect_bar(b->push(px(2, 7, 100)), 2, 7, 7, 7, 7, 100);
}

// ---------------------------------------------------------------------------
// Renko

TEST(AggregateRenko, BricksUpThenDown) {
    RenkoBarBuilder b(1.0);
    EXPECT_FALSE(b.push(px(1, 100.4, 5)).has_value());
    EXPECT_EQ(b.anchor(), 100.0);
    // 103.2 is 3.2 bricks above 100: bricks 100-101, 101-102, 102-103; the last has the volume.
    expect_bar(b.push(px(2, 103.2, 9)), 2, 100, 101, 100, 101, 0);
    expect_bar(b.next_pending(), 2, 101, 102, 101, 102, 0);
    expect_bar(b.next_pending(), 2, 102, 103, 102, 103, 9);
    EXPECT_FALSE(b.next_pending().has_value());
    EXPECT_EQ(b.anchor(), 103.0);
    // 101.9 is 1.1 bricks below 103: one brick 103-102.
    expect_bar(b.push(px(3, 101.9, 4)), 3, 103, 103, 102, 102, 4);
    EXPECT_EQ(b.anchor(), 102.0);
    // Less than a brick away: nothing, and nothing changes.
    EXPECT_FALSE(b.push(px(4, 102.99, 4)).has_value());
    EXPECT_FALSE(b.flush().has_value());
}

TEST(AggregateRenko, QueuedBricksWaitThroughQuietPushesAndFlush) {
    RenkoBarBuilder b(1.0);
    (void)b.push(px(1, 10.0));
    expect_bar(b.push(px(2, 12.5)), 2, 10, 11, 10, 11, 0);
    // A push without a brick returns nothing even while a brick waits.
    EXPECT_FALSE(b.push(px(3, 12.2)).has_value());
    // The next brick-forming push returns the oldest waiting brick first.
    expect_bar(b.push(px(4, 13.1, 3)), 2, 11, 12, 11, 12, 1);
    expect_bar(b.flush(), 4, 12, 13, 12, 13, 3);
    EXPECT_FALSE(b.flush().has_value());
}

TEST(AggregateRenko, LargeJumpIsCappedAndReanchored) {
    RenkoBarBuilder b(1.0);
    (void)b.push(px(1, 0.5));
    // 20000.5 is 20,000 bricks above 0: 10,000 are formed, the anchor moves to 20,000.
    expect_bar(b.push(px(2, 20'000.5, 8)), 2, 0, 1, 0, 1, 0);
    std::uint64_t drained = 1;
    std::optional<OhlcvBar> last;
    while (auto next = b.next_pending()) {
        last = next;
        ++drained;
    }
    EXPECT_EQ(drained, kRenkoMaxBricksPerPush);
    expect_bar(last, 2, 9'999, 10'000, 9'999, 10'000, 8);
    EXPECT_EQ(b.anchor(), 20'000.0);
}

TEST(AggregateRenko, AMoveJustShortOfABrickFormsNone) {
    // From anchor 0, one brick of b needs a move of b; the double just below never rounds
    // up to a whole brick, whether b is a power of two or not.
    for (double b : {0.1, 0.25, 3.0, 1e-300, 5e-324 * 3}) {
        RenkoBarBuilder short_of(b), whole(b);
        (void)short_of.push(px(1, 0.0));
        (void)whole.push(px(1, 0.0));
        EXPECT_FALSE(short_of.push(px(2, std::nextafter(b, 0.0))).has_value()) << b;
        expect_bar(whole.push(px(2, b, 4)), 2, 0, b, 0, b, 4);
    }
}

TEST(AggregateRenko, NonFinitePricesFormNothing) {
    RenkoBarBuilder b(1.0);
    EXPECT_FALSE(b.push(px(1, NaN)).has_value());
    EXPECT_FALSE(b.anchor().has_value());
    EXPECT_FALSE(b.push(px(2, 100.4)).has_value());
    EXPECT_EQ(b.anchor(), 100.0);
    EXPECT_FALSE(b.push(px(3, Inf)).has_value());
    EXPECT_FALSE(b.push(px(4, -Inf)).has_value());
    EXPECT_FALSE(b.push(px(5, NaN)).has_value());
    EXPECT_EQ(b.anchor(), 100.0);
    expect_bar(b.push(px(6, 101.0, 2)), 6, 100, 101, 100, 101, 2);
}

// ---------------------------------------------------------------------------
// Flow bars

TEST(AggregateFlow, TickRuleMemorySurvivesFlush) {
    // 10, flush, then 9 is a downtick and 10 an uptick: one each, no run of two.
    auto b = make(2, "tick_runs");
    EXPECT_FALSE(b->push(px(1, 10)).has_value());
    EXPECT_TRUE(b->flush().has_value());
    EXPECT_EQ(completions(*b, {px(2, 9), px(3, 10)}), std::vector<std::int64_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    AggregateFlow, AggregateThreshold,
    ::testing::Values(
        // Buys of 60 and 50: imbalance 110.
        ThresholdCase{"volume_imbalance", {px(1, 10, 60, 60), px(2, 10, 50, 50)}, {2}},
        // A NaN signed size sells: 60 - 50 = 10, then + 100 = 110.
        ThresholdCase{"volume_imbalance", {px(1, 10, 60, 60), px(2, 10, 50, NaN), px(3, 10, 100, 1)}, {3}},
        // Buying and selling cancel in an imbalance bar but each side runs on its own.
        ThresholdCase{"volume_imbalance", {px(1, 10, 60, 1), px(2, 10, 60, -1), px(3, 10, 60, 1)}, {}},
        ThresholdCase{"volume_runs", {px(1, 10, 60, 1), px(2, 10, 60, -1), px(3, 10, 60, 1)}, {3}},
        // A NaN side is ignored by the runs rule.
        ThresholdCase{"volume_runs", {px(1, 10, NaN, 1), px(2, 10, 100, -1)}, {2}},
        // Value: 4 x 10 = 40 bought, then 3 x 20 = 60 more on an uptick.
        ThresholdCase{"value_runs", {px(1, 10, 4), px(2, 20, 3)}, {2}},
        // Signed size decides over the tick rule: an uptick that sells.
        ThresholdCase{"value_imbalance", {px(1, 10, 6, 6), px(2, 20, 3, -3), px(3, 20, 5, 5)}, {3}}),
    threshold_row_name);
