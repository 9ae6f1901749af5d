// The basket engine: records that add up to the equity change, fills only at tradable
// prices, and the refusals of columns and weights that do not fit. Expected values are
// worked by hand in each row's comment.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/basket.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using tarnwick::testing_support::test_name;

namespace tarnwick::runners::basket {

using domain::BacktestConfig;
using domain::ExitReason;
using domain::TradeRecord;
using engine::RunOutput;

namespace {

using namespace tarnwick::testing_support;

BasketRunConfig config_for(double capital, double fees) {
    BacktestConfig c;
    c.initial_capital = capital;
    c.fees = fees;
    return BasketRunConfig::from(c, {}, signals::synchronizer::SyncMode::All);
}

Instrument instrument(std::vector<double> close, std::vector<std::size_t> entries, std::vector<std::size_t> exits,
                      std::string symbol = "A", std::int8_t direction = 1) {
    Instrument in;
    const std::size_t n = close.size();
    in.bars = Bars::from(std::move(close));
    in.entries = flags(n, entries);
    in.exits = flags(n, exits);
    in.symbol = std::move(symbol);
    in.direction = direction;
    return in;
}

struct Case {
    std::string name;
    std::vector<Instrument> instruments;
    double capital, fees;
    std::vector<double> equity;
    std::vector<Trip> trips;
    std::vector<double> entry_fees;  // per record, in record order
    double fees_paid;                // every entry and exit fee of the run
};

// Failures name the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BasketScenario : public ::testing::TestWithParam<Case> {};

TEST_P(BasketScenario, RecordsAddUpToTheEquityChange) {
    const Case& c = GetParam();
    const auto series = series_of(c.instruments);
    auto out = run(config_for(c.capital, c.fees), series);
    ASSERT_TRUE(out.ok()) << out.error().message();
    const RunOutput& r = out.value();
    expect_curve(r.equity_curve, c.equity);
    expect_trips(r.trades, c.trips);
    expect_fee_records(r, c.entry_fees, c.capital);
    EXPECT_NEAR(r.metrics.total_fees_paid, c.fees_paid, 1e-9);
}

const Case kCases[] = {
    // 100 units at 100 with fees 1%: entry fee 100 (cash -100), exit fee 1% of 11000 = 110;
    // pnl 1000 - 100 - 110.
    {"SignalExitNetsBothFees", {instrument({100, 100, 110}, {0}, {2})}, 10000, 0.01,
     {9900, 9900, 10790}, {{0, 2, 110, 790, ExitReason::Signal}}, {100}, 210},
    // 1000 units at 100 with fees 1%: entry fee 1000, exit fee 1% of 110000 = 1100.
    {"EntryAndExitFeesMakeTheTotal", {instrument({100, 100, 110, 110, 110}, {0}, {3})}, 100000, 0.01,
     {99000, 99000, 109000, 107900, 107900}, {{0, 3, 110, 7900, ExitReason::Signal}}, {1000}, 2100},
    // Held to the end: valued at 110, no exit fee; pnl 1000 - 100.
    {"OpenAtTheEndCarriesTheEntryFeeOnly", {instrument({100, 100, 110}, {0}, {})}, 10000, 0.01,
     {9900, 9900, 10900}, {{0, 2, 110, 900, ExitReason::EndOfData}}, {100}, 100},
    // Short 100 units from 100: marked at 10000 + (100 - 90) x 100 - 100 of fees; bought
    // back at 80 with a fee of 80: pnl 2000 - 100 - 80.
    {"ShortNetsBothFees", {instrument({100, 90, 80}, {0}, {2}, "A", -1)}, 10000, 0.01,
     {9900, 10900, 11820}, {{0, 2, 80, 1820, ExitReason::Signal}}, {100}, 180},
    // Two instruments, fees 0.1%: A 50 units at 100 (fee 5), B 100 at 50 (fee 5). The exit
    // sells A at 110 (fee 5.5) and B at 45 (fee 4.5). Cash 10000 - 10010 + 5494.5 + 4495.5.
    {"TwoInstrumentsEachCarryTheirFees",
     {instrument({100, 105, 110}, {0}, {2}, "A"), instrument({50, 48, 45}, {0}, {2}, "B")}, 10000, 0.001,
     {9990, 10040, 9980}, {{0, 2, 110, 489.5, ExitReason::Signal}, {0, 2, 45, -509.5, ExitReason::Signal}},
     {5, 5}, 20},
    // Fees 0: A 50 units at 100, B 100 units at 50. On the exit bar A's close is NaN: B sells
    // at 55, A waits and is marked at 100 until bar 3 sells it at 120.
    {"ExitWithoutAPriceWaitsForTheNextBar",
     {instrument({100, 100, kNaN, 120, 120}, {0}, {2}, "A"), instrument({50, 50, 55, 60, 60}, {0}, {2}, "B")},
     10000, 0.0, {10000, 10000, 10500, 11500, 11500},
     {{0, 2, 55, 500, ExitReason::Signal}, {0, 3, 120, 1000, ExitReason::Signal}}, {0, 0}, 0},
    // The data end in a gap: valued at the last tradable close.
    {"EndOfDataGapUsesTheLastClose", {instrument({100, 110, kNaN}, {0}, {})}, 10000, 0.0, {10000, 11000, 11000},
     {{0, 2, 110, 1000, ExitReason::EndOfData}}, {0}, 0},
    // An instrument without a price on the entry bar is skipped; its share stays in cash.
    {"EntryWithoutAPriceSkipsThatInstrument",
     {instrument({kNaN, 100, 100}, {0}, {}, "A"), instrument({50, 50, 60}, {0}, {}, "B")}, 10000, 0.0,
     {10000, 10000, 11000}, {{0, 2, 60, 1000, ExitReason::EndOfData}}, {0}, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, BasketScenario, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(BasketScenario, RecordReturnsTheNetOnTheCostBasis) {
    const auto series = series_of(kCases[0].instruments);
    const RunOutput r = run(config_for(10000, 0.01), series).value();
    ASSERT_EQ(r.trades.size(), 1u);
    const TradeRecord& t = r.trades[0];
    // 790 on 100 units bought at 100; fees 100 in, 110 out.
    EXPECT_DOUBLE_EQ(t.size, 100.0);
    EXPECT_NEAR(t.return_pct, 7.9, 1e-12);
    EXPECT_NEAR(t.exit_fees, 110.0, 1e-9);
    EXPECT_NEAR(t.fees, 210.0, 1e-9);
}

// ---------------------------------------------------------------------------
// Refusals, checked before anything is read

enum class Column { Timestamps, Open, High, Low, Volume };

struct ColumnCase {
    Column column;
    std::size_t length;
    std::string message;
};

void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.message; }

class BasketColumns : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(BasketColumns, NameTheColumnAndBothLengths) {
    const ColumnCase& c = GetParam();
    std::vector<Instrument> list = {instrument({1, 1, 1}, {0}, {}, "A"), instrument({1, 1, 1}, {0}, {}, "B")};
    Bars& b = list[1].bars;
    switch (c.column) {
        case Column::Timestamps: b.timestamps.resize(c.length); break;
        case Column::Open: b.open.resize(c.length, 1.0); break;
        case Column::High: b.high.resize(c.length, 1.0); break;
        case Column::Low: b.low.resize(c.length, 1.0); break;
        case Column::Volume: b.volume.resize(c.length, 1.0); break;
    }
    const auto series = series_of(list);
    auto out = run(config_for(10000, 0.0), series);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, BasketColumns,
                         ::testing::Values(ColumnCase{Column::Timestamps, 2, "instrument 'B': timestamps has 2 values, close has 3"},
                                           ColumnCase{Column::Open, 1, "instrument 'B': open has 1 values, close has 3"},
                                           ColumnCase{Column::High, 2, "instrument 'B': high has 2 values, close has 3"},
                                           ColumnCase{Column::Low, 0, "instrument 'B': low has 0 values, close has 3"},
                                           ColumnCase{Column::Volume, 4, "instrument 'B': volume has 4 values, close has 3"}),
                         [](const auto& i) { return test_name(i.param.message); });

struct WeightCase {
    double weight;
    std::string message;  // empty: accepted
};

void PrintTo(const WeightCase& c, std::ostream* os) { *os << "weight " << c.weight; }

class BasketWeights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(BasketWeights, ANegativeOrNonFiniteWeightIsRefused) {
    const WeightCase& c = GetParam();
    std::vector<Instrument> list = {instrument({100, 100}, {0}, {}, "A"), instrument({50, 50}, {0}, {}, "B")};
    list[0].weight = 2.0;
    list[1].weight = c.weight;
    const auto series = series_of(list);
    auto out = run(config_for(10000, 0.0), series);
    if (c.message.empty()) {
        EXPECT_TRUE(out.ok());
    } else {
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().message(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BasketWeights,
    ::testing::Values(WeightCase{-1.0, "weight of instrument 1 ('B') must be a finite number >= 0, got -1"},
                      WeightCase{kNaN, "weight of instrument 1 ('B') must be a finite number >= 0, got NaN"},
                      WeightCase{kInf, "weight of instrument 1 ('B') must be a finite number >= 0, got inf"},
                      WeightCase{-kInf, "weight of instrument 1 ('B') must be a finite number >= 0, got -inf"},
                      WeightCase{0.0, ""}, WeightCase{0.5, ""}),
    [](const auto& i) { return row_name("weight", i.param.weight); });

TEST(BasketWeights, WeightsShareTheCashByTheirRatio) {
    // Weights 2 and 1 over 9000: 6000 buys 60 of A at 100, 3000 buys 60 of B at 50.
    std::vector<Instrument> list = {instrument({100, 110}, {0}, {}, "A"), instrument({50, 40}, {0}, {}, "B")};
    list[0].weight = 2.0;
    const auto series = series_of(list);
    const RunOutput out = run(config_for(9000, 0.0), series).value();
    ASSERT_EQ(out.trades.size(), 2u);
    EXPECT_DOUBLE_EQ(out.trades[0].size, 60.0);
    EXPECT_DOUBLE_EQ(out.trades[1].size, 60.0);
    // Bar 1: 60 x 110 + 60 x 40.
    expect_curve(out.equity_curve, {9000, 9000});
}

}  // namespace
}  // namespace tarnwick::runners::basket
