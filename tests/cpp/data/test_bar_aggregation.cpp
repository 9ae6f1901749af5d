// Whole-array aggregation against a plain reference: the bar rules written out one
// record at a time, checked bit for bit on random streams for every unit, for the
// streaming builders, and for whole arrays cut into any number of parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/memory_fixtures.h"
#include "base/memory_headroom.h"
#include "base/output_size.h"
#include "data/aggregate/bar_aggregation.h"
#include "data/aggregate/bar_builder_factory.h"
#include "data/aggregate/scan_ahead.h"
#include "data/events/tick_expansion.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::domain;
using namespace tarnwick::data;
using namespace tarnwick::data::aggregate;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kSec = 1'000'000'000;
constexpr std::int64_t kDay = 86'400 * kSec;

using Bits = std::array<std::uint64_t, 6>;  // one bar, every field as its bit pattern

Bits bits(std::int64_t ts, double o, double h, double l, double c, double v) {
    return {static_cast<std::uint64_t>(ts), std::bit_cast<std::uint64_t>(o), std::bit_cast<std::uint64_t>(h),
            std::bit_cast<std::uint64_t>(l), std::bit_cast<std::uint64_t>(c), std::bit_cast<std::uint64_t>(v)};
}

std::vector<Bits> bits(const OhlcvColumns& c) {
    std::vector<Bits> out;
    for (std::size_t i = 0; i < c.size(); ++i) {
        out.push_back(bits(c.timestamps[i], c.open[i], c.high[i], c.low[i], c.close[i], c.volume[i]));
    }
    return out;
}

// ---------------------------------------------------------------------------
// The reference: every rule as a plain loop over records

__int128 floor_div(__int128 a, __int128 b) { return a / b - ((a % b != 0 && a < 0) ? 1 : 0); }

std::int64_t clamp_ns(__int128 v) {
    constexpr __int128 lo = std::numeric_limits<std::int64_t>::min();
    constexpr __int128 hi = std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::min(std::max(v, lo), hi));
}

// The larger value, NaN ignored; +0 over -0; of two NaNs the earlier.
double ref_high(double cur, double x) {
    if (std::isnan(x)) return cur;
    if (std::isnan(cur)) return x;
    if (x != cur) return std::max(cur, x);
    return std::signbit(cur) ? x : cur;
}
double ref_low(double cur, double x) {
    if (std::isnan(x)) return cur;
    if (std::isnan(cur)) return x;
    if (x != cur) return std::min(cur, x);
    return std::signbit(cur) ? cur : x;
}

struct Open {
    double o, h, l, c, v;
    void add(const SourceRecord& r) {
        h = ref_high(h, r.high);
        l = ref_low(l, r.low);
        c = r.close;
        v = v + r.volume;
    }
};

struct Reference {
    std::string unit;
    std::uint32_t step;
    std::int64_t tz;
    double brick;

    std::vector<Bits> run(const std::vector<SourceRecord>& records) const {
        std::vector<Bits> out;
        std::optional<Open> bar;
        std::int64_t key = 0;  // clock bucket of the bar in progress
        auto emit = [&](std::int64_t stamp) {
            out.push_back(bits(stamp, bar->o, bar->h, bar->l, bar->c, bar->v));
            bar.reset();
        };
        auto take = [&](const SourceRecord& r) {
            if (bar) {
                bar->add(r);
            } else {
                bar = Open{r.open, r.high, r.low, r.close, r.volume};
            }
        };
        // Count and flow state.
        double sum = 0.0, buy = 0.0, sell = 0.0, prev_sign = 1.0;
        std::uint64_t ticks = 0;
        std::optional<double> prev_close, anchor;
        std::int64_t last_ts = 0;
        const bool flow = unit.find('_') != std::string::npos;

        for (const SourceRecord& r : records) {
            if (const auto window = time_window()) {
                const auto b = static_cast<std::int64_t>(floor_div(__int128{r.timestamp} + tz, *window));
                if (bar && b != key) emit(clamp_ns((__int128{key} + 1) * *window - tz));
                key = b;
                take(r);
            } else if (unit == "month" || unit == "year") {
                const auto b = static_cast<std::int64_t>(floor_div(calendar_key(r.timestamp), step));
                if (bar && b != key) emit(calendar_end(key));
                key = b;
                take(r);
            } else if (unit == "tick" || unit == "volume" || unit == "value") {
                take(r);
                ++ticks;
                last_ts = r.timestamp;
                if (unit == "volume") sum += r.volume;
                if (unit == "value") sum += r.volume * r.close;
                const bool done = unit == "tick" ? ticks >= step : sum >= static_cast<double>(step);
                if (done) {
                    ticks = 0;
                    sum = 0.0;
                    emit(r.timestamp);
                }
            } else if (unit == "renko") {
                renko(r, anchor, out);
            } else if (flow) {
                double sign;
                if (r.signed_size > 0) {
                    sign = 1.0;
                } else if (r.signed_size < 0) {
                    sign = -1.0;
                } else if (std::isnan(r.signed_size)) {
                    sign = NaN;
                } else {
                    if (!prev_close || r.close > *prev_close) {
                        prev_sign = 1.0;
                    } else if (r.close < *prev_close) {
                        prev_sign = -1.0;
                    }
                    sign = prev_sign;
                }
                prev_close = r.close;
                last_ts = r.timestamp;
                double size = 1.0;
                if (unit.starts_with("volume")) size = r.volume;
                if (unit.starts_with("value")) size = r.volume * r.close;
                if (sign >= 0) {
                    buy += size;
                } else {
                    sell += size;
                }
                take(r);
                const double t = static_cast<double>(step);
                const bool done = unit.ends_with("imbalance") ? std::fabs(buy - sell) >= t
                                                               : (buy >= t || sell >= t);
                if (done) {
                    buy = sell = 0.0;
                    emit(r.timestamp);
                }
            }
        }
        if (bar) {
            if (const auto window = time_window()) {
                emit(clamp_ns((__int128{key} + 1) * *window - tz));
            } else if (unit == "month" || unit == "year") {
                emit(calendar_end(key));
            } else {
                emit(last_ts);
            }
        }
        return out;
    }

    std::optional<__int128> time_window() const {
        const std::int64_t len = unit == "ms" ? 1'000'000
                                 : unit == "s" ? kSec
                                 : unit == "m" ? 60 * kSec
                                 : unit == "h" ? 3600 * kSec
                                 : unit == "d" ? kDay
                                 : unit == "w" ? 7 * kDay
                                               : 0;
        if (len == 0) return std::nullopt;
        return __int128{step} * len;
    }

    // Months since January of year 0, or years, in the offset clock (std::chrono's calendar).
    std::int64_t calendar_key(std::int64_t ts) const {
        using namespace std::chrono;
        const auto d = static_cast<std::int64_t>(floor_div(__int128{ts} + tz, kDay));
        const year_month_day ymd{sys_days{days{d}}};
        const std::int64_t y = static_cast<int>(ymd.year());
        return unit == "year" ? y : y * 12 + static_cast<unsigned>(ymd.month()) - 1;
    }

    // First instant of bucket b + 1.
    std::int64_t calendar_end(std::int64_t b) const {
        using namespace std::chrono;
        const std::int64_t k = (b + 1) * step;
        const year_month_day first = unit == "year"
                                         ? year_month_day{year{static_cast<int>(k)}, January, day{1}}
                                         : year_month_day{year{static_cast<int>(floor_div(k, 12))},
                                                          month{static_cast<unsigned>(k - floor_div(k, 12) * 12) + 1},
                                                          day{1}};
        return clamp_ns(__int128{sys_days{first}.time_since_epoch().count()} * kDay - tz);
    }

    void renko(const SourceRecord& r, std::optional<double>& anchor, std::vector<Bits>& out) const {
        const double b = brick > 0 ? brick : static_cast<double>(step);
        if (!std::isfinite(r.close)) return;
        auto grid = [&](double p) {
            const double g = std::floor(p / b) * b;
            return std::isfinite(g) ? g : p;
        };
        if (!anchor) {
            anchor = grid(r.close);
            return;
        }
        const double moves = std::floor(std::fabs(r.close - *anchor) / b);
        if (!(moves >= 1)) return;
        const double count = std::min(moves, 10'000.0);
        double open = *anchor;
        for (double k = 0; k < count; ++k) {
            const double shut = r.close > *anchor ? open + b : open - b;
            out.push_back(bits(r.timestamp, open, std::max(open, shut), std::min(open, shut), shut,
                               k + 1 == count ? r.volume : 0.0));
            open = shut;
        }
        anchor = moves > 10'000 ? grid(r.close) : open;
    }
};

// ---------------------------------------------------------------------------
// Random streams

struct Stream {
    // Finer bars.
    std::vector<std::int64_t> ts;
    std::vector<double> open, high, low, close, volume;
    // Tick rows over the same stamps.
    std::vector<double> ltp, buy, sell;

    BarColumns bars() const { return {ts, open, high, low, close, volume}; }
    TickRows ticks() const { return {ts, ltp, buy, sell}; }

    std::vector<SourceRecord> bar_records() const {
        std::vector<SourceRecord> out;
        for (std::size_t i = 0; i < ts.size(); ++i) out.push_back({ts[i], open[i], high[i], low[i], close[i], volume[i], 0.0});
        return out;
    }
    // The prints a tick row makes: a positive price, size |buy| + |sell|, signed |buy| - |sell|.
    std::vector<SourceRecord> tick_records() const {
        std::vector<SourceRecord> out;
        for (std::size_t i = 0; i < ts.size(); ++i) {
            if (!(ltp[i] > 0)) continue;
            const double b = std::fabs(buy[i]), s = std::fabs(sell[i]);
            out.push_back({ts[i], ltp[i], ltp[i], ltp[i], ltp[i], b + s, b - s});
        }
        return out;
    }
};

// Prices on a 0.25 grid with repeats, a few NaNs, zeros of both signs and infinities;
// stamps mostly rising with ties and the odd step back; volumes with zeros, negatives
// and, near the end, NaN; tick rows without a price now and then.
// Volumes (and tick sizes) of every kind, or whole numbers, as share counts are, up to
// 2^31 and a little past it with -0 among them, or whole numbers with now and then a
// fraction whose bits a running sum carries on.
enum class Volumes { Mixed, Whole, MostlyWhole };

Stream random_stream(std::uint64_t seed, std::size_t n, std::int64_t spacing, Volumes volumes = Volumes::Mixed) {
    const bool whole_volumes = volumes != Volumes::Mixed;
    std::mt19937_64 g(seed);
    auto pick = [&](std::initializer_list<double> xs) { return *(xs.begin() + g() % xs.size()); };
    Stream s;
    std::int64_t t = static_cast<std::int64_t>(g() % (2'000'000'000 * kSec)) - 400'000'000 * kSec;
    double p = 20.0;
    for (std::size_t i = 0; i < n; ++i) {
        t += static_cast<std::int64_t>(g() % static_cast<std::uint64_t>(spacing));
        s.ts.push_back(g() % 50 == 0 ? t - static_cast<std::int64_t>(g() % static_cast<std::uint64_t>(10 * spacing)) : t);
        p = std::max(0.25, p + 0.25 * (static_cast<double>(g() % 5) - 2.0));
        // A NaN volume or close holds volume, value and flow bars open for good, so
        // those come only near the end.
        const bool late = i > n - n / 20;
        const double c = g() % 80 == 0 ? (late ? pick({NaN, Inf, -Inf, 0.0, -0.0}) : pick({Inf, 0.0, -0.0})) : p;
        const double o = g() % 80 == 0 ? NaN : p + pick({0.0, 0.25, -0.25});
        double h = std::max(o, c) + pick({0.0, 0.5});
        double l = std::min(o, c) - pick({0.0, 0.5});
        if (g() % 60 == 0) h = pick({NaN, 0.0, -0.0});
        if (g() % 60 == 0) l = pick({NaN, 0.0, -0.0});
        s.open.push_back(o);
        s.high.push_back(h);
        s.low.push_back(l);
        s.close.push_back(c);
        if (whole_volumes) {
            const double odd = volumes == Volumes::Whole ? 2147483649.0 : 0.1;
            s.volume.push_back(pick({0.0, -0.0, -0.0, 1.0, 40.0, 7.0, 3.0, -2.0, g() % 200 == 0 ? 2147483648.0 : 5.0,
                                     g() % 300 == 0 ? odd : 1.0}));
        } else {
            s.volume.push_back(pick({0.0, -0.0, 1.0, 2.5, 40.0, 0.1, 7.0, 3.0, -2.0, late && g() % 5 == 0 ? NaN : 1.0}));
        }
        s.ltp.push_back(g() % 25 == 0 ? pick({0.0, -1.0, NaN}) : p);
        s.buy.push_back(pick({0.0, -0.0, 3.0, -2.0, 1.0, 5.0, whole_volumes ? 4.0 : g() % 30 == 0 ? NaN : 2.0}));
        s.sell.push_back(pick({0.0, 1.0, -4.0, 2.0, whole_volumes && g() % 200 == 0 ? 2147483648.0 : 3.0,
                               volumes == Volumes::MostlyWhole && g() % 300 == 0 ? 0.3 : 1.0}));
    }
    return s;
}

struct UnitCase {
    std::uint32_t step;
    const char* unit;
    std::int64_t tz;
    double brick;
    std::int64_t spacing;  // largest gap between stamps
};

std::string label(const UnitCase& c) {
    std::string s = std::string(c.unit) + "_" + std::to_string(c.step);
    if (c.tz != 0) s += "_tz";
    if (c.brick > 0) s += "_brick";
    return s;
}

// Every bar and brick a builder gives record by record, drained after each push.
std::vector<Bits> streamed(const UnitCase& c, const std::vector<SourceRecord>& records) {
    auto built = bar_builder_from_spec({c.step, c.unit, c.tz, c.brick});
    EXPECT_TRUE(built.ok());
    BarBuilder& b = *built.value();
    std::vector<Bits> out;
    auto add = [&](const std::optional<OhlcvBar>& x) {
        if (x) out.push_back(bits(x->timestamp, x->open, x->high, x->low, x->close, x->volume));
        return x.has_value();
    };
    for (const SourceRecord& r : records) {
        add(b.push(r));
        while (add(b.next_pending())) {
        }
    }
    add(b.flush());
    return out;
}

// Parts of a split, and blocks of a scan the pool feeds: one block of one row, blocks
// that cut groups of closes, blocks of many groups, one block for everything.
const RowSplit kSplits[] = {{1, 1, 16384}, {2, 1, 1}, {3, 1, 17}, {7, 1, 250}, {8, 1, 3}, {64, 1, 16384}};

std::string describe(const RowSplit& s) {
    return "parts " + std::to_string(s.parts) + ", blocks of " + std::to_string(s.block_rows);
}

class AggregateAgainstReference : public ::testing::TestWithParam<UnitCase> {};

TEST_P(AggregateAgainstReference, EveryEntryGivesTheReferenceBarsBitForBit) {
    const UnitCase& c = GetParam();
    const Reference ref{c.unit, c.step, c.tz, c.brick};
    for (std::uint64_t seed : {1u, 2u, 3u, 4u, 5u}) {
        const Volumes volumes = seed == 4 ? Volumes::Whole : seed == 5 ? Volumes::MostlyWhole : Volumes::Mixed;
        const Stream s = random_stream(seed * 977 + c.step, 3000, c.spacing, volumes);
        const std::vector<Bits> want_bars = ref.run(s.bar_records());
        const std::vector<Bits> want_ticks = ref.run(s.tick_records());
        ASSERT_GT(want_bars.size(), 2u) << "seed " << seed;
        EXPECT_EQ(streamed(c, s.bar_records()), want_bars) << "streamed bars, seed " << seed;
        EXPECT_EQ(streamed(c, s.tick_records()), want_ticks) << "streamed ticks, seed " << seed;
        for (const RowSplit& split : kSplits) {
            const BuilderSpec spec{c.step, c.unit, c.tz, c.brick};
            auto got = aggregate_bars(s.bars(), spec, split);
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(bits(got.value()), want_bars) << "aggregate_bars, seed " << seed << ", " << describe(split);
            auto from_ticks = bars_from_ticks(s.ticks(), spec, split);
            ASSERT_TRUE(from_ticks.ok());
            EXPECT_EQ(bits(from_ticks.value()), want_ticks) << "bars_from_ticks, seed " << seed << ", " << describe(split);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Aggregate, AggregateAgainstReference,
    ::testing::Values(UnitCase{1, "ms", 0, 0.0, 300'000}, UnitCase{1, "s", 0, 0.0, kSec},
                      UnitCase{7, "s", 0, 0.0, kSec}, UnitCase{1, "m", 0, 0.0, 20 * kSec},
                      UnitCase{5, "m", 19'800 * kSec, 0.0, 20 * kSec}, UnitCase{1, "h", -3600 * kSec, 0.0, 120 * kSec},
                      UnitCase{1, "d", 19'800 * kSec, 0.0, 3600 * kSec}, UnitCase{1, "w", 0, 0.0, 3600 * kSec},
                      UnitCase{1, "month", 0, 0.0, kDay}, UnitCase{3, "month", 19'800 * kSec, 0.0, kDay},
                      UnitCase{1, "year", 0, 0.0, 30 * kDay}, UnitCase{1, "tick", 0, 0.0, kSec},
                      UnitCase{7, "tick", 0, 0.0, kSec}, UnitCase{300, "tick", 0, 0.0, kSec},
                      UnitCase{60, "volume", 0, 0.0, kSec}, UnitCase{900, "value", 0, 0.0, kSec},
                      UnitCase{2500, "volume", 0, 0.0, kSec},
                      UnitCase{1, "renko", 0, 0.25, kSec}, UnitCase{2, "renko", 0, 0.0, kSec},
                      UnitCase{4, "tick_imbalance", 0, 0.0, kSec}, UnitCase{9, "tick_runs", 0, 0.0, kSec},
                      UnitCase{14, "tick_imbalance", 0, 0.0, kSec}, UnitCase{150, "tick_runs", 0, 0.0, kSec},
                      UnitCase{30, "volume_imbalance", 0, 0.0, kSec}, UnitCase{40, "volume_runs", 0, 0.0, kSec},
                      UnitCase{150, "volume_imbalance", 0, 0.0, kSec}, UnitCase{1500, "volume_runs", 0, 0.0, kSec},
                      UnitCase{600, "value_imbalance", 0, 0.0, kSec}, UnitCase{900, "value_runs", 0, 0.0, kSec}),
    [](const auto& info) { return label(info.param); });

// ---------------------------------------------------------------------------
// Order flow decided by the tick rule across the blocks of a scan

// Long runs of one price, so that whole blocks repeat a side settled blocks before;
// now and then a print with a known side inside a run (it must not move the tick rule),
// a row without a price, a NaN close (no comparison either way) or -inf.
Stream flat_stream(std::uint64_t seed, std::size_t n) {
    std::mt19937_64 g(seed);
    Stream s;
    std::int64_t t = 1'000 * kSec;
    double p = 50.0;
    std::size_t left = 0;  // rows before the price moves
    for (std::size_t i = 0; i < n; ++i) {
        if (left-- == 0) {
            p += g() % 2 == 0 ? 0.5 : -0.5;
            left = g() % 600;
        }
        t += static_cast<std::int64_t>(g() % kSec);
        const std::uint64_t odd = g() % 40;
        const double c = odd == 0 ? NaN : odd == 1 ? -Inf : p;
        s.ts.push_back(t);
        s.open.push_back(c);
        s.high.push_back(c);
        s.low.push_back(c);
        s.close.push_back(c);
        s.volume.push_back(static_cast<double>(1 + g() % 5));
        s.ltp.push_back(odd == 2 ? 0.0 : odd == 0 ? NaN : p);
        const double size = static_cast<double>(1 + g() % 4);
        s.buy.push_back(size);
        s.sell.push_back(odd == 3 ? size + 1.0 : odd == 4 ? size - 1.0 : -size);  // mostly |buy| = |sell|
    }
    return s;
}

class AggregateFlatFlow : public ::testing::TestWithParam<UnitCase> {};

TEST_P(AggregateFlatFlow, SidesCarriedAcrossBlocksGiveTheReferenceBars) {
    const UnitCase& c = GetParam();
    const Reference ref{c.unit, c.step, 0, 0.0};
    for (std::uint64_t seed : {5u, 6u}) {
        const Stream s = flat_stream(seed, 4000);
        const std::vector<Bits> want_bars = ref.run(s.bar_records());
        const std::vector<Bits> want_ticks = ref.run(s.tick_records());
        ASSERT_GT(want_ticks.size(), 2u);
        for (const RowSplit& split : kSplits) {
            const BuilderSpec spec{c.step, c.unit, 0, 0.0};
            EXPECT_EQ(bits(aggregate_bars(s.bars(), spec, split).value()), want_bars)
                << "aggregate_bars, seed " << seed << ", " << describe(split);
            EXPECT_EQ(bits(bars_from_ticks(s.ticks(), spec, split).value()), want_ticks)
                << "bars_from_ticks, seed " << seed << ", " << describe(split);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Aggregate, AggregateFlatFlow,
                         ::testing::Values(UnitCase{3, "tick_imbalance", 0, 0.0, 0}, UnitCase{70, "tick_runs", 0, 0.0, 0},
                                           UnitCase{9, "volume_imbalance", 0, 0.0, 0}, UnitCase{30, "volume_runs", 0, 0.0, 0},
                                           UnitCase{400, "value_imbalance", 0, 0.0, 0}, UnitCase{2000, "value_runs", 0, 0.0, 0}),
                         [](const auto& info) { return label(info.param); });

// ---------------------------------------------------------------------------
// The scan the pool feeds: every block prepared once, scanned in order from its own slot

struct PipelineCase {
    std::size_t n, rows, slots;
};
class AggregatePipeline : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(AggregatePipeline, EachBlockPreparedOnceScannedInOrderFollowedUpOnce) {
    const auto [n, rows, slots] = GetParam();
    const fed_scan::Blocks blocks{n, rows};
    const std::size_t count = blocks.count();
    EXPECT_EQ(count, (n + rows - 1) / rows);
    struct Slot {
        Slot(std::size_t, fed_scan::Carver&) {}
        static std::size_t bytes(std::size_t) { return 0; }
        std::size_t block = 0;
        std::size_t begin = 0, end = 0;
    };
    std::vector<std::atomic<int>> prepared(count), followed(count);
    std::vector<std::size_t> scanned;
    std::size_t covered = 0;
    fed_scan::pipeline<Slot>(
        blocks, slots,
        [&](std::size_t b, Slot& slot) {
            prepared[b].fetch_add(1);
            slot.block = b;
            slot.begin = blocks.begin(b);
            slot.end = blocks.end(b);
        },
        [&](std::size_t b, Slot& slot) {
            EXPECT_EQ(slot.block, b);  // the slot holds this block, not one kSlots before or after
            EXPECT_EQ(slot.begin, covered);
            covered = slot.end;
            scanned.push_back(b);
        },
        [&](std::size_t b) { followed[b].fetch_add(1); });
    EXPECT_EQ(covered, n);
    ASSERT_EQ(scanned.size(), count);
    for (std::size_t b = 0; b < count; ++b) {
        EXPECT_EQ(scanned[b], b);
        EXPECT_EQ(prepared[b].load(), 1) << "block " << b;
        EXPECT_EQ(followed[b].load(), 1) << "block " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Aggregate, AggregatePipeline,
                         ::testing::Values(PipelineCase{0, 4, 16}, PipelineCase{1, 1, 16}, PipelineCase{5, 1, 16},
                                           PipelineCase{5, 5, 16}, PipelineCase{100, 7, 1}, PipelineCase{100, 7, 3},
                                           PipelineCase{17, 1, 17}, PipelineCase{200'000, 16, 16},
                                           PipelineCase{200'000, 16, 100'000}),
                         [](const auto& info) {
                             return std::to_string(info.param.n) + "_rows_in_blocks_of_" + std::to_string(info.param.rows) +
                                    "_" + std::to_string(info.param.slots) + "_slots";
                         });

// ---------------------------------------------------------------------------
// The high and low of a bar do not depend on the order of its records

struct ExtremeCase {
    const char* label;
    std::vector<double> values;  // one record each, all in one bar
    double high, low;            // compared bit for bit
};
class AggregateExtremes : public ::testing::TestWithParam<ExtremeCase> {};
TEST_P(AggregateExtremes, HighAndLowWhateverTheOrder) {
    const ExtremeCase& c = GetParam();
    std::vector<double> v = c.values;
    std::sort(v.begin(), v.end(), [](double a, double b) { return std::bit_cast<std::int64_t>(a) < std::bit_cast<std::int64_t>(b); });
    do {
        std::vector<std::int64_t> ts(v.size(), 0);
        const std::vector<double> ones(v.size(), 1.0);
        auto got = aggregate_bars({ts, ones, v, v, ones, ones}, {1, "d", 0, 0.0}, RowSplit{1, 1});
        ASSERT_TRUE(got.ok());
        ASSERT_EQ(got.value().size(), 1u);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got.value().high[0]), std::bit_cast<std::uint64_t>(c.high));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got.value().low[0]), std::bit_cast<std::uint64_t>(c.low));
    } while (std::next_permutation(v.begin(), v.end(), [](double a, double b) {
        return std::bit_cast<std::int64_t>(a) < std::bit_cast<std::int64_t>(b);
    }));
}
INSTANTIATE_TEST_SUITE_P(
    Aggregate, AggregateExtremes,
    ::testing::Values(ExtremeCase{"signed_zeros", {0.0, -0.0}, 0.0, -0.0},
                      ExtremeCase{"zeros_and_nan", {-0.0, NaN, 0.0, -0.0}, 0.0, -0.0},
                      ExtremeCase{"nan_ignored", {NaN, 2.0, -3.0}, 2.0, -3.0},
                      ExtremeCase{"infinities", {-Inf, 1.0, Inf}, Inf, -Inf},
                      ExtremeCase{"only_nan", {NaN, NaN}, NaN, NaN}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Tick rows read as prints follow the feed's own rule

struct TickRowCase {
    double ltp, buy, sell;
};
class AggregateTickPrints : public ::testing::TestWithParam<TickRowCase> {};
TEST_P(AggregateTickPrints, SameAsTheFeedsTradeExpansion) {
    const TickRowCase& c = GetParam();
    const std::int64_t ts = 42;
    const TickPrints rows(TickRows{{&ts, 1}, {&c.ltp, 1}, {&c.buy, 1}, {&c.sell, 1}});
    TickRow row;  // no quote, ltq or oi
    row.ltp = c.ltp;
    row.buy_qty_delta = c.buy;
    row.sell_qty_delta = c.sell;
    const std::optional<EventPayload> print = trade_payload(row);  // price, size, signed size, ...
    ASSERT_EQ(rows.present(0), print.has_value());
    if (!print) return;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(rows.close(0)), std::bit_cast<std::uint64_t>((*print)[0]));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(rows.volume(0)), std::bit_cast<std::uint64_t>((*print)[1]));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(rows.signed_size(0)), std::bit_cast<std::uint64_t>((*print)[2]));
}
INSTANTIATE_TEST_SUITE_P(Aggregate, AggregateTickPrints,
                         ::testing::Values(TickRowCase{10.0, 5.0, -3.0}, TickRowCase{10.0, -0.0, 0.0},
                                           TickRowCase{10.0, NaN, 2.0}, TickRowCase{0.0, 5.0, 1.0},
                                           TickRowCase{-1.0, 5.0, 1.0}, TickRowCase{NaN, 1.0, 1.0},
                                           TickRowCase{Inf, 2.0, 2.0}, TickRowCase{1e-300, 0.0, 7.0}),
                         [](const auto& i) {
                             return row_name("ltp", i.param.ltp, "buy", i.param.buy, "sell", i.param.sell);
                         });

// ---------------------------------------------------------------------------
// A group's volume joins a bar's in one step only where that sum is exact

struct GroupJoinCase {
    const char* label;
    std::vector<double> before, group;  // volumes, one record each
    bool joins;
};
class AggregateGroupJoin : public ::testing::TestWithParam<GroupJoinCase> {};

// The group of records with these volumes, each at price 1.
GroupBar group_of(const std::vector<double>& volumes) {
    const std::vector<std::int64_t> ts(volumes.size(), 0);
    const std::vector<double> price(volumes.size(), 1.0);
    GroupBar g;
    GroupBar::of(BarRows(BarColumns{ts, price, price, price, price, volumes}), 0, volumes.size(), &g);
    return g;
}

TEST_P(AggregateGroupJoin, OneStepOnlyWhereExact) {
    const GroupJoinCase& c = GetParam();
    GroupBar bar = group_of(c.before);
    const GroupBar group = group_of(c.group);
    ASSERT_EQ(bar.join(group), c.joins);
    if (!c.joins) return;
    // Joined in one step, the volume is the record-by-record sum.
    double want = c.before.empty() ? c.group[0] : c.before[0];
    bool first = true;
    for (const auto* v : {&c.before, &c.group}) {
        for (double x : *v) {
            if (!first) want += x;
            first = false;
        }
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(bar.bar.take(0)->volume), std::bit_cast<std::uint64_t>(want));
}

INSTANTIATE_TEST_SUITE_P(
    Aggregate, AggregateGroupJoin,
    ::testing::Values(GroupJoinCase{"whole_numbers", {3.0, -2.0}, {40.0, 7.0}, true},
                      GroupJoinCase{"all_negative_zero_stays_negative", {-0.0, -0.0}, {-0.0}, true},
                      GroupJoinCase{"cancelling_to_positive_zero", {5.0}, {-5.0, -0.0}, true},
                      GroupJoinCase{"largest_whole_number", {2147483648.0}, {2147483648.0}, true},
                      GroupJoinCase{"past_the_largest", {1.0}, {2147483649.0}, false},
                      GroupJoinCase{"fraction_in_the_group", {1.0}, {2.5}, false},
                      GroupJoinCase{"fraction_before", {2.5}, {1.0}, false},
                      GroupJoinCase{"nan_in_the_group", {1.0}, {NaN}, false},
                      GroupJoinCase{"empty_bar_takes_any_group", {}, {2.5, 0.1}, true}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Renko bricks are counted before any is made

// Rows of `bytes_per_row` bytes each (after a first row of none) whose total passes twice
// the memory the process can get: past it still when others free memory meanwhile.
std::size_t past_headroom_rows(std::uint64_t bytes_per_row) {
    return static_cast<std::size_t>(base::memory_headroom() / bytes_per_row * 2 + 2);
}

struct BrickCountCase {
    const char* name;
    bool ticks;  // bars_from_ticks, else aggregate_bars
    RowSplit split;
};
class RenkoCountedFirst : public ::testing::TestWithParam<BrickCountCase> {};

TEST_P(RenkoCountedFirst, ACountPastWhatTheProcessCanGetIsRefusedBeforeAnyBrick) {
    // Closes alternate between 100 and 200 with bricks of a thousandth: every row after
    // the first moves about 100,000 bricks, of which 10,000 are formed, 48 bytes each (a
    // stamp and five prices). Enough rows that their bricks pass what the process can get.
    constexpr std::uint64_t kBytesPerRow = 10'000 * 48;
    const std::size_t rows = past_headroom_rows(kBytesPerRow);
    std::vector<std::int64_t> ts(rows);
    std::vector<double> close(rows), one(rows, 1.0);
    for (std::size_t i = 0; i < rows; ++i) {
        ts[i] = static_cast<std::int64_t>(i);
        close[i] = i % 2 == 0 ? 100.0 : 200.0;
    }
    const BrickCountCase& c = GetParam();
    const BuilderSpec spec{1, "renko", 0, 0.001};
    const std::uint64_t bricks = (rows - 1) * 10'000;
    const std::string want = "cannot allocate " + std::to_string(bricks * 48) + " bytes for the bars (" +
                             std::to_string(bricks) + " renko bricks)";
    try {
        if (c.ticks) {
            (void)bars_from_ticks(TickRows{ts, close, one, one}, spec, c.split);
        } else {
            (void)aggregate_bars(BarColumns{ts, close, close, close, close, one}, spec, c.split);
        }
        ADD_FAILURE() << "accepted " << bricks << " bricks";
    } catch (const base::OutOfMemory& e) {
        EXPECT_EQ(std::string(e.what()), want);
    }
}

TEST(RenkoCountedFirst, MovesPastTheCapGiveTheReferenceBricksInEveryPart) {
    // Jumps of more than 10,000 bricks up and down between ordinary moves, a row with no
    // price and a NaN close: counted, then formed block by block from where each move
    // started, the bricks are those of one builder over all rows.
    const std::vector<double> closes = {100.4, 103.2, 101.9, 25'000.5, 25'003.0, NaN, 0.75,   3.5,
                                        -12'000.0, -11'990.2, 0.0, 1e9, 1e9 - 3.0, 17.0, 17.9, 19.0};
    Stream s;
    for (std::size_t i = 0; i < closes.size(); ++i) {
        s.ts.push_back(static_cast<std::int64_t>(i) * kSec);
        for (auto* column : {&s.open, &s.high, &s.low, &s.close}) column->push_back(closes[i]);
        s.volume.push_back(static_cast<double>(i + 1));
        s.ltp.push_back(i == 3 ? 0.0 : closes[i]);
        s.buy.push_back(2.0);
        s.sell.push_back(1.0);
    }
    const Reference ref{"renko", 1, 0, 1.0};
    const std::vector<Bits> want_bars = ref.run(s.bar_records());
    const std::vector<Bits> want_ticks = ref.run(s.tick_records());
    ASSERT_GT(want_bars.size(), 60'000u);  // six moves past the cap and some ordinary ones
    for (const RowSplit& split : kSplits) {
        const BuilderSpec spec{1, "renko", 0, 1.0};
        EXPECT_EQ(bits(aggregate_bars(s.bars(), spec, split).value()), want_bars) << describe(split);
        EXPECT_EQ(bits(bars_from_ticks(s.ticks(), spec, split).value()), want_ticks) << describe(split);
    }
}

TEST(RenkoCountedFirst, BrickColumnsAreAllocatedUnwritten) {
    // 192 MB of columns: the bricks write them, nothing before.
    const std::size_t before = testing_support::resident_bytes();
    const OhlcvColumns columns = brick_columns(4'000'000);
    const std::size_t after = testing_support::resident_bytes();
    EXPECT_EQ(columns.size(), 4'000'000u);
    EXPECT_LT(after, before + (std::size_t{16} << 20));
}

// Bricks that are not whole multiples of a power of two, so that their closes round as
// they are added one to another, in moves of up to 10,000 that pass through binades,
// through zero and past the largest whole numbers a double holds: counted without being
// formed, each move leaves the anchor where the bricks' closes take it, and the bricks
// formed from there are the reference's.
struct BrickWalkCase {
    const char* name;
    double brick;
    std::vector<double> closes;
};
class RenkoWalks : public ::testing::TestWithParam<BrickWalkCase> {};

TEST_P(RenkoWalks, CountedMovesLandWhereTheBricksDo) {
    const BrickWalkCase& c = GetParam();
    Stream s;
    for (std::size_t i = 0; i < c.closes.size(); ++i) {
        s.ts.push_back(static_cast<std::int64_t>(i) * kSec);
        for (auto* column : {&s.open, &s.high, &s.low, &s.close}) column->push_back(c.closes[i]);
        s.volume.push_back(static_cast<double>(i + 1));
    }
    const std::vector<Bits> want = Reference{"renko", 1, 0, c.brick}.run(s.bar_records());
    ASSERT_GT(want.size(), 5'000u);
    for (const RowSplit& split : kSplits) {
        EXPECT_EQ(bits(aggregate_bars(s.bars(), {1, "renko", 0, c.brick}, split).value()), want) << describe(split);
    }
}

constexpr double kTwo53 = 9007199254740992.0;

INSTANTIATE_TEST_SUITE_P(
    Aggregate, RenkoWalks,
    ::testing::Values(
        BrickWalkCase{"hundredths", 0.01, {100.004, 150.0, 99.97, 180.5, 100.2, 199.9, 120.0, 100.004}},
        BrickWalkCase{"tenths through zero", 0.1, {512.3, -300.05, 700.0, -0.07, 400.0, -512.3}},
        BrickWalkCase{"thirds", 1.0 / 3.0, {0.5, 2000.0, -1000.0, 1500.2, 1499.0}},
        BrickWalkCase{"thousandths across binades", 0.001, {0.0005, 9.9, 0.0005, 3.2, 8.1, 0.001}},
        BrickWalkCase{"sevenths of large prices", 1.0 / 7.0, {1e6, 1e6 + 1000.0, 1e6 - 428.0, 1e6 + 3.5}},
        BrickWalkCase{"threes past the whole numbers", 3.0, {kTwo53, kTwo53 + 30'000.0, kTwo53 - 29'000.0, kTwo53}}),
    [](const auto& info) { return testing_support::test_name(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Aggregate, RenkoCountedFirst,
                         ::testing::Values(BrickCountCase{"bars_in_one_part", false, RowSplit{1, 1, 16384}},
                                           BrickCountCase{"bars_fed_by_the_pool", false, RowSplit{8, 1, 4096}},
                                           BrickCountCase{"ticks_in_one_part", true, RowSplit{1, 1, 16384}},
                                           BrickCountCase{"ticks_fed_by_the_pool", true, RowSplit{8, 1, 4096}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Cutting rows into parts

TEST(AggregateSplit, MorePartsThanRowsAndEmptyInput) {
    const Stream s = random_stream(7, 5, kSec);
    const Reference ref{"s", 1, 0, 0.0};
    for (std::size_t parts : {1u, 5u, 6u, 100u}) {
        EXPECT_EQ(bits(aggregate_bars(s.bars(), {1, "s", 0, 0.0}, RowSplit{parts, 1}).value()), ref.run(s.bar_records()));
    }
    const Stream none = random_stream(7, 0, kSec);
    EXPECT_EQ(aggregate_bars(none.bars(), {1, "tick", 0, 0.0}, RowSplit{8, 1}).value().size(), 0u);
}

TEST(AggregateSplit, WholeNumbersAfterAFractionAddOneByOne) {
    // 0.1, then a group of 64 whole volumes -2^31, +2^31, 0, ...: one by one the sum comes
    // back as 0.0999999046..., not 0.1, and the volume 0.90000001 after it then stays
    // below 1 where 0.1 + 0.90000001 would reach it.
    constexpr std::size_t n = 300;
    std::vector<std::int64_t> ts(n);
    std::vector<double> price(n, 10.0), volume(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) ts[i] = static_cast<std::int64_t>(i);
    volume[0] = 0.1;
    volume[64] = -2147483648.0;
    volume[65] = 2147483648.0;
    volume[128] = 0.90000001;
    volume[200] = 0.5;
    const BarColumns bars{ts, price, price, price, price, volume};
    const Stream stream{ts, price, price, price, price, volume, {}, {}, {}};
    for (const char* unit : {"volume", "volume_runs"}) {
        const std::vector<Bits> want = Reference{unit, 1, 0, 0.0}.run(stream.bar_records());
        ASSERT_EQ(want.size(), 2u) << unit;  // the bar ends at row 200, not 128
        EXPECT_EQ(want[0][0], 200u);
        for (const RowSplit& split : kSplits) {
            EXPECT_EQ(bits(aggregate_bars(bars, {1, unit, 0, 0.0}, split).value()), want) << unit << ", " << describe(split);
        }
    }
}

TEST(AggregateSplit, PartsOfAtLeastTheLeastRows) {
    EXPECT_EQ((RowSplit{8, 100}.parts_for(99)), 1u);
    EXPECT_EQ((RowSplit{8, 100}.parts_for(350)), 3u);
    EXPECT_EQ((RowSplit{8, 100}.parts_for(100'000)), 8u);
    EXPECT_EQ((RowSplit{8, 0}.parts_for(5)), 5u);
}

TEST(AggregateSplit, ABarLongerThanAPartStaysWhole) {
    // 1,000 rows in one minute, then one row a minute later: with 16 parts every part but
    // the last starts inside the first bar.
    std::vector<std::int64_t> ts(1001);
    for (std::size_t i = 0; i < 1000; ++i) ts[i] = static_cast<std::int64_t>(i) * 1'000'000;
    ts[1000] = 60 * kSec;
    std::vector<double> price(1001), one(1001, 1.0);
    for (std::size_t i = 0; i < price.size(); ++i) price[i] = static_cast<double>(i % 97);
    for (const char* unit : {"m", "tick"}) {
        const std::uint32_t step = std::string(unit) == "m" ? 1 : 1000;
        auto got = aggregate_bars({ts, price, price, price, price, one}, {step, unit, 0, 0.0}, RowSplit{16, 1});
        ASSERT_TRUE(got.ok());
        const OhlcvColumns& c = got.value();
        ASSERT_EQ(c.size(), 2u) << unit;
        EXPECT_EQ(c.open[0], 0.0);
        EXPECT_EQ(c.high[0], 96.0);
        EXPECT_EQ(c.close[0], static_cast<double>(999 % 97));
        EXPECT_EQ(c.volume[0], 1000.0);
        EXPECT_EQ(c.volume[1], 1.0);
    }
}

}  // namespace
