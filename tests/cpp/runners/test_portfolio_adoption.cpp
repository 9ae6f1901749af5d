// A position adopted from the broker is valued from the moment it is adopted: at its
// adoption price until its instrument's first bar or print, in the equity, the drawdown
// kill switch and the end-of-session close.
#include <gtest/gtest.h>

#include <cmath>

#include "runners/session/portfolio_session.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::ExitReason;
using domain::OhlcvBar;
using domain::TradeRecord;
using engine::AccountSetup;
using engine::Kernel;
using engine::KernelConfig;
using engine::OmsType;
using runners::PortfolioResult;
using runners::PortfolioSession;

namespace {

BacktestConfig cfg(std::optional<double> max_drawdown_pct = std::nullopt) {
    BacktestConfig c;
    c.fees = 0.0;
    c.max_drawdown_pct = max_drawdown_pct;
    return c;
}

PortfolioSession two_instruments(const BacktestConfig& c) {
    PortfolioSession s(c, AccountSetup{});
    s.add_instrument("A", 1, std::nullopt, std::nullopt, OmsType::Netting);
    s.add_instrument("B", 1, std::nullopt, std::nullopt, OmsType::Netting);
    return s;
}

struct AdoptCase {
    const char* label;
    double units;
    std::optional<double> max_drawdown_pct;
    std::vector<double> b_closes;  // bars of the other instrument, applied after the adoption
    double equity_after_adoption;
    bool halted;
};

void PrintTo(const AdoptCase& c, std::ostream* os) { *os << c.label; }

class AdoptedPositions : public ::testing::TestWithParam<AdoptCase> {};

TEST_P(AdoptedPositions, AreMarkedAtTheAdoptionPriceUntilTheyTrade) {
    const AdoptCase& c = GetParam();
    PortfolioSession s = two_instruments(cfg(c.max_drawdown_pct));
    std::int64_t t = 0;
    for (double p : c.b_closes) ASSERT_TRUE(s.push_bar(1, OhlcvBar{++t, p, p, p, p, 1.0}).ok());
    ASSERT_TRUE(s.adopt_position(0, 0, 100.0, c.units).ok());
    EXPECT_EQ(s.cash(), 100000.0 - 100.0 * c.units);
    EXPECT_EQ(s.equity(), c.equity_after_adoption);
    while (s.remaining() > 0) s.apply_current(BarSignal{});
    for (double e : s.equity_curve()) EXPECT_EQ(e, 100000.0);
    EXPECT_EQ(s.is_halted(), c.halted);

    PortfolioResult r = std::move(s).finish();
    ASSERT_EQ(r.result.trades.size(), 1u);
    const TradeRecord& trade = r.result.trades[0];
    EXPECT_EQ(trade.symbol, "A");
    EXPECT_EQ(trade.exit_price, 100.0);
    EXPECT_EQ(trade.size, c.units);
    EXPECT_EQ(trade.exit_reason, ExitReason::EndOfData);
    if (!r.result.equity_curve.empty()) {
        EXPECT_EQ(r.result.equity_curve.back(), 100000.0);
    }
    EXPECT_EQ(r.halted, c.halted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdoptedPositions,
    ::testing::Values(
        // 10 units at 100 out of 100000: cash 99000, worth 100000 in all.
        AdoptCase{"valued_right_after", 10.0, std::nullopt, {}, 100000.0, false},
        // 500 at 100 is half the account: with a 5% kill switch, valuing it at nothing
        // would read as a 50% drawdown on the other instrument's first bar.
        AdoptCase{"no_false_drawdown", 500.0, 5.0, {50.0, 51.0}, 100000.0, false},
        AdoptCase{"closed_at_the_adoption_price", 10.0, std::nullopt, {20.0}, 100000.0, false}),
    [](const ::testing::TestParamInfo<AdoptCase>& info) { return std::string(info.param.label); });

TEST(AdoptedPositions, TheFirstBarTakesOverTheMark) {
    PortfolioSession s = two_instruments(cfg());
    ASSERT_TRUE(s.push_bar(0, OhlcvBar{1, 110.0, 110.0, 110.0, 110.0, 1.0}).ok());
    ASSERT_TRUE(s.adopt_position(0, 0, 100.0, 10.0).ok());
    s.apply_current(BarSignal{});
    EXPECT_EQ(s.equity(), 99000.0 + 10 * 110.0);
    PortfolioResult r = std::move(s).finish();
    ASSERT_EQ(r.result.trades.size(), 1u);
    EXPECT_EQ(r.result.trades[0].exit_price, 110.0);
}

TEST(AdoptedPositions, TheKernelKnowsTheAdoptionPriceAsItsMark) {
    BacktestConfig c = cfg();
    Kernel k(KernelConfig::for_session(c, "A", 1));
    ASSERT_TRUE(k.adopt_position(0, 100.0, 10.0).ok());
    EXPECT_EQ(k.mark(), 100.0);
    EXPECT_EQ(k.marked_value(std::nan("")), 1000.0);  // a gap is marked at the adoption price
}

}  // namespace
}  // namespace tarnwick
