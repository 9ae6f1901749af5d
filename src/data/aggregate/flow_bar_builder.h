// Order-flow bars: each record's size is signed as buying or selling (by its signed size,
// or by the tick rule when that is unknown) and summed per side; an imbalance bar closes
// when |buy - sell| reaches the threshold, a runs bar when either side alone does.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "data/aggregate/bar_builder.h"
#include "data/aggregate/source_rows.h"

namespace tarnwick::data::aggregate {

enum class FlowMagnitude : std::uint8_t { Tick, Volume, Value };
enum class FlowRule : std::uint8_t { Imbalance, Runs };

// The tick rule's memory: the previous close and the side the rule gave last. Before
// the first record the close is -inf, above which every price but -inf and NaN ticks
// up, and those two repeat the side, which starts as buying: the first record always
// buys.
struct TickRule {
    double prev_close = -std::numeric_limits<double>::infinity();
    bool prev_buy = true;

    // Whether a record buys: when its signed size is positive; not when it is negative or
    // NaN; and when it is zero (unknown) by the tick rule: an uptick buys, a downtick
    // sells, an unchanged or incomparable price repeats the rule's previous side.
    // Direction changes at random in real flow, so the side is worked out without
    // branches.
    bool buys(double close, double signed_size) noexcept {
        const bool up = close > prev_close;
        const bool down = close < prev_close;
        const bool tick_buy = up | (!down & prev_buy);
        const bool by_tick = signed_size == 0.0;
        prev_buy = (by_tick & tick_buy) | (!by_tick & prev_buy);
        prev_close = close;
        return (signed_size > 0.0) | (by_tick & tick_buy);
    }
};

// The side of a row's record, as a scan reads it; kEither: not known from the row's own
// block (see BlockSides).
enum FlowSide : std::uint8_t { kNoRecord = 0, kBuys = 1, kSells = 2, kEither = kBuys | kSells };

// a when c, else b, without a branch.
inline unsigned pick(bool c, unsigned a, unsigned b) noexcept { return b ^ ((a ^ b) & (0u - static_cast<unsigned>(c))); }

// The records of a block of rows, sided from the block's rows alone. Only records that
// follow the tick rule, from the block's first record up to the first that ticks up or
// down, depend on the rule's memory from before the block: the first record, when it
// follows the rule, is compared with the close before the block, and those after it that
// repeat the rule's side repeat a side from before the block. They are marked kEither.
struct BlockSides {
    std::size_t head = 0;                // marked records lie in the block's rows [0, head)
    std::optional<double> first_close;   // the first record's close, when it follows the rule
    std::optional<bool> settled;         // the side the rule last gave within the block
    std::optional<double> last_close;    // the block's last record's close

    // put(row, side, fields) for every row in [begin, end), in order, with the row's
    // FlowFields. The loop keeps to selects: sides change at random in real flow.
    template <class Rows, class Put>
    static BlockSides of(const Rows& source, std::size_t begin, std::size_t end, Put&& put_side) {
        // Local copies, and the results in locals until the end: put stores through a
        // pointer the compiler must assume may point at anything not local.
        const Rows rows = source;
        auto put = put_side;
        BlockSides out;
        // Records with a known side need no memory of the rule, and in flow with signed
        // sizes they are most or all of a block: up to the first record that follows the
        // rule, a simpler loop does.
        std::size_t i = begin;
        bool seen = false;  // a record before row i
        double prev_close = 0.0;
        for (; i < end; ++i) {
            const FlowFields row = rows.flow(i);
            if (row.present & (row.signed_size == 0.0)) break;
            put(i, static_cast<FlowSide>(pick(row.present, 2u - static_cast<unsigned>(row.signed_size > 0.0), kNoRecord)), row);
            prev_close = row.present ? row.close : prev_close;
            seen |= row.present;
        }
        if (seen) out.last_close = prev_close;
        if (i == end) return out;
        std::size_t head = 0;
        if (!seen) {
            // The block's first record follows the rule: it compares with the close before the block.
            const FlowFields row = rows.flow(i);
            put(i, kEither, row);
            out.first_close = row.close;
            head = i - begin + 1;
            prev_close = row.close;
            ++i;
        }
        unsigned rule = kNoRecord;  // the side the rule last gave within the block, kNoRecord for none yet
        for (; i < end; ++i) {
            const FlowFields row = rows.flow(i);
            const bool by_tick = row.present & (row.signed_size == 0.0);
            // kBuys on an uptick, kSells on a downtick, kNoRecord when unchanged or incomparable.
            const unsigned move = static_cast<unsigned>(row.close > prev_close) | (static_cast<unsigned>(row.close < prev_close) << 1);
            rule = pick(by_tick & (move != 0), move, rule);
            const unsigned by_size = 2u - static_cast<unsigned>(row.signed_size > 0.0);
            const unsigned side = pick(row.present, pick(by_tick, pick(rule != kNoRecord, rule, kEither), by_size), kNoRecord);
            put(i, static_cast<FlowSide>(side), row);
            head = side == kEither ? i - begin + 1 : head;
            prev_close = row.present ? row.close : prev_close;
        }
        out.head = head;
        out.last_close = prev_close;
        if (rule != kNoRecord) out.settled = rule == kBuys;
        return out;
    }
};

// The side bytes of a group of rows summed up: its buying and its selling records, and
// the highest and lowest running count of buys minus sells after each of its rows.
struct SideGroup {
    static constexpr std::size_t kRows = 64;

    std::int16_t buys = 0;
    std::int16_t sells = 0;
    std::int16_t high = 0;
    std::int16_t low = 0;

    // The groups of rows [from, to) of sides (from a multiple of kRows) into groups[].
    static void count(const std::uint8_t* sides, std::size_t from, std::size_t to, SideGroup* groups) noexcept {
        for (std::size_t g = from / kRows; g * kRows < to; ++g) {
            int buys = 0;
            int sells = 0;
            int high = std::numeric_limits<int>::min();
            int low = std::numeric_limits<int>::max();
            for (std::size_t r = g * kRows; r < std::min(to, (g + 1) * kRows); ++r) {
                buys += sides[r] & kBuys;
                sells += sides[r] >> 1;
                high = std::max(high, buys - sells);
                low = std::min(low, buys - sells);
            }
            groups[g] = {static_cast<std::int16_t>(buys), static_cast<std::int16_t>(sells),
                         static_cast<std::int16_t>(high), static_cast<std::int16_t>(low)};
        }
    }
};

class FlowBarBuilder final : public CountingBarBuilder<FlowBarBuilder> {
public:
    FlowBarBuilder(FlowMagnitude magnitude, FlowRule rule, double threshold)
        : magnitude_(magnitude), rule_(rule), threshold_(threshold) {}

    FlowMagnitude magnitude() const noexcept { return magnitude_; }
    const TickRule& tick_rule() const noexcept { return rule_memory_; }

    // Ends the bar in progress stamped with the latest record; the tick-rule memory stays.
    template <class Bar>
    auto flush_as(Bar& bar) -> decltype(bar.take(std::int64_t{})) {
        buy_ = 0.0;
        sell_ = 0.0;
        return bar.take(last_ts_);
    }

    // Each record's size is added to its side and +0 to the other (which changes no
    // comparison below). The bar in progress is kept in `bar`.
    template <class Bar, class Rows, class Emit>
    void feed_as(Bar& bar, const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        using M = FlowMagnitude;
        switch (magnitude_) {
            case M::Tick: return by_rule<M::Tick>(bar, rows, begin, end, emit);
            case M::Volume: return by_rule<M::Volume>(bar, rows, begin, end, emit);
            case M::Value: return by_rule<M::Value>(bar, rows, begin, end, emit);
        }
    }

    // The sides of the records of rows [begin, end), from those rows alone (so blocks of
    // rows can be worked out apart, on the pool), into sides[0 ..], and for sized flow
    // each record's size into sizes[0 ..]. A record whose side depends on the rule's
    // memory from before the rows is marked kEither until settle() settles it.
    template <class Rows>
    static BlockSides write_sides(const Rows& rows, std::size_t begin, std::size_t end, std::uint8_t* sides,
                                  SideGroup* groups) {
        const BlockSides block = BlockSides::of(
            rows, begin, end, [sides, begin](std::size_t i, FlowSide side, const FlowFields&) { sides[i - begin] = side; });
        SideGroup::count(sides, 0, end - begin, groups);
        return block;
    }
    template <class Rows>
    BlockSides write_sizes(const Rows& rows, std::size_t begin, std::size_t end, double* sizes,
                           std::uint8_t* sides) const {
        if (magnitude_ == FlowMagnitude::Value) return sizes_of<true>(rows, begin, end, sizes, sides);
        return sizes_of<false>(rows, begin, end, sizes, sides);
    }

    // Settles the records marked kEither in a block written as above, which follows every
    // record this builder has seen, and takes the block's records into the rule's memory;
    // for counted flow, the groups the settled rows lie in are counted again.
    void settle(const BlockSides& block, std::uint8_t* sides) noexcept {
        const FlowSide side = settle_head(block);
        for (std::size_t r = 0; r < block.head; ++r) {
            if (sides[r] == kEither) sides[r] = side;
        }
        settle_tail(block);
    }
    void settle(const BlockSides& block, std::uint8_t* sides, std::size_t rows, SideGroup* groups) noexcept {
        settle(block, sides);
        SideGroup::count(sides, 0, std::min(rows, (block.head + SideGroup::kRows - 1) / SideGroup::kRows * SideGroup::kRows), groups);
    }

    // Scans rows [begin, end) from their side bytes (counted flow) or from what they add to
    // each side (sized flow), handing on_end(row) every row that closes a bar. The sums
    // go on across calls.
    template <class OnEnd>
    void scan_sides(const std::uint8_t* sides, const SideGroup* groups, std::size_t begin, std::size_t end,
                    OnEnd&& on_end) {
        if (rule_ == FlowRule::Imbalance) return count<FlowRule::Imbalance>(sides, groups, begin, end, on_end);
        return count<FlowRule::Runs>(sides, groups, begin, end, on_end);
    }
    template <class OnEnd>
    void scan_sizes(const double* sizes, const std::uint8_t* sides, std::size_t begin, std::size_t end,
                    OnEnd&& on_end) {
        if (rule_ == FlowRule::Imbalance) return sum<FlowRule::Imbalance>(sizes, sides, begin, end, on_end);
        return sum<FlowRule::Runs>(sizes, sides, begin, end, on_end);
    }

private:
    template <FlowMagnitude M, class Bar, class Rows, class Emit>
    void by_rule(Bar& bar, const Rows& rows, std::size_t begin, std::size_t end, Emit& emit) {
        switch (rule_) {
            case FlowRule::Imbalance: return run<M, FlowRule::Imbalance>(bar, rows, begin, end, emit);
            case FlowRule::Runs: return run<M, FlowRule::Runs>(bar, rows, begin, end, emit);
        }
    }

    // feed_as for one magnitude and rule.
    template <FlowMagnitude M, FlowRule R, class Bar, class Rows, class Emit>
    void run(Bar& bar_in_progress, const Rows& rows, std::size_t begin, std::size_t end, Emit& emit) {
        // Locals, not members, so that the loop keeps them in registers.
        Bar bar = bar_in_progress;
        const double threshold = threshold_;
        TickRule rule = rule_memory_;
        double buy = buy_;
        double sell = sell_;
        for (std::size_t i = begin; i < end; ++i) {
            if (!rows.present(i)) continue;
            const bool buying = rule.buys(rows.close(i), rows.signed_size(i));
            const double size = size_of<M>(rows, i);
            buy += only_if(buying, size);
            sell += only_if(!buying, size);
            bar.absorb(rows, i);
            if (!complete<R>(buy, sell, threshold)) continue;
            buy = 0.0;
            sell = 0.0;
            if (auto done = bar.take(rows.timestamp(i))) emit(*done);
        }
        bar_in_progress = bar;
        rule_memory_ = rule;
        if (const std::optional<std::size_t> last = last_present(rows, begin, end)) last_ts_ = rows.timestamp(*last);
        buy_ = buy;
        sell_ = sell;
    }

    template <bool kValue, class Rows>
    static BlockSides sizes_of(const Rows& rows, std::size_t begin, std::size_t end, double* sizes, std::uint8_t* sides) {
        return BlockSides::of(rows, begin, end, [sizes, sides, begin](std::size_t i, FlowSide side, const FlowFields& row) {
            sizes[i - begin] = kValue ? row.volume * row.close : row.volume;
            sides[i - begin] = side;
        });
    }

    // The side the rule gives a block's marked records, its memory taking in the block's
    // first record when that one follows the rule.
    FlowSide settle_head(const BlockSides& block) noexcept {
        if (block.first_close) rule_memory_.buys(*block.first_close, 0.0);
        return rule_memory_.prev_buy ? kBuys : kSells;
    }
    void settle_tail(const BlockSides& block) noexcept {
        if (block.settled) rule_memory_.prev_buy = *block.settled;
        if (block.last_close) rule_memory_.prev_close = *block.last_close;
    }

    // Sized flow: each record's size goes to its own side and +0 to the other (a row
    // without a record: to neither), as in run.
    template <FlowRule R, class OnEnd>
    void sum(const double* sizes, const std::uint8_t* sides, std::size_t begin, std::size_t end, OnEnd& on_end) {
        // Both sums in the lanes of one register, so that a row takes one addition
        // (each lane the same addition as on its own) and its side picks the lanes that
        // get the size from a table rather than from masks worked out per lane.
        const double threshold = threshold_;
        SidePair flow = {buy_, sell_};
        for (std::size_t r = 0; r < end - begin; ++r) {
            const double size = sizes[r];
            flow += reinterpret_cast<SidePair>(reinterpret_cast<SideMask>(SidePair{size, size}) & kSideLanes[sides[r] & kEither]);
            if (!complete<R>(flow[0], flow[1], threshold)) continue;
            flow = SidePair{0.0, 0.0};
            on_end(begin + r);
        }
        buy_ = flow[0];
        sell_ = flow[1];
    }

    // Counted flow in integers: each side holds a count of records (below 2^53, so its
    // double is exact), and a whole number reaches the threshold exactly when it reaches
    // the threshold's ceiling. A group of rows whose counts show that no running count
    // within it reaches the threshold is taken whole.
    template <FlowRule R, class OnEnd>
    void count(const std::uint8_t* sides, const SideGroup* groups, std::size_t begin, std::size_t end, OnEnd& on_end) {
        const auto need = static_cast<std::int64_t>(std::ceil(threshold_));
        auto buy = static_cast<std::int64_t>(buy_);
        auto sell = static_cast<std::int64_t>(sell_);
        const std::size_t n = end - begin;
        for (std::size_t from = 0, g = 0; from < n; from += SideGroup::kRows, ++g) {
            const SideGroup& group = groups[g];
            bool quiet = false;
            if constexpr (R == FlowRule::Imbalance) {
                quiet = (buy - sell + group.high < need) & (sell - buy - group.low < need);
            } else {
                quiet = (buy + group.buys < need) & (sell + group.sells < need);
            }
            if (quiet) {
                buy += group.buys;
                sell += group.sells;
                continue;
            }
            for (std::size_t r = from; r < std::min(n, from + SideGroup::kRows); ++r) {
                buy += sides[r] & kBuys;
                sell += sides[r] >> 1;
                bool done = false;
                if constexpr (R == FlowRule::Imbalance) done = (buy - sell >= need) | (sell - buy >= need);
                if constexpr (R == FlowRule::Runs) done = (buy >= need) | (sell >= need);
                if (!done) continue;
                buy = 0;
                sell = 0;
                on_end(begin + r);
            }
        }
        buy_ = static_cast<double>(buy);
        sell_ = static_cast<double>(sell);
    }

    // What a record adds to its side.
    template <FlowMagnitude M, class Rows>
    static double size_of(const Rows& rows, std::size_t i) noexcept {
        if constexpr (M == FlowMagnitude::Volume) return rows.volume(i);
        if constexpr (M == FlowMagnitude::Value) return rows.volume(i) * rows.close(i);
        return 1.0;
    }

    // Whether the sides' sums close a bar: for imbalance |buy - sell| >= threshold, for
    // runs max(buy, sell) >= threshold with a NaN side ignored.
    template <FlowRule R>
    static bool complete(double buy, double sell, double threshold) noexcept {
        if constexpr (R == FlowRule::Imbalance) return std::fabs(buy - sell) >= threshold;
        return (buy >= threshold) | (sell >= threshold);
    }

    // The sums of both sides, buying in lane 0 and selling in lane 1, and the lanes a
    // side byte adds a record's size to (all ones) or +0 to.
    using SidePair = double __attribute__((vector_size(16)));
    using SideMask = std::int64_t __attribute__((vector_size(16)));
    static constexpr SideMask kSideLanes[4] = {{0, 0}, {-1, 0}, {0, -1}, {-1, -1}};

    // x when `keep`, else +0, without a branch.
    static double only_if(bool keep, double x) noexcept {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & (std::uint64_t{0} - keep));
    }

    FlowMagnitude magnitude_;
    FlowRule rule_;
    double threshold_;
    TickRule rule_memory_;
    std::int64_t last_ts_ = 0;
    double buy_ = 0.0;
    double sell_ = 0.0;
};

}  // namespace tarnwick::data::aggregate
