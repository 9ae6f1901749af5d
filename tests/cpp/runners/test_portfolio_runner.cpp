// The shared-capital portfolio runner: what a cap of 0 means, signal fills only at
// tradable prices, stops and targets at the next open, and no entry from the residue of
// an all-in one. Expected values are worked by hand in each row's comment.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/portfolio.h"

namespace tarnwick::runners::portfolio {

using domain::ExitReason;
using domain::StopRule;

namespace {

using namespace tarnwick::testing_support;

Instrument instrument(std::vector<double> close, std::vector<std::size_t> entries, std::vector<std::size_t> exits,
                      std::string symbol = "A", std::vector<double> open = {}, std::vector<double> high = {},
                      std::vector<double> low = {}) {
    Instrument in;
    const std::size_t n = close.size();
    in.bars = Bars::from(std::move(close), std::move(open));
    if (!high.empty()) in.bars.high = std::move(high);
    if (!low.empty()) in.bars.low = std::move(low);
    in.entries = flags(n, entries);
    in.exits = flags(n, exits);
    in.symbol = std::move(symbol);
    return in;
}

struct Case {
    std::string name;
    std::vector<Instrument> instruments;
    std::string allocation;
    double capital;
    std::optional<std::uint64_t> max_positions;
    bool at_next_open;
    std::vector<double> equity;
    std::vector<Trip> trips;
    std::uint64_t rejected;
    std::optional<StopRule> stop = std::nullopt;
};

// Failures name the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class PortfolioScenario : public ::testing::TestWithParam<Case> {};

TEST_P(PortfolioScenario, Run) {
    const Case& c = GetParam();
    PortfolioRunConfig run_config;
    run_config.config.initial_capital = c.capital;
    run_config.config.fees = 0.0;
    run_config.config.max_positions = c.max_positions;
    run_config.config.upon_bar_close = !c.at_next_open;
    run_config.config.stop = c.stop;
    const auto series = series_of(c.instruments);
    auto out = run(run_config, c.allocation, series);
    ASSERT_TRUE(out.ok()) << out.error().message();
    const PortfolioResult& r = out.value();
    expect_curve(r.result.equity_curve, c.equity);
    expect_trips(r.result.trades, c.trips);
    EXPECT_EQ(r.rejected_entries, c.rejected);
    EXPECT_FALSE(std::isnan(r.result.metrics.ulcer_index));
}

const std::vector<Instrument> kAB = {instrument({100, 100, 110}, {0}, {}, "A"),
                                     instrument({50, 50, 50}, {0}, {}, "B")};

const Case kCases[] = {
    // Equal weight over the two instruments: A takes 100000 / 2 (500 units), B the 50000
    // left over its one free slot (1000 units). Bar 2: 500 x 110 + 50000.
    {"NoCapSplitsOverEveryInstrument", kAB, "equal_weight", 100000, std::nullopt, false, {100000, 100000, 105000},
     {{0, 2, 110, 5000, ExitReason::EndOfData}, {0, 2, 50, 0, ExitReason::EndOfData}}, 0},
    // A cap of 0 is no cap: the same run.
    {"CapOfZeroIsNoCap", kAB, "equal_weight", 100000, 0, false, {100000, 100000, 105000},
     {{0, 2, 110, 5000, ExitReason::EndOfData}, {0, 2, 50, 0, ExitReason::EndOfData}}, 0},
    {"CapOfZeroUnderFullAllocation", kAB, "full", 100000, 0, false, {100000, 100000, 110000},
     {{0, 2, 110, 10000, ExitReason::EndOfData}}, 0},
    // A cap of 1: A takes the whole pool (1000 units), B is refused and counted.
    {"CapOfOneRefusesTheSecond", kAB, "equal_weight", 100000, 1, false, {100000, 100000, 110000},
     {{0, 2, 110, 10000, ExitReason::EndOfData}}, 1},
    // 100 units at 100. The exit due on bar 2 meets a NaN close: it waits, bar 2 is marked
    // at the last close 110, and bar 3 sells at 120.
    {"ExitOnANaNCloseFillsAtTheNextClose", {instrument({100, 110, kNaN, 120, 120}, {0}, {2})}, "full", 10000,
     std::nullopt, false, {10000, 11000, 11000, 12000, 12000}, {{0, 3, 120, 2000, ExitReason::Signal}}, 0},
    // No entry at a NaN close, and the signal is not carried to bar 1.
    {"EntryOnANaNCloseOpensNothing", {instrument({kNaN, 100, 110}, {0}, {})}, "full", 10000, std::nullopt, false,
     {10000, 10000, 10000}, {}, 0},
    // The data end in a gap: closed at the last tradable close, 110.
    {"EndOfDataGapClosesAtTheLastClose", {instrument({100, 110, kNaN}, {0}, {})}, "full", 10000, std::nullopt, false,
     {10000, 11000, 11000}, {{0, 2, 110, 1000, ExitReason::EndOfData}}, 0},
    // Next-bar open: the entry of bar 0 buys 100 units at bar 1's open 105; the exit of
    // bar 1 meets bar 2's NaN open and sells at bar 3's open 125.
    {"NextOpenExitWaitsForATradableOpen",
     {instrument({100, 110, 120, 130}, {0}, {1}, "A", {99, 105, kNaN, 125})}, "full", 10500, std::nullopt, true,
     {10500, 11000, 12000, 12500}, {{1, 3, 125, 2000, ExitReason::Signal}}, 0},
    // Next-bar open with a 3 % stop: the entry of bar 0 buys 100 units at bar 1's open 100,
    // stop 97; bar 1 then trades down to 95, so the stop sells at 97 on the entry bar
    // itself: 100 x (97 - 100) = -300.
    {"NextOpenEntryBarMeetsItsStop",
     {instrument({100, 99, 99, 100, 101}, {0}, {}, "A", {100, 100, 100, 99, 100}, {100, 101, 100, 101, 101},
                 {100, 95, 98, 98, 99})},
     "full", 10000, std::nullopt, true, {10000, 9700, 9700, 9700, 9700}, {{1, 1, 97, -300, ExitReason::StopLoss}}, 0,
     StopRule::fixed(0.03)},
    // Next-bar open with a 3 % stop, 100 units bought at bar 1's open 100 (stop 97). The
    // exit of bar 2 sells at bar 3's open 98 before bar 3's low of 90 can reach the stop:
    // 100 x (98 - 100) = -200.
    {"NextOpenExitGoesBeforeTheStop",
     {instrument({100, 100, 100, 95, 95}, {0}, {2}, "A", {100, 100, 100, 98, 95}, {100, 101, 101, 98, 95},
                 {100, 99, 99, 90, 95})},
     "full", 10000, std::nullopt, true, {10000, 10000, 10000, 9800, 9800}, {{1, 3, 98, -200, ExitReason::Signal}}, 0,
     StopRule::fixed(0.03)},
};

INSTANTIATE_TEST_SUITE_P(Table, PortfolioScenario, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// After B's entry takes the whole pool, what is left is the rounding of B's cost against
// it, of either sign. A's entry on the next bar is offered nothing: no position of some
// 1e-13 units opens to hold A for the rest of the run, and, as for an empty pool, nothing
// is counted. B's price runs over 90, 90.25, ..., 110, without fees.
class PoolResidue : public ::testing::TestWithParam<bool> {};

TEST_P(PoolResidue, FullAllocationOffersTheResidueToNoEntry) {
    const bool at_next_open = GetParam();
    for (int j = 0; j <= 80; ++j) {
        const double b = 90.0 + 0.25 * j;
        PortfolioRunConfig run_config;
        run_config.config.fees = 0.0;
        run_config.config.upon_bar_close = !at_next_open;
        const std::vector<Instrument> instruments = {instrument({b, b, b, b}, {0}, {}, "B"),
                                                     instrument({100, 100, 100, 100}, {1}, {}, "A")};
        const auto series = series_of(instruments);
        auto out = run(run_config, "full", series);
        ASSERT_TRUE(out.ok()) << out.error().message();
        const auto& trades = out.value().result.trades;
        ASSERT_EQ(trades.size(), 1u) << b;
        EXPECT_EQ(trades[0].symbol, "B") << b;
        EXPECT_EQ(trades[0].entry_idx, at_next_open ? 1u : 0u) << b;
        EXPECT_DOUBLE_EQ(trades[0].size, 100000.0 / b) << b;
        EXPECT_EQ(out.value().rejected_entries, 0u) << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Timing, PoolResidue, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AtTheNextOpen" : "AtTheClose"; });

}  // namespace
}  // namespace tarnwick::runners::portfolio
