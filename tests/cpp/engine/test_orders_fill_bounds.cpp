// Random order flows against random bars: every fill (orders, signal entries and exits,
// stops and targets) lies within the [low, high] of the bar it happens on, before any
// slippage, and the account stays a number. Seeded, so a failure names its seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "order_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::FillTiming;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TargetRule;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderKind;
using engine::OrderRecord;
using engine::OrderRequestArgs;

namespace {

using namespace testing_support;

class Draw {
public:
    explicit Draw(std::uint64_t seed) : g_(seed) {}
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(g_); }
    bool chance(double p) { return uniform(0.0, 1.0) < p; }
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(g_); }

private:
    std::mt19937_64 g_;
};

constexpr std::int64_t kHour = 3600000000000LL;
constexpr std::array<const char*, 9> kKinds = {
    "market",           "limit",           "stop_market",          "stop_limit",          "market_if_touched",
    "limit_if_touched", "market_to_limit", "trailing_stop_market", "trailing_stop_limit",
};
constexpr std::array<const char*, 4> kTifs = {"gtc", "day", "ioc", "fok"};

double on_grid(double price, double tick) { return tick > 0.0 ? std::round(price / tick) * tick : price; }

// A bar around the last close: small moves, now and then a gap of several percent.
OhlcvBar next_bar(Draw& d, std::int64_t ts, double last_close, double tick) {
    const double gap = d.chance(0.15) ? d.uniform(-0.05, 0.05) : d.uniform(-0.005, 0.005);
    const double open = on_grid(last_close * (1.0 + gap), tick);
    const double close = on_grid(open * (1.0 + d.uniform(-0.015, 0.015)), tick);
    const double high = on_grid(std::max(open, close) * (1.0 + d.uniform(0.0, 0.01)), tick);
    const double low = on_grid(std::min(open, close) * (1.0 - d.uniform(0.0, 0.01)), tick);
    return OhlcvBar{ts, open, std::max({open, close, high}), std::min({open, close, low}), close, 1000.0};
}

OrderRequestArgs random_order(Draw& d, std::uint64_t idx, std::int64_t ts, double close,
                              const std::vector<std::uint64_t>& earlier) {
    OrderRequestArgs a;
    a.side = d.chance(0.5) ? "buy" : "sell";
    a.kind = kKinds[d.pick(kKinds.size())];
    a.submitted_idx = idx;
    a.submitted_ts = ts;
    a.client_id = "r";
    a.units = std::round(d.uniform(1.0, 20.0));
    a.tif = kTifs[d.pick(kTifs.size())];
    const std::string_view kind = a.kind;
    if (kind == "market" && d.chance(0.2)) a.tif = d.chance(0.5) ? "at_open" : "at_close";
    if (kind == "market_to_limit" || kind.substr(0, 8) == "trailing") a.tif = "gtc";
    // Levels on either side of the close, so that some are marketable at once.
    a.limit_price = close * (1.0 + d.uniform(-0.04, 0.04));
    a.trigger_price = close * (1.0 + d.uniform(-0.04, 0.04));
    a.offset = d.chance(0.5) ? d.uniform(0.2, 4.0) : d.uniform(10.0, 400.0);
    a.offset_kind = *a.offset > 5.0 ? "bps" : "price";
    a.limit_offset = d.uniform(0.0, 1.0);
    a.post_only = kind == "limit" && d.chance(0.3);
    a.reduce_only = d.chance(0.1);
    if (!earlier.empty() && d.chance(0.15)) a.parent_id = earlier[d.pick(earlier.size())];
    return a;
}

struct Bounds {
    double low, high;
    bool holds(double p) const { return p >= low && p <= high; }
};

TEST(OrderFlowProperty, NoFillLiesOutsideItsBar) {
    std::size_t fills = 0, exits = 0, triggered_fills = 0;
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        Draw d(seed);
        const double tick = d.chance(0.5) ? 0.01 : 0.0;
        BacktestConfig bc;
        bc.fees = 0.0;
        bc.initial_capital = 1e9;
        const std::array<FillTiming, 3> timings = {FillTiming::SameBarClose, FillTiming::NextBarOpen,
                                                   FillTiming::SameBarOpenLookahead};
        bc.fill_timing = timings[d.pick(timings.size())];
        if (d.chance(0.5)) bc.stop = d.chance(0.5) ? StopRule::fixed(0.03) : StopRule::trailing(0.02);
        if (d.chance(0.5)) bc.target = TargetRule::fixed(0.1);
        bc.bar_path_adaptive = d.chance(0.5);
        KernelConfig kc = KernelConfig::for_session(bc, "X", d.chance(0.5) ? 1 : -1);
        kc.oms = d.chance(0.5) ? OmsType::Netting : OmsType::Hedging;
        if (tick > 0.0) kc.instrument = *InstrumentSpec::equity({.terms = {.symbol = "X", .price_increment = tick}});
        Kernel k(kc);

        double close = 100.0;
        std::vector<std::uint64_t> ids;
        for (std::uint64_t i = 0; i < 80; ++i) {
            const std::int64_t ts = static_cast<std::int64_t>(i) * kHour;
            const std::size_t n = d.pick(4);
            for (std::size_t j = 0; j < n; ++j) {
                auto id = k.submit_order(random_order(d, i, ts, close, ids));
                if (id.ok()) ids.push_back(*id);
            }
            if (ids.size() >= 2 && d.chance(0.1)) {
                const std::array<std::uint64_t, 2> pair{ids[ids.size() - 1], ids[ids.size() - 2]};
                k.link_oco(pair);
            }
            if (!ids.empty() && d.chance(0.1)) {
                (void)k.modify_order(ids[d.pick(ids.size())], std::nullopt, std::nullopt,
                                     close * (1.0 + d.uniform(-0.03, 0.03)), close * (1.0 + d.uniform(-0.03, 0.03)));
            }
            const OhlcvBar b = next_bar(d, ts, close, tick);
            BarSignal sig;
            sig.entry = d.chance(0.1);
            sig.exit = d.chance(0.1);
            const Bounds in{b.low, b.high};
            for (const KernelEvent& e : k.step(i, b, sig, false)) {
                if (e.kind == KernelEventKind::OrderFilled) {
                    ++fills;
                    const OrderRecord* o = k.find_order(e.id);
                    if (o->kind == OrderKind::StopLimit || o->kind == OrderKind::LimitIfTouched ||
                        o->kind == OrderKind::TrailingStopLimit) {
                        ++triggered_fills;
                    }
                    EXPECT_TRUE(in.holds(e.price)) << "seed " << seed << " bar " << i << " order " << e.id << " ("
                                                   << name(o->kind) << ") at " << e.price << " outside [" << b.low
                                                   << ", " << b.high << "]";
                } else if (e.kind == KernelEventKind::Entered) {
                    EXPECT_TRUE(in.holds(e.price)) << "seed " << seed << " bar " << i << " entry at " << e.price;
                } else if (e.kind == KernelEventKind::Exited) {
                    ++exits;
                    EXPECT_TRUE(in.holds(e.trade->exit_price))
                        << "seed " << seed << " bar " << i << " exit (" << static_cast<int>(e.trade->exit_reason)
                        << ") at " << e.trade->exit_price;
                }
            }
            ASSERT_TRUE(std::isfinite(k.cash())) << "seed " << seed;
            if (!ids.empty() && d.chance(0.05)) (void)k.cancel_order(i, ids[d.pick(ids.size())]);
            close = b.close;
        }
    }
    // The flows really trade: thousands of fills, every kind of exit among them.
    EXPECT_GT(fills, 3000u);
    EXPECT_GT(triggered_fills, 200u);
    EXPECT_GT(exits, 1000u);
}

}  // namespace
}  // namespace tarnwick
