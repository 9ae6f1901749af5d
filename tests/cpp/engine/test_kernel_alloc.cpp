// Stepping a session whose buffers are reserved allocates nothing on quiet bars: no
// maps, no per-bar containers, no copies beyond the events and trades a bar produces.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "kernel_fixtures.h"

namespace {
thread_local bool g_counting = false;
thread_local long g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
    if (g_counting) ++g_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarnwick {

using domain::BacktestConfig;
using domain::FillTiming;
using domain::StopRule;
using domain::TargetRule;
using engine::AccountType;
using engine::CoreSession;
using engine::KernelConfig;

namespace {

using namespace testing_support;

long allocations_while(auto&& fn) {
    g_allocations = 0;
    g_counting = true;
    fn();
    g_counting = false;
    return g_allocations;
}

TEST(KernelAllocation, QuietBarsAllocateNothing) {
    BacktestConfig bc;
    bc.stop = StopRule::trailing(0.2);
    bc.target = TargetRule::fixed(5.0);
    bc.max_drawdown_pct = 90.0;
    KernelConfig kc = base_config(bc);
    kc.account_type = AccountType::Margin;
    kc.leverage = 2.0;
    CoreSession s(std::move(kc));
    s.reserve(300);
    (void)s.step(0, flat_bar(0, 100.0), entry());
    ASSERT_TRUE(s.kernel().in_position());
    const long n = allocations_while([&] {
        for (std::uint64_t i = 1; i < 200; ++i) {
            const double p = 100.0 + static_cast<double>(i % 7);
            (void)s.step(i, bar(static_cast<std::int64_t>(i), p, p + 1.0, p - 1.0, p), {});
        }
    });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(s.kernel().in_position());
    EXPECT_EQ(s.equity_curve().size(), 200u);
}

TEST(KernelAllocation, NextBarOpenDeferralAllocatesNothing) {
    BacktestConfig bc;
    bc.fill_timing = FillTiming::NextBarOpen;
    CoreSession s(base_config(bc));
    s.reserve(100);
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(1, 100.0), {});
    ASSERT_TRUE(s.kernel().in_position());
    const long n = allocations_while([&] {
        for (std::uint64_t i = 2; i < 50; ++i) (void)s.step(i, flat_bar(static_cast<std::int64_t>(i), 101.0), entry());
    });
    EXPECT_EQ(n, 0);
}

}  // namespace
}  // namespace tarnwick
