#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/spreads.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;

namespace tarnwick::runners::spreads {

using base::OwnError;
using base::Status;
using domain::BacktestConfig;
using domain::CostSegment;
using domain::ExitReason;
using domain::FeeModel;
using domain::FillCharge;
using domain::FillTiming;
using domain::OptionRight;
using engine::RunOutput;

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
                      TypeCase{" straddle", SpreadType::Custom}, TypeCase{"custom", SpreadType::Custom}),
    [](const auto& i) {
        const std::string_view text = i.param.text;
        return row_name(text.empty() ? "empty" : text, "to", name(i.param.want));
    });

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


// ---------------------------------------------------------------------------
// Runs: the position fills as a whole at tradable premiums only

using testing_support::expect_curve;
using testing_support::expect_trips;
using testing_support::flags;
using testing_support::kInf;
using testing_support::kNaN;
using testing_support::Trip;

struct RunCase {
    std::string name;
    std::vector<SpreadLegConfig> legs;
    std::vector<std::vector<double>> premiums;
    std::vector<std::size_t> entries, exits;
    std::optional<double> max_loss;
    std::vector<double> equity;
    std::vector<Trip> trips;
};

// Failures name the row, not its bytes.
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

SpreadLegConfig call(std::int32_t quantity, std::uint64_t lot) { return {OptionRight::Call, 100.0, quantity, lot}; }
SpreadLegConfig put(std::int32_t quantity, std::uint64_t lot) { return {OptionRight::Put, 100.0, quantity, lot}; }

constexpr std::size_t n_bars() { return 24; }

std::vector<std::int64_t> days(std::size_t n) {
    std::vector<std::int64_t> ts(n);
    for (std::size_t i = 0; i < n; ++i) ts[i] = static_cast<std::int64_t>(i) * testing_support::kDayNs;
    return ts;
}

class SpreadRunScenario : public ::testing::TestWithParam<RunCase> {};

TEST_P(SpreadRunScenario, FillsAtTradablePremiumsOnly) {
    const RunCase& c = GetParam();
    SpreadRunConfig cfg;
    cfg.config.fees = 0.0;
    cfg.fee_model = FeeModel::fraction(0.0);
    cfg.legs = c.legs;
    cfg.max_loss = c.max_loss;
    const std::size_t n = c.premiums.front().size();
    const auto ts = days(n);
    const auto entries = flags(n, c.entries);
    const auto exits = flags(n, c.exits);
    const RunOutput out = run(cfg, SpreadMarket{ts, c.premiums, std::nullopt, entries, exits});
    expect_curve(out.equity_curve, c.equity);
    expect_trips(out.trades, c.trips);
    for (const double v : out.drawdown_curve) EXPECT_FALSE(std::isnan(v));
    EXPECT_FALSE(std::isnan(out.metrics.ulcer_index));
    EXPECT_FALSE(std::isnan(out.metrics.total_return_pct));
}

const RunCase kRunCases[] = {
    // No position on the entry bar's NaN premium, and the signal is not carried to bar 2.
    {"EntryOnANaNPremiumOpensNothing", {call(1, 1)}, {{100, kNaN, 110, 120}}, {1}, {}, std::nullopt,
     {100000, 100000, 100000, 100000}, {}},
    // One leg's NaN blocks the whole entry.
    {"OneLegWithoutAPremiumBlocksTheEntry", {call(1, 1), put(-1, 1)}, {{10, 11, 12}, {kNaN, 5, 5}}, {0}, {},
     std::nullopt, {100000, 100000, 100000}, {}},
    // Bought at 10; the exit due on bar 2 meets a NaN and waits, bar 2 is marked at 12, and
    // bar 3 sells at 15.
    {"ExitOnANaNPremiumWaits", {call(1, 1)}, {{10, 12, kNaN, 15}}, {0}, {2}, std::nullopt,
     {100000, 100002, 100002, 100005}, {{0, 3, 15, 5, ExitReason::Signal}}},
    // A bought call (1 x 50) and two sold puts (-2 x 25). On the exit bar the put has no
    // premium: bar 2 marks the call at 15 ((15-10) x 50) and the put at its last 7
    // ((7-8) x -50): 300. Bar 3 closes both: (11-10) x 50 + (9-8) x -50 = 0. The exit value
    // is 11 x 50 - 9 x 50 = 100.
    {"ExitWaitsUntilEveryLiveLegHasAPremium", {call(1, 50), put(-2, 25)},
     {{10, 12, 15, 11}, {8, 7, kNaN, 9}}, {0}, {2}, std::nullopt, {100000, 100150, 100300, 100000},
     {{0, 3, 100, 0, ExitReason::Signal}}},
    // An infinite premium is no mark: the position stays at 10 on bar 1, and the loss limit
    // of 1 is breached on bar 2 (7 - 10) and fills there.
    {"LossLimitReadsTheLastTradableMark", {call(1, 1)}, {{10, kInf, 7, 6}}, {0}, {}, 1.0,
     {100000, 100000, 99997, 99997}, {{0, 2, 7, -3, ExitReason::StopLoss}}},
    // The data end in a gap: closed at the last tradable premium 12.
    {"EndOfDataGapClosesAtTheLastPremium", {call(1, 1)}, {{10, 12, kNaN}}, {0}, {}, std::nullopt,
     {100000, 100002, 100002}, {{0, 2, 12, 2, ExitReason::EndOfData}}},
};

INSTANTIATE_TEST_SUITE_P(Table, SpreadRunScenario, ::testing::ValuesIn(kRunCases),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Long flat stretches: the bars up to the next entry signal repeat one sample

struct FlatCase {
    std::string name;
    bool at_next_open;
    std::vector<std::size_t> entries, exits;
    std::size_t jump;  // first bar whose equity is 100003 (none past the end)
    std::vector<Trip> trips;
};

void PrintTo(const FlatCase& c, std::ostream* os) { *os << c.name; }

class SpreadFlatStretch : public ::testing::TestWithParam<FlatCase> {};

TEST_P(SpreadFlatStretch, SamplesAndEntriesAsBarByBar) {
    const FlatCase& c = GetParam();
    // One bought call; its premium is 10 until bar 14 and 13 from bar 15 on.
    constexpr std::size_t n = n_bars();
    std::vector<std::vector<double>> premiums = {std::vector<double>(n, 10.0)};
    for (std::size_t t = 15; t < n; ++t) premiums[0][t] = 13.0;
    SpreadRunConfig cfg;
    cfg.fee_model = FeeModel::fraction(0.0);
    cfg.legs = {call(1, 1)};
    if (c.at_next_open) cfg.config.fill_timing = FillTiming::NextBarOpen;
    const auto ts = days(n);
    const auto entries = flags(n, c.entries);
    const auto exits = flags(n, c.exits);
    const RunOutput out = run(cfg, SpreadMarket{ts, premiums, std::nullopt, entries, exits});
    std::vector<double> equity(n, 100000.0), returns(n, 0.0);
    for (std::size_t t = c.jump; t < n; ++t) equity[t] = 100003.0;
    if (c.jump < n) returns[c.jump] = 3.0 / 100000.0;
    EXPECT_EQ(testing_support::values(out.equity_curve), equity);
    expect_curve(out.returns, returns, 1e-18);
    EXPECT_EQ(testing_support::values(out.drawdown_curve), std::vector<double>(n, 0.0));
    expect_trips(out.trades, c.trips);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpreadFlatStretch,
    ::testing::Values(
        // Bought at 10 on bar 12, held through the jump on bar 15, sold at 13 on bar 18.
        FlatCase{"EntryAfterTwelveFlatBars", false, {12}, {18}, 15, {{12, 18, 13, 3, ExitReason::Signal}}},
        // The signal of bar 0 acts on bar 1, the exit of bar 17 on bar 18.
        FlatCase{"NextOpenSignalOfTheFirstBar", true, {0}, {17}, 15, {{1, 18, 13, 3, ExitReason::Signal}}},
        // A signal of the last bar has no bar left to act on.
        FlatCase{"NextOpenSignalOfTheLastBar", true, {23}, {}, n_bars(), {}},
        // Out flat at 10 on bar 5; back in at 13 on bar 20 after fourteen flat bars, held
        // to the end at 13.
        FlatCase{"SecondEntryAfterAFlatStretch", false, {2, 20}, {5}, n_bars(),
                 {{2, 5, 10, 0, ExitReason::Signal}, {20, 23, 13, 0, ExitReason::EndOfData}}}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Array lengths, checked before anything runs

struct MarketCase {
    std::string name;
    std::size_t legs;
    std::vector<std::size_t> premium_lengths;
    std::optional<std::vector<std::size_t>> open_lengths;
    std::size_t entries, exits;
    std::string message;  // empty: accepted
};

void PrintTo(const MarketCase& c, std::ostream* os) { *os << c.name; }

class SpreadMarketLengths : public ::testing::TestWithParam<MarketCase> {};

SpreadMarket market_of(const MarketCase& c, const std::vector<std::int64_t>& ts,
                       std::vector<std::vector<double>>& premiums, std::vector<std::vector<double>>& open,
                       std::vector<std::uint8_t>& entries, std::vector<std::uint8_t>& exits) {
    for (const std::size_t len : c.premium_lengths) premiums.emplace_back(len, 1.0);
    entries.assign(c.entries, 0);
    exits.assign(c.exits, 0);
    SpreadMarket m{ts, premiums, std::nullopt, entries, exits};
    if (c.open_lengths) {
        for (const std::size_t len : *c.open_lengths) open.emplace_back(len, 1.0);
        m.legs_open_premiums = std::span<const std::vector<double>>(open);
    }
    return m;
}

TEST_P(SpreadMarketLengths, NameTheArrayAndBothLengths) {
    const MarketCase& c = GetParam();
    const auto ts = days(4);
    std::vector<std::vector<double>> premiums, open;
    std::vector<std::uint8_t> entries, exits;
    const SpreadMarket m = market_of(c, ts, premiums, open, entries, exits);
    const Status<OwnError> st = check_market(c.legs, m);
    if (c.message.empty()) {
        EXPECT_TRUE(st.ok()) << st.error().message();
    } else {
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().message(), c.message);
    }
}

const char* const kMirror =
    "legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars per leg";

INSTANTIATE_TEST_SUITE_P(
    Table, SpreadMarketLengths,
    ::testing::Values(
        MarketCase{"Fits", 2, {4, 4}, std::vector<std::size_t>{4, 4}, 4, 4, ""},
        MarketCase{"FewerSeriesThanLegs", 2, {4}, std::nullopt, 4, 4, "legs_premiums has 1 series, leg_configs has 2"},
        MarketCase{"MoreSeriesThanLegs", 1, {4, 4}, std::nullopt, 4, 4,
                   "legs_premiums has 2 series, leg_configs has 1"},
        MarketCase{"ShortSeries", 2, {4, 3}, std::nullopt, 4, 4, "legs_premiums[1] has 3 values, timestamps has 4"},
        MarketCase{"LongSeries", 2, {5, 4}, std::nullopt, 4, 4, "legs_premiums[0] has 5 values, timestamps has 4"},
        MarketCase{"OpenSeriesMissing", 2, {4, 4}, std::vector<std::size_t>{4}, 4, 4, kMirror},
        MarketCase{"ShortEntries", 1, {4}, std::nullopt, 3, 4, "entries has 3 values, timestamps has 4"},
        MarketCase{"LongExits", 1, {4}, std::nullopt, 4, 6, "exits has 6 values, timestamps has 4"}),
    [](const auto& info) { return info.param.name; });

BatchSpreadItem batch_item(std::string id, std::string option_type, std::size_t bars) {
    BatchSpreadItem item;
    item.strategy_id = std::move(id);
    item.legs_premiums = {std::vector<double>(bars, 1.0)};
    item.leg_configs = {SpreadLegInput{std::move(option_type), 250.0, 1, 1}};
    item.entries.assign(bars, 0);
    item.exits.assign(bars, 0);
    return item;
}

TEST(PrepareBatchItem, LengthErrorsNameTheItemOptionTypeErrorsDoNot) {
    const auto ts = days(4);
    const BacktestConfig cfg;
    auto short_item = batch_item("short", "CE", 4);
    short_item.exits.resize(3);
    auto failed = prepare_batch_item(std::move(short_item), cfg, ts);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "item 'short': exits has 3 values, timestamps has 4");
    // An unknown option type is found before the lengths are looked at.
    auto both = batch_item("both", "CEE", 2);
    failed = prepare_batch_item(std::move(both), cfg, ts);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              "unknown option type CEE for the leg at strike 250; expected CE/CALL/C or PE/PUT/P (case-insensitive).");
    auto fine = prepare_batch_item(batch_item("fine", "pe", 4), cfg, ts);
    ASSERT_TRUE(fine.ok());
    EXPECT_EQ(fine.value().run.legs.front().right, OptionRight::Put);
}

// ---------------------------------------------------------------------------
// Runs one after another on one thread: each one's trades are its own

struct TradeListCase {
    std::string name;
    std::size_t bars;
    std::size_t first_entry, hold, gap;  // an entry every `hold + gap` bars from `first_entry`, out `hold` later
};

// The round trips a run of one bought call at a premium of 10 + bar makes; worked out from
// the signals alone: each entry bar e exits at e + hold with pnl hold, the last one open to
// the end when its exit lies past the data.
std::vector<Trip> expected_trips(const TradeListCase& c) {
    std::vector<Trip> want;
    for (std::size_t e = c.first_entry; e < c.bars; e += c.hold + c.gap) {
        const std::size_t x = std::min(e + c.hold, c.bars - 1);
        want.push_back({e, x, 10.0 + static_cast<double>(x), static_cast<double>(x - e),
                        e + c.hold < c.bars ? ExitReason::Signal : ExitReason::EndOfData});
    }
    return want;
}

RunOutput run_trade_list(const TradeListCase& c) {
    std::vector<std::vector<double>> premiums(1, std::vector<double>(c.bars));
    for (std::size_t t = 0; t < c.bars; ++t) premiums[0][t] = 10.0 + static_cast<double>(t);
    std::vector<std::size_t> entries, exits;
    for (std::size_t e = c.first_entry; e < c.bars; e += c.hold + c.gap) {
        entries.push_back(e);
        if (e + c.hold < c.bars) exits.push_back(e + c.hold);
    }
    SpreadRunConfig cfg;
    cfg.fee_model = FeeModel::fraction(0.0);
    cfg.legs = {call(1, 1)};
    const auto ts = days(c.bars);
    const auto entry_flags = flags(c.bars, entries);
    const auto exit_flags = flags(c.bars, exits);
    return run(cfg, SpreadMarket{ts, premiums, std::nullopt, entry_flags, exit_flags});
}

TEST(SpreadTradeLists, RunsOnOneThreadKeepTheirOwnTrades) {
    // Long lists (past the few thousand the thread keeps room for), short ones and none,
    // in an order where each run follows one with more or fewer trades than its own.
    const TradeListCase cases[] = {
        {"FiveThousandTrades", 20'000, 0, 1, 3},
        {"OneTrade", 40, 3, 4, 100},
        {"NoTrades", 30, 30, 1, 1},
        {"TwoTradesTheLastOpen", 10, 2, 5, 0},
        {"FiveThousandTradesAgain", 20'000, 0, 1, 3},
        {"NineHundredTrades", 2'700, 1, 2, 1},
    };
    for (const TradeListCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunOutput out = run_trade_list(c);
        const std::vector<Trip> want = expected_trips(c);
        expect_trips(out.trades, want);
        EXPECT_EQ(out.trades.capacity(), want.size());
        for (std::size_t k = 0; k < out.trades.size(); ++k) ASSERT_EQ(out.trades[k].id, k + 1);
        EXPECT_EQ(out.metrics.total_trades, want.size());
    }
}

}  // namespace
}  // namespace tarnwick::runners::spreads
