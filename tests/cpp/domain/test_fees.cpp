#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "domain/fees/cost_segment.h"
#include "domain/fees/fee_model.h"
#include "domain/fees/segment_text.h"
#include "test_names.h"

using tarnwick::testing_support::RowLabel;
using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::domain;

namespace {

constexpr bool kBuy = true;
constexpr bool kSell = false;

// ---------------------------------------------------------------------------------------
// Segment texts from the configuration.

struct TextCase {
    const char* text;
    std::optional<CostSegment> expected;  // None: flat fraction
};

class FeeSegmentText : public ::testing::TestWithParam<TextCase> {};

TEST_P(FeeSegmentText, ResolvesToScheduleOrFallsBackToFlatFraction) {
    const TextCase& c = GetParam();
    EXPECT_EQ(segment_from_exchange_text(c.text), c.expected) << '"' << c.text << '"';
    const FeeModel model = resolve_fee_model(std::string_view(c.text), 0.002);
    EXPECT_EQ(model.cost_segment(), c.expected);
    if (!c.expected) {
        ASSERT_EQ(model.kind(), FeeKind::Fraction);
        EXPECT_EQ(model.as<FractionFee>()->rate, 0.002);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fees, FeeSegmentText,
    ::testing::Values(
        // One row per exchange and per suffix rule; case is folded everywhere.
        TextCase{"nse", CostSegment::EquityIntraday}, TextCase{"NSE-ANYTHING", CostSegment::EquityIntraday},
        TextCase{"NSE-", CostSegment::EquityIntraday}, TextCase{"BSE", CostSegment::EquityIntraday},
        TextCase{"bse-Delivery", CostSegment::EquityDelivery}, TextCase{"NFO", CostSegment::FuturesNfo},
        TextCase{"NFO-DELIVERY", CostSegment::FuturesNfo}, TextCase{"NFO-OPT-W", CostSegment::FuturesNfo},
        TextCase{"nfo-pe", CostSegment::OptionsNfo}, TextCase{"BFO-OPT", CostSegment::OptionsNfo},
        TextCase{"MCX-FUT", CostSegment::FuturesMcx}, TextCase{"MCX-OPT", CostSegment::OptionsMcx},
        TextCase{"CDS", CostSegment::FuturesCds}, TextCase{"BCD-CE", CostSegment::OptionsCds},
        // Unknown exchanges, blanks that are not trimmed, and the empty text.
        TextCase{"NYSE", std::nullopt}, TextCase{"", std::nullopt}, TextCase{" NSE", std::nullopt},
        TextCase{"XYZ-CE", std::nullopt}, TextCase{"equity_intraday", std::nullopt}),
    [](const auto& i) {
        const std::string_view text = i.param.text;
        const std::string_view segment = i.param.expected ? name(*i.param.expected) : "flat_fraction";
        return row_name(text.empty() ? "empty" : text, "to", segment);
    });

TEST(FeeSegmentText, UnsetSegmentChargesTheFlatFraction) {
    BacktestConfig config;
    config.fees = 0.0025;
    const FeeModel model = resolve_fee_model(config);
    ASSERT_EQ(model.kind(), FeeKind::Fraction);
    // 40 x 50.0 = 2000 traded, 0.25% of it.
    EXPECT_DOUBLE_EQ(model.fee(50.0, 40.0, kBuy), 5.0);
    config.fee_segment = "MCX-OPT";
    EXPECT_EQ(resolve_fee_model(config).cost_segment(), CostSegment::OptionsMcx);
}

// ---------------------------------------------------------------------------------------
// Single fills under each segment, against hand-computed lines.

struct FillCase {
    CostSegment segment;
    double price;
    double quantity;
    bool is_buy;
    FeeBreakdown expected;
};

class FeeSegmentFill : public ::testing::TestWithParam<FillCase> {};

TEST_P(FeeSegmentFill, LinesMatchTheSchedule) {
    const FillCase& c = GetParam();
    const FillCharge got = FeeModel::segment(c.segment).charge(c.price, c.quantity, c.is_buy);
    ASSERT_TRUE(got.breakdown.has_value());
    const FeeBreakdown& b = *got.breakdown;
    EXPECT_NEAR(b.brokerage, c.expected.brokerage, 1e-9);
    EXPECT_NEAR(b.stt, c.expected.stt, 1e-9);
    EXPECT_NEAR(b.exchange_txn, c.expected.exchange_txn, 1e-9);
    EXPECT_NEAR(b.sebi_fee, c.expected.sebi_fee, 1e-9);
    EXPECT_NEAR(b.stamp_duty, c.expected.stamp_duty, 1e-9);
    EXPECT_NEAR(b.gst, c.expected.gst, 1e-9);
    EXPECT_NEAR(got.total, c.expected.total(), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Fees, FeeSegmentFill,
    ::testing::Values(
        // Sell of 100000 intraday: capped brokerage, STT, no stamp duty: total 52.3406.
        FillCase{CostSegment::EquityIntraday, 1000.0, 100.0, kSell, {20.0, 25.0, 3.07, 0.1, 0.0, 4.1706}},
        FillCase{CostSegment::EquityIntraday, 1000.0, 100.0, kBuy, {20.0, 0.0, 3.07, 0.1, 3.0, 4.1706}},
        // Small intraday fill of 10000: brokerage 3 (under the cap), GST 0.18 x 3.317.
        FillCase{CostSegment::EquityIntraday, 100.0, 100.0, kBuy, {3.0, 0.0, 0.307, 0.01, 0.3, 0.59706}},
        // Options pay a flat 20 per fill, even with nothing traded: 20 + GST 3.6.
        FillCase{CostSegment::OptionsNfo, 150.0, 0.0, kBuy, {20.0, 0.0, 0.0, 0.0, 0.0, 3.6}},
        FillCase{CostSegment::FuturesNfo, 150.0, 0.0, kSell, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
        // Futures NFO sell of 100000: STT 50, exchange 1.83, GST 0.18 x 21.93.
        FillCase{CostSegment::FuturesNfo, 500.0, 200.0, kSell, {20.0, 50.0, 1.83, 0.1, 0.0, 3.9474}},
        // Options NFO sell of 50000: STT 75, exchange 17.765, SEBI 0.05, GST 0.18 x 37.815.
        FillCase{CostSegment::OptionsNfo, 200.0, 250.0, kSell, {20.0, 75.0, 17.765, 0.05, 0.0, 6.8067}},
        // Futures MCX buy of 200000: brokerage capped, stamp 4, exchange 4.2, SEBI 0.2.
        FillCase{CostSegment::FuturesMcx, 2000.0, 100.0, kBuy, {20.0, 0.0, 4.2, 0.2, 4.0, 4.392}},
        FillCase{CostSegment::OptionsMcx, 100.0, 100.0, kSell, {20.0, 5.0, 4.18, 0.01, 0.0, 4.3542}},
        // Currency segments never pay STT; their stamp duty is 1e-6 of a bought value.
        FillCase{CostSegment::FuturesCds, 80.0, 1000.0, kSell, {20.0, 0.0, 0.28, 0.08, 0.0, 3.6648}},
        FillCase{CostSegment::FuturesCds, 80.0, 1000.0, kBuy, {20.0, 0.0, 0.28, 0.08, 0.08, 3.6648}},
        FillCase{CostSegment::OptionsCds, 2.0, 1000.0, kBuy, {20.0, 0.0, 0.622, 0.002, 0.002, 3.71232}},
        // Delivery: no brokerage, STT on both sides, stamp duty only on the buy. A negative
        // quantity costs the same as the positive one.
        FillCase{CostSegment::EquityDelivery, 100.0, -1000.0, kBuy, {0.0, 100.0, 3.07, 0.1, 15.0, 0.5706}},
        FillCase{CostSegment::EquityDelivery, 100.0, 1000.0, kSell, {0.0, 100.0, 3.07, 0.1, 0.0, 0.5706}}),
    [](const auto& i) {
        const FillCase& c = i.param;
        return row_name(name(c.segment), c.is_buy ? "buy" : "sell", c.quantity, "at", c.price);
    });

TEST(FeeSegmentFill, FillTotalEqualsItsLinesOnEverySegmentAndSide) {
    for (std::size_t code = 0; code < kCostSegmentCount; ++code) {
        const auto segment = static_cast<CostSegment>(code);
        for (const bool side : {kBuy, kSell}) {
            const FillCharge c = FeeModel::segment(segment).charge(123.45, 678.0, side);
            ASSERT_TRUE(c.breakdown);
            EXPECT_NEAR(c.total, c.breakdown->total(), 1e-9 * c.total) << name(segment);
            EXPECT_EQ(c.total, FeeModel::segment(segment).fee(123.45, 678.0, side));
        }
    }
}

// ---------------------------------------------------------------------------------------
// The other fee kinds.

struct KindCase {
    const char* label;
    FeeModel model;
    double price;
    double quantity;
    double expected;
};

class FeeKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(FeeKinds, ChargeOneFill) {
    const KindCase& c = GetParam();
    EXPECT_DOUBLE_EQ(c.model.fee(c.price, c.quantity, kBuy), c.expected) << c.label;
    EXPECT_DOUBLE_EQ(c.model.fee(c.price, c.quantity, kSell), c.expected) << c.label;
    EXPECT_FALSE(c.model.charge(c.price, c.quantity, kBuy).breakdown.has_value()) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Fees, FeeKinds,
    ::testing::Values(
        KindCase{"zero", FeeModel::zero(), 100.0, 10.0, 0.0},
        KindCase{"fraction", FeeModel::fraction(0.001), 100.0, -10.0, 1.0},
        KindCase{"per order", FeeModel::per_order(7.5), 100.0, 1e6, 7.5},
        KindCase{"per order, empty fill", FeeModel::per_order(7.5), 100.0, 0.0, 7.5},
        KindCase{"per unit", FeeModel::per_unit(0.01), 100.0, -300.0, 3.0},
        KindCase{"fixed plus per unit", FeeModel::fixed_plus_per_unit(1.0, 0.01), 55.0, 300.0, 4.0},
        // Tiers (0, 0.1%), (100000, 0.05%): 50000 takes the first, 100000 exactly the second.
        KindCase{"tier below", FeeModel::tiered({{0.0, 0.001}, {100000.0, 0.0005}}), 500.0, 100.0, 50.0},
        KindCase{"tier at threshold", FeeModel::tiered({{0.0, 0.001}, {100000.0, 0.0005}}), 1000.0, 100.0, 50.0},
        KindCase{"tier above", FeeModel::tiered({{0.0, 0.001}, {100000.0, 0.0005}}), 2000.0, 100.0, 100.0},
        KindCase{"no tiers", FeeModel::tiered({}), 1000.0, 100.0, 0.0},
        // Unsorted tiers: the walk stops at the first threshold above the value.
        KindCase{"unsorted tiers", FeeModel::tiered({{100000.0, 0.0005}, {0.0, 0.001}}), 500.0, 100.0, 0.0},
        KindCase{"value under every threshold", FeeModel::tiered({{1000.0, 0.01}}), 5.0, 10.0, 0.0}),
    RowLabel{});

TEST(FeeKinds, NonFiniteInputsGiveNonFiniteCosts) {
    EXPECT_TRUE(std::isnan(FeeModel::fraction(0.001).fee(NAN, 1.0, kBuy)));
    EXPECT_TRUE(std::isinf(FeeModel::segment(CostSegment::EquityIntraday).fee(INFINITY, 1.0, kBuy)));
}

// ---------------------------------------------------------------------------------------
// Segment names as the analytics take them, and the shared rate tables.

TEST(FeeCostSegment, NamesParseCaseInsensitivelyAndRoundTrip) {
    for (std::size_t code = 0; code < kCostSegmentCount; ++code) {
        const auto segment = static_cast<CostSegment>(code);
        std::string upper(name(segment));
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        const auto parsed = parse_cost_segment(upper);
        ASSERT_TRUE(parsed.ok()) << upper;
        EXPECT_EQ(*parsed, segment);
    }
    EXPECT_EQ(name(CostSegment::FuturesMcx), "futures_mcx");
    EXPECT_EQ(*parse_cost_segment("Options_Nfo"), CostSegment::OptionsNfo);
}

TEST(FeeCostSegment, UnknownNamesAreRefusedWithTheChoices) {
    const char* expected =
        "unknown segment 'nse'; expected one of equity_delivery, equity_intraday, futures_nfo, options_nfo, "
        "futures_mcx, options_mcx, futures_cds, options_cds";
    EXPECT_EQ(parse_cost_segment("NSE").error().message(), expected);
    for (const char* bad : {"", " equity_delivery", "equity_delivery ", "equity-delivery"}) {
        EXPECT_FALSE(parse_cost_segment(bad).ok()) << '"' << bad << '"';
    }
}

}  // namespace
