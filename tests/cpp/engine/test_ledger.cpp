// The position ledger: trade building, partial closes, netting and hedging, rounding.
#include <gtest/gtest.h>

#include "engine/ledger.h"
#include "kernel_fixtures.h"

namespace tarnwick {

using domain::ExitReason;
using engine::AccountType;
using engine::CloseRequest;
using engine::Kernel;
using engine::KernelConfig;
using engine::Ledger;
using engine::OmsType;
using engine::OpenOutcome;
using engine::Position;

namespace {

using namespace testing_support;

Position long_at(double entry, double size, double entry_fees) {
    Position p;
    p.entry_price = entry;
    p.size = size;
    p.entry_fees = entry_fees;
    p.highest_price = entry;
    p.lowest_price = entry;
    p.direction = 1;
    return p;
}

TEST(Ledger, WholeCloseBuildsTheTrade) {
    Ledger ledger("ABC", 1.0, false);
    const auto id = ledger.add(long_at(100.0, 10.0, 1.0));
    auto t = ledger.close_position(id, CloseRequest{std::nullopt, 5, 50, 110.0, 1.1, ExitReason::Signal});
    ASSERT_TRUE(t);
    // (110 - 100) * 10 - (1.0 + 1.1) = 97.9; 97.9 / 1000 * 100 = 9.79
    EXPECT_NEAR(t->pnl, 97.9, 1e-12);
    EXPECT_NEAR(t->return_pct, 9.79, 1e-12);
    EXPECT_NEAR(t->fees, 2.1, 1e-15);
    EXPECT_EQ(t->symbol, "ABC");
    EXPECT_EQ(t->exit_idx, 5u);
    EXPECT_TRUE(ledger.empty());
    EXPECT_EQ(ledger.next_trade_id(), 1u);
    // A missing id builds nothing and uses no trade id.
    EXPECT_FALSE(ledger.close_position(id, CloseRequest{}));
    EXPECT_EQ(ledger.next_trade_id(), 1u);
}

TEST(Ledger, ZeroBasisGivesZeroReturnAndUnmovedExcursionsAreZero) {
    Ledger ledger("Z", 1.0, false);
    const auto id = ledger.add(long_at(0.0, 10.0, 0.0));
    auto t = ledger.close_position(id, CloseRequest{std::nullopt, 1, 1, 5.0, 0.0, ExitReason::Signal});
    EXPECT_EQ(t->return_pct, 0.0);
    EXPECT_EQ(*t->mae_pnl, 0.0);
    EXPECT_EQ(*t->mfe_pnl, 0.0);
}

TEST(Ledger, ExcursionsFollowTheDirection) {
    Ledger ledger("S", 2.0, true);
    Position shortp = long_at(100.0, 3.0, 0.0);
    shortp.direction = -1;
    const auto id = ledger.add(shortp);
    ledger.widen_extremes(104.0, 97.0);
    auto t = ledger.close_position(id, CloseRequest{std::nullopt, 1, 1, 99.0, 0.0, ExitReason::Signal});
    EXPECT_EQ(*t->mae_price, 104.0);
    EXPECT_EQ(*t->mfe_price, 97.0);
    EXPECT_EQ(*t->mae_pnl, -24.0);  // (104 - 100) * 3 * -1 * 2
    EXPECT_EQ(*t->mfe_pnl, 18.0);   // (97 - 100) * 3 * -1 * 2
    EXPECT_EQ(t->pnl, 6.0);         // (99 - 100) * 3 * -1 * 2
}

TEST(Ledger, PartialCloseCarriesItsShareOfEntryFees) {
    Kernel k(base_config());
    auto open = k.open_position({.reference = 100.0, .units = 10.0});
    ASSERT_EQ(open.kind, OpenOutcome::Kind::Opened);
    // entry fee 1000 * 0.001 = 1.0
    auto part = k.close_by_order(1, 1, open.position_id, 0.0, 4.0, 110.0);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->size, 4.0);
    EXPECT_NEAR(part->entry_fees, 0.4, 1e-15);  // 1.0 * 4 / 10
    EXPECT_NEAR(part->exit_fees, 0.44, 1e-15);  // 440 * 0.001
    EXPECT_NEAR(part->pnl, 39.16, 1e-12);       // 10 * 4 - 0.84
    EXPECT_EQ(part->exit_reason, ExitReason::Order);
    ASSERT_TRUE(k.position());
    EXPECT_EQ(k.position()->size, 6.0);
    EXPECT_NEAR(k.ledger().positions()[0].entry_fees, 0.6, 1e-15);

    ASSERT_TRUE(k.close_by_order(2, 2, open.position_id, 0.0, 6.0, 110.0));
    EXPECT_FALSE(k.in_position());
    // cash: 100000 - 1001 + (440 - 0.44) + (660 - 0.66) = 100097.9
    EXPECT_NEAR(k.cash(), 100097.9, 1e-9);
}

TEST(Ledger, NettingRefusesASecondOpeningAndHedgingAddsOne) {
    Kernel netting(base_config());
    (void)netting.open_position({.reference = 100.0, .units = 1.0});
    const double cash = netting.cash();
    auto second = netting.open_position({.idx = 1, .timestamp = 1, .reference = 100.0, .units = 1.0});
    EXPECT_EQ(second.kind, OpenOutcome::Kind::Refused);
    EXPECT_EQ(netting.cash(), cash);

    KernelConfig hc = base_config();
    hc.oms = OmsType::Hedging;
    Kernel hedging(std::move(hc));
    (void)hedging.open_position({.reference = 100.0, .units = 1.0});
    auto again = hedging.open_position({.idx = 1, .timestamp = 1, .reference = 100.0, .units = 1.0});
    ASSERT_EQ(again.kind, OpenOutcome::Kind::Opened);
    EXPECT_EQ(again.position_id, 1u);
    EXPECT_EQ(hedging.positions().size(), 2u);
}

TEST(Ledger, LotSizeRoundsDownAndAddsAverageTheEntry) {
    KernelConfig kc = base_config();
    kc.instrument_config->lot_size = 25.0;
    Kernel k(std::move(kc));
    auto open = k.open_position({.reference = 100.0, .units = 49.9, .stop_price = 95.0, .target_price = 110.0});
    ASSERT_EQ(open.kind, OpenOutcome::Kind::Opened);
    EXPECT_EQ(open.size, 25.0);
    auto add = k.add_to_position(open.position_id, false, false, 0.0, 104.0, 25.0);
    ASSERT_TRUE(add);
    const Position& p = k.ledger().positions()[0];
    EXPECT_EQ(p.entry_price, 102.0);  // (100 * 25 + 104 * 25) / 50
    EXPECT_EQ(p.size, 50.0);
    EXPECT_EQ(*p.stop_price, 97.0);    // moved by 102 - 100
    EXPECT_EQ(*p.target_price, 112.0);
    EXPECT_FALSE(k.add_to_position(99, false, false, 0.0, 104.0, 25.0));
}

TEST(Ledger, CashMovementsDoNotDependOnDirectionAtEntry) {
    Kernel longk(base_config());
    Kernel shortk(base_config({}, -1));
    (void)longk.open_position({.reference = 100.0, .units = 10.0});
    (void)shortk.open_position({.direction = -1, .reference = 100.0, .units = 10.0});
    EXPECT_EQ(longk.cash(), shortk.cash());  // 100000 - 1000 - 1 each
}

TEST(Ledger, MarginCloseReturnsGrossProfitLessExitFee) {
    KernelConfig kc = base_config();
    kc.account_type = AccountType::Margin;
    kc.leverage = 2.0;
    Kernel k(std::move(kc));
    auto open = k.open_position({.reference = 100.0, .units = 10.0});
    // locked 1000 * 0.5 = 500; fee 1.0
    EXPECT_EQ(k.locked_margin_total(), 500.0);
    EXPECT_EQ(k.cash(), 99999.0);
    auto t = k.close_position_by_id(1, 1, open.position_id, ExitReason::Signal, 0.0, 110.0);
    ASSERT_TRUE(t);
    // cash += pnl + entry fees = (100 - 2.1) + 1.0 -> 99999 + 98.9
    EXPECT_NEAR(k.cash(), 100097.9, 1e-9);
    EXPECT_TRUE(k.locked_margin().empty());
}

}  // namespace
}  // namespace tarnwick
