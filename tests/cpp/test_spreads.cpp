#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "strategies/spreads.h"

namespace tarnwick::strategies::spreads {
namespace {

struct TypeCase {
    const char* text;
    SpreadType want;
};

class SpreadTypeText : public ::testing::TestWithParam<TypeCase> {};

TEST_P(SpreadTypeText, ParsesLowerCasedNamesAndFallsBackToCustom) {
    EXPECT_EQ(parse_spread_type(GetParam().text), GetParam().want) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpreadTypeText,
    ::testing::Values(TypeCase{"straddle", SpreadType::Straddle}, TypeCase{"STRANGLE", SpreadType::Strangle},
                      TypeCase{"Vertical_Call", SpreadType::VerticalCall},
                      TypeCase{"verticalput", SpreadType::VerticalPut}, TypeCase{"IronCondor", SpreadType::IronCondor},
                      TypeCase{"iron_butterfly", SpreadType::IronButterfly},
                      TypeCase{"butterflycall", SpreadType::ButterflyCall},
                      TypeCase{"BUTTERFLY_PUT", SpreadType::ButterflyPut}, TypeCase{"calendar", SpreadType::Calendar},
                      TypeCase{"Diagonal", SpreadType::Diagonal}, TypeCase{"longcall", SpreadType::LongCall},
                      TypeCase{"long_put", SpreadType::LongPut}, TypeCase{"naked_call", SpreadType::NakedCall},
                      TypeCase{"NakedPut", SpreadType::NakedPut}, TypeCase{"iron-condor", SpreadType::Custom},
                      TypeCase{"butterfly", SpreadType::Custom}, TypeCase{"", SpreadType::Custom},
                      TypeCase{" straddle", SpreadType::Custom}, TypeCase{"custom", SpreadType::Custom}));

TEST(SpreadTypeName, RoundTripsEveryValue) {
    for (int v = 0; v <= 14; ++v) {
        const auto type = static_cast<SpreadType>(v);
        EXPECT_EQ(parse_spread_type(name(type)), type) << v;
    }
}

constexpr std::int64_t kMinute = 60'000'000'000;
constexpr std::int64_t kDay = 1440 * kMinute;

TEST(SquareoffFlags, FirstBarAtOrAfterTheMinuteOfEachLocalDay) {
    BacktestConfig cfg;
    EXPECT_TRUE(squareoff_flags(std::vector<std::int64_t>{0, kMinute}, cfg).empty());
    cfg.squareoff_time_minutes = 600;      // 10:00 local
    cfg.session_tz_offset_ns = 60 * kMinute;  // local = UTC + 1h
    // UTC 08:59 (local 09:59), 09:00 (10:00), 09:30, then the next day 09:10 (10:10), 11:00.
    const std::vector<std::int64_t> ts = {539 * kMinute, 540 * kMinute, 570 * kMinute, kDay + 550 * kMinute,
                                          kDay + 660 * kMinute};
    EXPECT_EQ(squareoff_flags(ts, cfg), (std::vector<std::uint8_t>{0, 1, 0, 1, 0}));
}

TEST(SquareoffFlags, DaysBeforeTheEpochAndRevisitedDays) {
    BacktestConfig cfg;
    cfg.squareoff_time_minutes = 0;
    // -1 ns is 23:59 of the day before the epoch: a day of its own. A day seen again later
    // (timestamps out of order) is not flagged twice.
    const std::vector<std::int64_t> ts = {-1, 0, -kMinute, 5 * kMinute};
    EXPECT_EQ(squareoff_flags(ts, cfg), (std::vector<std::uint8_t>{1, 1, 0, 0}));
}

SpreadLegState leg(std::int32_t quantity, std::uint64_t lot, double entry, double current, bool settled = false) {
    SpreadLegState s;
    s.quantity = quantity;
    s.lot_size = lot;
    s.entry_premium = entry;
    s.current_premium = current;
    if (settled) s.settled = 3;
    return s;
}

TEST(SegmentCostBreakdown, SidesFollowQuantityAndSettledLegsAreNotChargedAgain) {
    SpreadRunConfig cfg;
    cfg.fee_model = FeeModel::segment(CostSegment::EquityDelivery);
    const std::vector<SpreadLegState> legs = {leg(2, 10, 5.0, 6.0), leg(-1, 10, -4.0, 3.0, true), leg(0, 10, 9.0, 9.0)};
    // Entry: buys 20 units at 5 (value 100), sells 10 at |-4| (value 40); delivery taxes both sides
    // at 0.1% and stamps only the buy at 0.015%.
    const FillCharge in = segment_cost_breakdown(cfg, legs, true);
    ASSERT_TRUE(in.breakdown.has_value());
    EXPECT_DOUBLE_EQ(in.breakdown->brokerage, 0.0);
    EXPECT_DOUBLE_EQ(in.breakdown->stt, 0.1 + 0.04);
    EXPECT_DOUBLE_EQ(in.breakdown->stamp_duty, 100 * 0.00015);
    EXPECT_NEAR(in.total, in.breakdown->total(), 1e-12);
    // Exit: only the live bought leg, now a sell of value 120: no stamp duty.
    const FillCharge out = segment_cost_breakdown(cfg, legs, false);
    ASSERT_TRUE(out.breakdown.has_value());
    EXPECT_DOUBLE_EQ(out.breakdown->stt, 0.12);
    EXPECT_DOUBLE_EQ(out.breakdown->stamp_duty, 0.0);
    EXPECT_DOUBLE_EQ(out.breakdown->sebi_fee, 120 * 1e-6);
}

TEST(SegmentCostBreakdown, FlatModelHasNoBreakdownAndNoLegsCostNothing) {
    SpreadRunConfig cfg;
    cfg.fee_model = FeeModel::fraction(0.01);
    const std::vector<SpreadLegState> legs = {leg(-3, 2, 10.0, 1.0), leg(1, 1, -5.0, 2.0)};
    const FillCharge in = segment_cost_breakdown(cfg, legs, true);
    EXPECT_FALSE(in.breakdown.has_value());
    EXPECT_DOUBLE_EQ(in.total, 60 * 0.01 + 5 * 0.01);  // |price| x units per leg
    const FillCharge none = segment_cost_breakdown(cfg, {}, false);
    EXPECT_EQ(none.total, 0.0);
    EXPECT_FALSE(none.breakdown.has_value());
}

TEST(SegmentCostBreakdown, MostNegativeQuantityKeepsItsUnits) {
    SpreadRunConfig cfg;
    cfg.fee_model = FeeModel::fraction(1.0);
    const std::vector<SpreadLegState> legs = {leg(INT32_MIN, 1, 1.0, 1.0)};
    EXPECT_DOUBLE_EQ(segment_cost_breakdown(cfg, legs, true).total, 2147483648.0);
}

TEST(ParseLeg, BatchAndSingleWording) {
    const SpreadLegInput bad{"calls", 250.0, 1, 1};
    EXPECT_EQ(parse_leg(bad, LegMessage::Batch).error().message(),
              "unknown option type calls for the leg at strike 250; expected CE/CALL/C or PE/PUT/P "
              "(case-insensitive).");
    EXPECT_EQ(parse_leg({"pE", 1.5, -2, 3}, LegMessage::Single).value().right, OptionRight::Put);
}

}  // namespace
}  // namespace tarnwick::strategies::spreads
