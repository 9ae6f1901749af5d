// The pairs engine: records that add up to the equity change, and a pair that opens and
// closes as a whole at tradable prices only. Expected values are worked by hand in each
// row's comment.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/pairs.h"

namespace tarnwick::runners::pairs {

using domain::ExitReason;
using engine::RunOutput;

namespace {

using namespace tarnwick::testing_support;

struct Case {
    std::string name;
    std::vector<double> leg1, leg2;
    std::vector<std::size_t> entries, exits;
    double fees;
    std::vector<double> equity;
    std::vector<Trip> trips;
    std::vector<double> entry_fees;  // per record
    double fees_paid = 0.0;          // every entry and exit fee of the run
};

// Failures name the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

RunOutput run_pair(const PairsRunConfig& run, const std::vector<double>& close1, const std::vector<double>& close2,
                   const std::vector<std::size_t>& entry_bars, const std::vector<std::size_t>& exit_bars,
                   std::int8_t direction = 1) {
    const Bars leg1 = Bars::from(close1);
    const Bars leg2 = Bars::from(close2);
    const std::size_t n = close1.size();
    const auto entries = flags(n, entry_bars);
    const auto exits = flags(n, exit_bars);
    tarnwick::runners::single::SignalInput s;
    s.symbol = "PAIR";
    s.entries = entries;
    s.exits = exits;
    s.direction = direction;
    auto out = pairs::run(run, leg1.series(), leg2.series(), s);
    EXPECT_TRUE(out.ok());
    return std::move(out).value();
}

RunOutput run_case(const Case& c, std::int8_t direction = 1) {
    PairsRunConfig run;
    run.config.fees = c.fees;
    return run_pair(run, c.leg1, c.leg2, c.entries, c.exits, direction);
}

class PairsScenario : public ::testing::TestWithParam<Case> {};

TEST_P(PairsScenario, RecordsAddUpToTheEquityChange) {
    const Case& c = GetParam();
    const RunOutput r = run_case(c);
    expect_curve(r.equity_curve, c.equity);
    expect_trips(r.trades, c.trips);
    expect_fee_records(r, c.entry_fees, 100000.0);
    EXPECT_NEAR(r.metrics.total_fees_paid, c.fees_paid, 1e-9);
}

const Case kCases[] = {
    // Half the cash per leg: 500 of leg 1 at 100, 1000 of leg 2 at 50 (short); entry fees
    // 50 + 50, exit fees 55 + 50. Net 5000 - 205, shared by the two records.
    {"SignalExitSharesEntryAndExitFees", {100, 105, 110, 110}, {50, 50, 50, 50}, {0}, {2}, 0.001,
     {99900, 102400, 104795, 104795},
     {{0, 2, 110, 2397.5, ExitReason::Signal}, {0, 2, 50, 2397.5, ExitReason::Signal}}, {50, 50}, 205},
    // Both legs on one series, fees 1%: 500 units each at 100 (entry fees 500 + 500), sold at
    // 110 (exit fees 550 + 550). The legs cancel: each record nets -2100 / 2 and carries 1050.
    {"BothLegsOnOneSeriesPayOnlyTheFees", {100, 100, 110, 110, 110}, {100, 100, 110, 110, 110}, {0}, {3}, 0.01,
     {99000, 99000, 99000, 97900, 97900},
     {{0, 3, 110, -1050, ExitReason::Signal}, {0, 3, 110, -1050, ExitReason::Signal}}, {500, 500}, 2100},
    // Held to the end: valued at the last closes, no exit fee. 500 x 10 - 100.
    {"OpenAtTheEndCarriesTheEntryFeesOnly", {100, 105, 110}, {50, 50, 50}, {0}, {}, 0.001, {99900, 102400, 104900},
     {{0, 2, 110, 4900, ExitReason::EndOfData}}, {100}, 100},
    // Fees 0. On the exit bar leg 2 has no price: the pair waits, marked with leg 2 at its
    // last close 50, and closes on bar 3 at 120 / 50: 500 x 20 shared.
    {"ExitWithoutALegPriceWaits", {100, 105, 110, 120}, {50, 50, kNaN, 50}, {0}, {2}, 0.0,
     {100000, 102500, 105000, 110000},
     {{0, 3, 120, 5000, ExitReason::Signal}, {0, 3, 50, 5000, ExitReason::Signal}}, {0, 0}, 0},
    // The data end in a gap on leg 1: valued at its last close 110.
    {"EndOfDataGapUsesTheLastCloses", {100, 110, kNaN}, {50, 50, 50}, {0}, {}, 0.0, {100000, 105000, 105000},
     {{0, 2, 110, 5000, ExitReason::EndOfData}}, {0}, 0},
    // No entry with leg 2 at infinity; the signal is not carried to bar 1.
    {"EntryWithoutALegPriceOpensNothing", {100, 105, 110}, {kInf, 50, 50}, {0}, {}, 0.0, {100000, 100000, 100000},
     {}, {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, PairsScenario, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(PairsScenario, WinRateCountsTheNetOfBothFees) {
    // Leg 1 gains 0.3 on 500 units (150); the exit fees take 50.15 + 50 and the entry fees
    // 50 + 50: a losing trip that the exit fees alone would have called a winner.
    Case c{"", {100, 100.3}, {50, 50}, {0}, {1}, 0.001, {}, {}, {}, 0};
    const RunOutput r = run_case(c);
    ASSERT_EQ(r.trades.size(), 2u);
    EXPECT_NEAR(r.trades[0].pnl + r.trades[1].pnl, 150.0 - 100.15 - 100.0, 1e-9);
    EXPECT_EQ(r.metrics.winning_trades, 0u);
    EXPECT_EQ(r.metrics.losing_trades, 1u);
    EXPECT_EQ(r.metrics.win_rate_pct, 0.0);
}

// ---------------------------------------------------------------------------
// Sizing leg 2 against leg 1

// n closes evenly from `from` to `to`, both included.
std::vector<double> ramp(std::size_t n, double from, double to) {
    std::vector<double> out(n);
    const double steps = static_cast<double>(n - 1);
    for (std::size_t k = 0; k < n; ++k) out[k] = from + (to - from) * static_cast<double>(k) / steps;
    return out;
}

std::vector<double> times(const std::vector<double>& v, double factor) {
    std::vector<double> out(v);
    for (double& x : out) x *= factor;
    return out;
}

struct HedgeCase {
    std::string name;
    std::vector<double> leg1, leg2;
    std::size_t entry_bar, exit_bar;
    bool dynamic;
    double hedge_ratio;
    double q1, q2;  // units held in each leg
    double pnl;     // the round trip's, without fees
};

void PrintTo(const HedgeCase& c, std::ostream* os) { *os << c.name; }

class PairsHedge : public ::testing::TestWithParam<HedgeCase> {};

TEST_P(PairsHedge, SizesLegTwo) {
    const HedgeCase& c = GetParam();
    PairsRunConfig run;
    run.config.fees = 0.0;
    run.dynamic_hedge = c.dynamic;
    run.hedge_ratio = c.hedge_ratio;
    const RunOutput r = run_pair(run, c.leg1, c.leg2, {c.entry_bar}, {c.exit_bar});
    ASSERT_EQ(r.trades.size(), 2u);
    EXPECT_NEAR(r.trades[0].size, c.q1, 1e-9);
    EXPECT_NEAR(r.trades[1].size, c.q2, 1e-9);
    EXPECT_NEAR(pnl_sum(r.trades), c.pnl, 1e-7);
}

// Leg 2 climbs from 50 to 60 over 30 bars, 10 / 29 a bar: 1700 / 29 at bar 25, 1640 / 29
// at bar 19, and 30 / 29 more at bar 28 than at bar 25. Half of 100000 buys leg 1.
const std::vector<double> kLeg2 = ramp(30, 50.0, 60.0);

const HedgeCase kHedgeCases[] = {
    // Leg 1 is exactly twice leg 2: the slope is 2, so 2 units of leg 2 per unit of leg 1
    // (q1 = 50000 / (3400 / 29)), and the pair neither gains nor loses along the line.
    {"EstimatedSlopeIsUnitsOfLegTwoPerUnitOfLegOne", times(kLeg2, 2.0), kLeg2, 25, 28, true, 1.0,
     50000.0 * 29 / 3400, 2 * 50000.0 * 29 / 3400, 0.0},
    // A slope of 50 is clamped to 10: 10 units of leg 2 per unit of leg 1. q1 = 50000 /
    // (50 x 1700 / 29); the pair gains (50 - 10) x q1 x 30 / 29.
    {"ClampedSlopeIsStillUnits", times(kLeg2, 50.0), kLeg2, 25, 28, true, 1.0, 50000.0 * 29 / 85000,
     10 * 50000.0 * 29 / 85000, 40 * 50000.0 * 30 / 85000},
    // The caller's ratio compares values: leg 2 gets twice leg 1's 50000, q2 = 100000 /
    // (1700 / 29); the pair loses (2 q1 - q2) x 30 / 29 = -50000 x 30 / 1700.
    {"FixedRatioIsValueOfLegTwoPerValueOfLegOne", times(kLeg2, 2.0), kLeg2, 25, 28, false, 2.0,
     50000.0 * 29 / 3400, 100000.0 * 29 / 1700, -50000.0 * 30 / 1700},
    // Dynamic, but the signal comes before a full window: the caller's ratio, in value.
    // Bar 19 to bar 28 is 90 / 29: -50000 x 90 / 1640.
    {"SignalBeforeAFullWindowKeepsTheValueRatio", times(kLeg2, 2.0), kLeg2, 19, 28, true, 2.0,
     50000.0 * 29 / 3280, 100000.0 * 29 / 1640, -50000.0 * 90 / 1640},
    // Dynamic, but leg 2 never moves: no slope, the caller's 1.5 in value, 75000 / 50.
    // Leg 1 runs 100, 101, ...: 400 units from 125 to 128.
    {"FlatLegTwoKeepsTheValueRatio", ramp(30, 100.0, 129.0), std::vector<double>(30, 50.0), 25, 28, true, 1.5,
     400.0, 1500.0, 1200.0},
};

INSTANTIATE_TEST_SUITE_P(Table, PairsHedge, ::testing::ValuesIn(kHedgeCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick::runners::pairs
