// A core session handed its quiet stretches whole (the bars on which the kernel says it is
// quiet and nothing arrives: no signal, no order, no call between steps) against the same
// session stepped bar by bar. The random runs reach every rule a step consults: gaps and
// the last tradable mark, exits waiting over gaps at the next open, cash and margin
// accounts with margin calls and liquidation, the drawdown halt, position caps, a
// square-off time, expiry and settlement, TWAP schedules and working orders, every stop
// and target rule with the trailing ratchet, the excursions of open positions, sizes, lots
// and fee segments. Both sessions must give the same events, state, curves, trades,
// orders and metrics, bit for bit; and a bar the quiet test lets through must, stepped
// alone, produce no event and change nothing but the marks.
//
// Each row runs kSeeds random runs; TARNWICK_REFERENCE_SEEDS asks for more (thousands, in
// development).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bit_fixtures.h"
#include "domain/instrument_spec.h"
#include "engine/core_session.h"
#include "engine/kernel.h"

namespace tarnwick::engine {
namespace {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TargetRule;
using domain::TradeRecord;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMinute = 60'000'000'000;
constexpr int kSeeds = 30;

using testing_support::bits;
using testing_support::bits_of;
using testing_support::curve_bits;
using testing_support::reference_seeds;

// ---------------------------------------------------------------------------------------
// One random run: the kernel's configuration, the bars, each bar's signal and the calls
// made on the kernel just before the bar is stepped.

enum class Call {
    Order,
    Twap,
    RequestClose,
    SetStop,
    ClearStop,
    SetTarget,
    ClearTarget,
    Adopt,
    Underlying,
    CancelAll,
    QueueEvent,
    Deposit,
};

struct CallAt {
    Call call;
    double a = 0.0;  // units, price or level
    int choice = 0;  // side, order kind
};

struct RandomRun {
    KernelConfig kc;
    std::vector<OhlcvBar> bars;
    std::vector<BarSignal> signals;
    std::vector<std::vector<CallAt>> calls;
};

// What a row switches on; every run of the row draws the rest.
struct Switches {
    double gaps = 0.0;          // share of bars whose close (and, as often, open) is no price
    double signal_rate = 0.01;  // raw entries and exits, each
    double call_rate = 0.0;     // bars with calls on the kernel before them
    double crash_rate = 0.0;    // bars where the price halves
    std::vector<Call> calls;
    std::function<void(std::mt19937_64&, RandomRun&)> shape;
    bool quiet_somewhere = true;  // whether runs of the row reach quiet stretches at all
};

RandomRun random_run(std::mt19937_64& rng, const Switches& sw) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> move(0.0, 0.01);
    RandomRun r;
    BacktestConfig bc;
    bc.fees = u(rng) < 0.2 ? 0.0 : 0.001;
    // No capital at all now and then: every drawdown has no base then.
    const double capital = u(rng);
    bc.initial_capital = capital < 0.02 ? 0.0 : capital < 0.5 ? 100000.0 : 2500.0;
    r.kc = KernelConfig::for_session(bc, "Q", u(rng) < 0.3 ? -1 : 1);
    const std::size_t n = 20 + rng() % 900;
    const double gaps[] = {kNaN, 0.0, kInf, -1.0};
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price *= 1.0 + move(rng);
        if (u(rng) < sw.crash_rate) price *= 0.5;
        if (u(rng) < sw.crash_rate) price *= 1.8;
        const double open = price * (1.0 + move(rng) / 3.0);
        OhlcvBar b{static_cast<std::int64_t>(i) * kMinute + 1'700'000'000'000'000'000, open,
                   std::max(open, price) * (1.0 + std::fabs(move(rng))),
                   std::min(open, price) * (1.0 - std::fabs(move(rng))), price, 1000.0 + 9000.0 * u(rng)};
        if (u(rng) < sw.gaps) b.close = gaps[rng() % 4];
        if (u(rng) < sw.gaps) b.open = gaps[rng() % 4];
        if (u(rng) < sw.gaps / 4) b.high = kNaN;
        r.bars.push_back(b);
        BarSignal s;
        s.entry = u(rng) < sw.signal_rate;
        s.exit = u(rng) < sw.signal_rate;
        // Values an entry would use, on every bar: a quiet stretch must not need them.
        s.atr = u(rng) < 0.8 ? price * 0.02 * u(rng) : 0.0;
        if (u(rng) < 0.3) s.size_mult = 0.1 + 0.9 * u(rng);
        if (u(rng) < 0.1) s.stop_price = price * (0.9 + 0.2 * u(rng));
        if (u(rng) < 0.1) s.target_price = price * (0.9 + 0.2 * u(rng));
        r.signals.push_back(s);
        std::vector<CallAt> here;
        if (!sw.calls.empty() && u(rng) < sw.call_rate) {
            here.push_back({sw.calls[rng() % sw.calls.size()], u(rng), static_cast<int>(rng() % 6)});
        }
        r.calls.push_back(here);
    }
    if (sw.shape) sw.shape(rng, r);
    return r;
}

// The kernel operations a KernelSession offers between steps.
void make_call(Kernel& k, const CallAt& c, std::uint64_t idx, const OhlcvBar& last) {
    const double price = std::isfinite(last.high) && last.high > 0.0 ? last.high : 100.0;
    const auto earliest = k.position();
    switch (c.call) {
        case Call::Order: {
            const char* kinds[] = {"market", "limit", "stop_market", "market", "limit", "trailing_stop_market"};
            OrderRequestArgs a;
            a.side = c.choice % 2 ? "sell" : "buy";
            a.kind = kinds[c.choice];
            a.submitted_idx = idx;
            a.submitted_ts = last.timestamp;
            a.client_id = "o";
            a.units = 1.0 + 20.0 * c.a;
            if (a.kind == std::string_view("limit")) a.limit_price = price * (0.98 + 0.04 * c.a);
            if (a.kind == std::string_view("stop_market")) a.trigger_price = price * (0.98 + 0.04 * c.a);
            if (a.kind == std::string_view("trailing_stop_market")) a.offset = price * 0.01;
            (void)k.submit_order(a);
            break;
        }
        case Call::Twap: {
            TwapArgs a;
            a.units = 1.0 + 30.0 * c.a;
            a.side = c.choice % 2 ? "sell" : "buy";
            a.slices = 1 + static_cast<std::uint32_t>(c.choice);
            a.interval_ns = kMinute * (1 + c.choice);
            a.submitted_idx = idx;
            a.submitted_ts = last.timestamp;
            a.client_id = "t";
            (void)k.submit_twap(a);
            break;
        }
        case Call::RequestClose:
            if (earliest) k.request_close(earliest->position_id);
            break;
        case Call::SetStop:
            if (earliest) (void)k.set_stop_price(earliest->entry_price * (0.9 + 0.2 * c.a), std::nullopt);
            break;
        case Call::ClearStop: (void)k.set_stop_price(std::nullopt, std::nullopt); break;
        case Call::SetTarget:
            if (earliest) (void)k.set_target_price(earliest->entry_price * (0.9 + 0.2 * c.a), std::nullopt);
            break;
        case Call::ClearTarget: (void)k.set_target_price(std::nullopt, std::nullopt); break;
        case Call::Adopt: (void)k.adopt_position(last.timestamp, price, 1.0 + 10.0 * c.a); break;
        case Call::Underlying: k.set_underlying_price(price * (0.9 + 0.2 * c.a)); break;
        case Call::CancelAll: (void)k.cancel_all_orders(idx); break;
        case Call::QueueEvent: k.queue_event(KernelEvent::entry_rejected(idx, EntryRejectReason::MaxPositions)); break;
        case Call::Deposit: k.set_cash(k.cash() + 1000.0 * c.a); break;
    }
}

// ---------------------------------------------------------------------------------------
// Comparisons, doubles by their bits.

std::vector<std::uint64_t> bits_of(const KernelEvent& e) {
    std::vector<std::uint64_t> out = {static_cast<std::uint64_t>(e.kind), static_cast<std::uint64_t>(e.code), e.idx,
                                      bits(e.price), bits(e.size), e.id, std::hash<std::string>{}(e.text),
                                      std::hash<std::string>{}(e.reason)};
    if (e.trade) {
        const auto t = bits_of(*e.trade);
        out.insert(out.end(), t.begin(), t.end());
    }
    return out;
}

std::vector<std::vector<std::uint64_t>> bits_of(const std::vector<KernelEvent>& events) {
    std::vector<std::vector<std::uint64_t>> out;
    for (const auto& e : events) out.push_back(bits_of(e));
    return out;
}

// The kernel as a step can change it. `marks` adds what a quiet bar may change: the
// positions' extremes, the last tradable mark, the current ATR and the drawdown halt the
// session raises from the bar's sample.
std::vector<std::uint64_t> state_of(const Kernel& k, bool marks) {
    std::vector<std::uint64_t> out = {bits(k.cash()), k.margin_call(), k.rejected_entries(),
                                      k.pending_events().size(), k.orders().size(), k.twap_schedules().size(),
                                      k.fill_random_state(), k.last_step_was_print()};
    for (const auto& l : k.locked_margin()) out.insert(out.end(), {l.position_id, bits(l.amount)});
    for (const auto& p : k.ledger().positions()) {
        out.insert(out.end(), {p.position_id, p.entry_idx, bits(p.entry_price), bits(p.size),
                               static_cast<std::uint64_t>(p.direction), bits(p.stop_price), bits(p.target_price),
                               bits(p.entry_fees), static_cast<std::uint64_t>(p.entry_time)});
        if (marks) out.insert(out.end(), {bits(p.highest_price), bits(p.lowest_price)});
    }
    for (const auto& o : k.orders()) out.insert(out.end(), {static_cast<std::uint64_t>(o.status), bits(o.filled_qty)});
    if (marks) out.insert(out.end(), {bits(k.mark()), bits(k.current_atr()), k.drawdown_halt()});
    return out;
}

std::vector<std::uint64_t> bits_of(const domain::Order& o) {
    return {o.id,
            std::hash<std::string>{}(o.client_id + "|" + o.side + "|" + o.kind + "|" + o.tif + "|" + o.status),
            o.submitted_idx,
            static_cast<std::uint64_t>(o.submitted_ts),
            bits(o.requested_qty),
            bits(o.filled_qty),
            bits(o.avg_fill_price),
            o.last_fill_idx.value_or(~0ULL),
            o.fill_slices,
            bits(o.limit_price),
            bits(o.trigger_price),
            std::hash<std::string>{}(o.reject_reason.value_or("-")),
            o.parent_id.value_or(~0ULL),
            o.oco_group.value_or(~0ULL)};
}

// ---------------------------------------------------------------------------------------

struct Row {
    const char* name;
    Switches switches;
};

class QuietStretches : public ::testing::TestWithParam<Row> {};

TEST_P(QuietStretches, MatchSteppingEveryBar) {
    const Row& row = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(row.name));
    std::size_t quiet_bars = 0, stretches = 0;
    for (int seed = 0, count = reference_seeds(kSeeds); seed < count; ++seed) {
        const RandomRun run = random_run(rng, row.switches);
        SCOPED_TRACE(::testing::Message() << row.name << " run " << seed << ", " << run.bars.size() << " bars");
        CoreSession every(run.kc), quiet(run.kc);
        const std::size_t n = run.bars.size();
        every.reserve(n);
        quiet.reserve(n);
        // The bars the quiet session still owes a step, as columns.
        std::vector<std::int64_t> ts;
        std::vector<double> open, high, low, close, volume;
        auto flush = [&](std::size_t end) {
            if (close.empty()) return;
            ++stretches;
            quiet.step_quiet(end - close.size(), {ts, open, high, low, close, volume, run.signals[end - 1].atr});
            ts.clear(), open.clear(), high.clear(), low.clear(), close.clear(), volume.clear();
        };
        for (std::size_t i = 0; i < n; ++i) {
            const OhlcvBar& bar = run.bars[i];
            const BarSignal& sig = run.signals[i];
            // Calls between steps land after the bars before them are stepped; whatever they
            // leave behind is for the quiet test to see.
            if (!run.calls[i].empty()) {
                flush(i);
                const OhlcvBar& last = i > 0 ? run.bars[i - 1] : bar;
                for (const CallAt& c : run.calls[i]) {
                    make_call(every.kernel(), c, i, last);
                    make_call(quiet.kernel(), c, i, last);
                }
            }
            if (!sig.entry && !sig.exit && every.kernel().quiet()) {
                ++quiet_bars;
                const auto before = state_of(every.kernel(), false);
                const auto& events = every.step(i, bar, sig);
                ASSERT_TRUE(events.empty()) << "bar " << i << ": a quiet bar produced " << name(events.front().kind);
                ASSERT_EQ(state_of(every.kernel(), false), before) << "bar " << i << " changed more than the marks";
                ASSERT_TRUE(every.kernel().quiet()) << "bar " << i;
                ts.push_back(bar.timestamp), open.push_back(bar.open), high.push_back(bar.high);
                low.push_back(bar.low), close.push_back(bar.close), volume.push_back(bar.volume);
                continue;
            }
            flush(i);
            ASSERT_EQ(state_of(quiet.kernel(), true), state_of(every.kernel(), true)) << "before bar " << i;
            const auto want = bits_of(every.step(i, bar, sig));
            ASSERT_EQ(bits_of(quiet.step(i, bar, sig)), want) << "bar " << i;
        }
        flush(n);
        ASSERT_EQ(state_of(quiet.kernel(), true), state_of(every.kernel(), true)) << "at the end";
        EXPECT_EQ(bits(quiet.peak_equity()), bits(every.peak_equity()));
        RunOutput a = std::move(every).finish();
        RunOutput b = std::move(quiet).finish();
        EXPECT_EQ(curve_bits(b.equity_curve), curve_bits(a.equity_curve));
        EXPECT_EQ(curve_bits(b.drawdown_curve), curve_bits(a.drawdown_curve));
        EXPECT_EQ(curve_bits(b.returns), curve_bits(a.returns));
        EXPECT_EQ(b.timestamps, a.timestamps);
        ASSERT_EQ(b.trades.size(), a.trades.size());
        for (std::size_t j = 0; j < a.trades.size(); ++j) EXPECT_EQ(bits_of(b.trades[j]), bits_of(a.trades[j])) << j;
        ASSERT_EQ(b.orders.size(), a.orders.size());
        for (std::size_t j = 0; j < a.orders.size(); ++j) EXPECT_EQ(bits_of(b.orders[j]), bits_of(a.orders[j])) << j;
        EXPECT_EQ(bits_of(b.metrics), bits_of(a.metrics));
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
    // The row reached what it was written for: stretches were handed over whole.
    if (row.switches.quiet_somewhere) {
        EXPECT_GT(stretches, 0u);
        EXPECT_GT(quiet_bars, stretches);
    }
}

void with_rules(std::mt19937_64& rng, RandomRun& r) {
    BacktestConfig& c = r.kc.config;
    switch (rng() % 4) {
        case 0: c.stop = StopRule::fixed(0.03); break;
        case 1: c.stop = StopRule::trailing(0.04); break;
        case 2: c.stop = StopRule::atr(2.0, 14); break;
        default: break;
    }
    switch (rng() % 4) {
        case 0: c.target = TargetRule::fixed(0.05); break;
        case 1: c.target = TargetRule::atr(3.0, 14); break;
        case 2: c.target = TargetRule::risk_reward(2.0); break;
        default: break;
    }
    c.bar_path_adaptive = rng() % 2 == 0;
    c.limit_slippage = rng() % 2 ? 0.0 : 0.001;
    r.kc = KernelConfig::for_session(c, r.kc.symbol, r.kc.direction, r.kc.instrument_config);
}

void with_timing(std::mt19937_64& rng, RandomRun& r, FillTiming timing) {
    BacktestConfig c = r.kc.config;
    c.fill_timing = timing;
    if (rng() % 2) c.stop = StopRule::fixed(0.05);
    r.kc = KernelConfig::for_session(c, r.kc.symbol, r.kc.direction, r.kc.instrument_config);
}

void with_margin(std::mt19937_64& rng, RandomRun& r) {
    BacktestConfig c = r.kc.config;
    c.liquidate_on_margin_call = rng() % 2 == 0;
    c.initial_capital = 100000.0;
    const auto direction = r.kc.direction;
    r.kc = KernelConfig::for_session(c, r.kc.symbol, direction, r.kc.instrument_config);
    r.kc.account_type = AccountType::Margin;
    const double leverages[] = {1.0, 2.0, 5.0, 20.0};
    r.kc.leverage = leverages[rng() % 4];
    if (rng() % 3 == 0) {
        InstrumentSpec::PerpetualArgs a;
        a.terms.symbol = "Q";
        a.terms.margin_init = 0.1;
        a.terms.margin_maint = 0.08;
        a.multiplier = rng() % 2 ? 1.0 : 10.0;
        r.kc.instrument = InstrumentSpec::perpetual(a).value();
    }
}

std::vector<Row> rows() {
    std::vector<Row> out;
    const auto add = [&](const char* name, const std::function<void(Switches&)>& set) {
        Row row{name, {}};
        set(row.switches);
        out.push_back(std::move(row));
    };
    add("cash_account_long_and_short_with_deposits", [](Switches& s) {
        s.call_rate = 0.005;
        s.calls = {Call::Deposit};
        s.shape = [](std::mt19937_64& g, RandomRun& r) {
            if (g() % 2) return;
            InstrumentSpec::PerpetualArgs a;
            a.terms.symbol = "Q";
            a.multiplier = 2.5;
            r.kc.instrument = InstrumentSpec::perpetual(a).value();
        };
    });
    add("gaps_and_the_last_tradable_mark", [](Switches& s) {
        s.gaps = 0.05;
        s.signal_rate = 0.02;
    });
    add("stop_target_trailing_and_atr_rules", [](Switches& s) {
        s.gaps = 0.01;
        s.shape = with_rules;
    });
    add("next_bar_open_exits_waiting_over_gaps", [](Switches& s) {
        s.gaps = 0.08;
        s.signal_rate = 0.02;
        s.shape = [](std::mt19937_64& g, RandomRun& r) { with_timing(g, r, FillTiming::NextBarOpen); };
    });
    add("open_lookahead_with_sizes_lots_and_increments", [](Switches& s) {
        s.gaps = 0.01;
        s.signal_rate = 0.02;
        s.shape = [](std::mt19937_64& g, RandomRun& r) {
            InstrumentConfig ic;
            ic.lot_size = 5.0;
            if (g() % 2) ic.alloted_capital = 40000.0;
            if (g() % 3 == 0) ic.stop = StopRule::trailing(0.02);
            r.kc.instrument_config = ic;
            with_timing(g, r, FillTiming::SameBarOpenLookahead);
            InstrumentSpec::EquityArgs a;
            a.terms.symbol = "Q";
            a.terms.price_increment = 0.05;
            a.size_increment = g() % 2 ? 0.0 : 1.0;
            r.kc.instrument = InstrumentSpec::equity(a).value();
        };
    });
    add("fee_segments_and_slippage", [](Switches& s) {
        s.signal_rate = 0.02;
        s.shape = [](std::mt19937_64& g, RandomRun& r) {
            BacktestConfig c = r.kc.config;
            const char* segments[] = {"NSE", "NSE-DELIVERY", "NFO", "MCX"};
            c.fee_segment = segments[g() % 4];
            c.slippage = 0.0005;
            r.kc = KernelConfig::for_session(c, r.kc.symbol, r.kc.direction, r.kc.instrument_config);
        };
    });
    add("drawdown_halt_position_cap_and_square_off", [](Switches& s) {
        s.signal_rate = 0.02;
        s.crash_rate = 0.004;
        s.shape = [](std::mt19937_64& g, RandomRun& r) {
            BacktestConfig c = r.kc.config;
            c.max_drawdown_pct = g() % 2 ? 8.0 : 25.0;
            c.max_positions = g() % 3;
            c.squareoff_time_minutes = 600;
            r.kc = KernelConfig::for_session(c, r.kc.symbol, r.kc.direction, r.kc.instrument_config);
        };
    });
    add("margin_accounts_calls_and_liquidation", [](Switches& s) {
        s.gaps = 0.01;
        s.signal_rate = 0.02;
        s.crash_rate = 0.01;
        s.shape = with_margin;
    });
    add("working_orders_and_twap_schedules", [](Switches& s) {
        s.gaps = 0.01;
        s.call_rate = 0.004;
        s.calls = {Call::Order, Call::Order, Call::Twap, Call::CancelAll, Call::RequestClose};
        s.shape = [](std::mt19937_64&, RandomRun& r) { r.kc.oms = OmsType::Hedging; };
    });
    add("levels_set_and_cleared_between_steps", [](Switches& s) {
        s.gaps = 0.02;
        s.call_rate = 0.03;
        s.calls = {Call::SetStop, Call::ClearStop, Call::SetTarget, Call::ClearTarget, Call::RequestClose,
                   Call::QueueEvent};
    });
    add("adopted_and_hedged_positions", [](Switches& s) {
        s.gaps = 0.02;
        s.signal_rate = 0.005;
        s.call_rate = 0.01;
        s.calls = {Call::Adopt, Call::Adopt, Call::RequestClose, Call::SetStop, Call::ClearStop};
        s.shape = [](std::mt19937_64& g, RandomRun& r) { r.kc.oms = g() % 2 ? OmsType::Hedging : OmsType::Netting; };
    });
    // An instrument that expires is stepped on every bar, before its expiry and after.
    add("expiring_contracts_and_options", [](Switches& s) {
        s.quiet_somewhere = false;
        s.signal_rate = 0.02;
        s.call_rate = 0.01;
        s.calls = {Call::Underlying};
        s.shape = [](std::mt19937_64& g, RandomRun& r) {
            const std::int64_t expiry = r.bars[r.bars.size() / 2].timestamp;
            if (g() % 2) {
                InstrumentSpec::FuturesArgs a;
                a.terms.symbol = "Q";
                a.expiration_ns = expiry;
                r.kc.instrument = InstrumentSpec::futures_contract(a).value();
            } else {
                InstrumentSpec::OptionArgs a;
                a.terms.symbol = "Q";
                a.strike = 100.0;
                a.right = g() % 2 ? "call" : "put";
                a.expiration_ns = expiry;
                a.span_pct = 0.1;
                a.exposure_pct = 0.03;
                r.kc.instrument = InstrumentSpec::option(a).value();
                r.kc.account_type = AccountType::Margin;
                r.kc.leverage = 4.0;
            }
        };
    });
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, QuietStretches, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// The halt comes on at the first sample at or past the limit, inside a stretch as on a
// stepped bar: 1000 units bought at 100.0 with no fees, marked at 90.0, are 10 % below
// the peak of 100000.0 exactly.
struct HaltCase {
    const char* name;
    double limit;
    double low_close;
    std::size_t at;  // its bar in a stretch of three (bars go two at a time, then one)
    bool halted;
};

class QuietStretchHalt : public ::testing::TestWithParam<HaltCase> {};

TEST_P(QuietStretchHalt, ComesOnAtTheLimit) {
    const HaltCase& c = GetParam();
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.max_drawdown_pct = c.limit;
    CoreSession s(KernelConfig::for_session(bc, "H", 1));
    BarSignal enter;
    enter.entry = true;
    s.step(0, {0, 100.0, 100.0, 100.0, 100.0, 1000.0}, enter);
    ASSERT_EQ(s.kernel().ledger().positions().front().size, 1000.0);
    ASSERT_TRUE(s.kernel().quiet());
    const std::vector<std::int64_t> ts = {1, 2, 3};
    std::vector<double> close = {95.0, 96.0, 97.0};
    close[c.at] = c.low_close;
    const std::vector<double> volume(3, 1000.0);
    s.step_quiet(1, {ts, close, close, close, close, volume, 0.0});
    EXPECT_EQ(s.kernel().drawdown_halt(), c.halted);
    EXPECT_EQ(s.drawdown_curve()[1 + c.at], (100000.0 - 1000.0 * c.low_close) / 100000.0 * 100.0);
}

INSTANTIATE_TEST_SUITE_P(Table, QuietStretchHalt,
                         ::testing::Values(HaltCase{"touching_the_limit", 10.0, 90.0, 1, true},
                                           HaltCase{"touching_the_limit_on_the_last_bar", 10.0, 90.0, 2, true},
                                           HaltCase{"short_of_the_limit", 10.0, 90.1, 1, false},
                                           HaltCase{"past_the_limit", 10.0, 80.0, 0, true},
                                           HaltCase{"a_limit_of_zero_is_none", 0.0, 50.0, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::engine
