// Whole-array aggregation over the worker pool, with bars identical to one run of one
// builder over all rows whatever the number of parts:
// - Bars of clock windows and of tick counts open at rows that can be found without
//   running a builder over the rows before them: the rows are cut there into parts, each
//   part is fed to its own copy of the fresh builder and flushed, and the parts' bars are
//   laid end to end.
// - Where a bar ends depends on every row before it for volume, value and order-flow
//   bars, and so does every Renko brick: one pass on the calling thread goes through the
//   rows block by block (scan_ahead.h), reading only what the rule needs from compact
//   per-row inputs that the pool works out from the input alone a few blocks ahead (a
//   row's amount, its order-flow side, its close); the pool folds the bars' contents
//   from their rows as each block is scanned. The Renko pass only counts the bricks and
//   notes the rows that move the anchor; the pool then forms the bricks in place.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "base/block_cache.h"
#include "base/fault.h"
#include "base/pool.h"
#include "base/result.h"
#include "data/aggregate/bar_aggregation.h"
#include "data/aggregate/scan_ahead.h"

namespace tarnwick::data::aggregate::split {

// Where part k of rows 0 .. n - 1 cut into `parts` even chunks begins, before it is
// moved to a bar's first row.
inline std::size_t chunk_begin(std::size_t k, std::size_t parts, std::size_t n) noexcept {
    return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * k / parts);
}

// The first row at or after `from` that opens a bar of clock windows, or n: the first
// present row outside the window of the last present row before `from`. (Rows that carry
// no record may go to either side of a cut.)
template <class Builder, class Rows>
std::size_t window_opening(const Builder& builder, const Rows& rows, std::size_t n, std::size_t from) {
    std::optional<ClockWindow> window;
    for (std::size_t i = from; i-- > 0;) {
        if (rows.present(i)) {
            window = builder.window_of(rows.timestamp(i));
            break;
        }
    }
    if (!window) return from;
    for (std::size_t i = from; i < n; ++i) {
        if (rows.present(i) && !window->holds(rows.timestamp(i))) return i;
    }
    return n;
}

// Rows that carry a record in [begin, end).
template <class Rows>
std::size_t present_rows(const Rows& rows, std::size_t begin, std::size_t end) {
    std::size_t count = 0;
    for (std::size_t i = begin; i < end; ++i) count += rows.present(i) ? 1 : 0;
    return count;
}

// Runs fn(k) for k in [0, parts) on the pool.
template <class Fn>
void each_part(std::size_t parts, Fn&& fn) {
    auto done = base::pool::parallel_map<base::Unit, base::OwnError>(
        parts, [&](std::size_t k) -> base::Result<base::Unit, base::OwnError> {
            fn(k);
            return base::Unit{};
        });
    if (!done.ok()) base::fault("a part of a split aggregation failed");
}

// First rows of the parts of a tick-count split: bars open at the records numbered 0,
// step, 2 step, ... among the present rows.
template <class Rows>
std::vector<std::size_t> tick_openings(std::uint64_t step, const Rows& rows, std::size_t n, std::size_t parts) {
    std::vector<std::size_t> counts(parts);
    each_part(parts, [&](std::size_t k) {
        counts[k] = present_rows(rows, chunk_begin(k, parts, n), chunk_begin(k + 1, parts, n));
    });
    std::vector<std::size_t> before(parts + 1, 0);  // present rows before chunk k
    for (std::size_t k = 0; k < parts; ++k) before[k + 1] = before[k] + counts[k];
    std::vector<std::size_t> starts(parts + 1, n);
    each_part(parts, [&](std::size_t k) {
        if (k == 0) {
            starts[0] = 0;
            return;
        }
        // The record numbered `target` opens the first bar at or after chunk k.
        const std::uint64_t target = (before[k] + step - 1) / step * step;
        if (target >= before[parts]) return;
        std::size_t c = k;
        while (before[c + 1] <= target) ++c;
        std::size_t seen = before[c];
        for (std::size_t i = chunk_begin(c, parts, n);; ++i) {
            if (!rows.present(i)) continue;
            if (seen++ == target) {
                starts[k] = i;
                return;
            }
        }
    });
    return starts;
}

// First rows of the parts (one more entry than parts, the last n, never decreasing),
// or none when this builder's bars cannot be cut apart.
template <class Builder, class Rows>
std::optional<std::vector<std::size_t>> part_starts(const Builder& builder, const Rows& rows, std::size_t n,
                                                    std::size_t parts) {
    if constexpr (std::is_same_v<Builder, TimeBarBuilder> || std::is_same_v<Builder, CalendarBarBuilder>) {
        std::vector<std::size_t> starts(parts + 1, n);
        each_part(parts, [&](std::size_t k) {
            starts[k] = window_opening(builder, rows, n, chunk_begin(k, parts, n));
        });
        return starts;
    } else if constexpr (std::is_same_v<Builder, CountBarBuilder>) {
        if (builder.threshold().kind != CountThreshold::Kind::Tick) return std::nullopt;
        return tick_openings(builder.threshold().ticks, rows, n, parts);
    } else {
        return std::nullopt;
    }
}

// The parts' bars laid end to end, each part copying its own on the pool.
inline OhlcvColumns concatenate(std::vector<OhlcvColumns>&& pieces) {
    if (pieces.empty()) return {};
    if (pieces.size() == 1) return std::move(pieces[0]);
    std::vector<std::size_t> at(pieces.size() + 1, 0);
    for (std::size_t k = 0; k < pieces.size(); ++k) at[k + 1] = at[k] + pieces[k].size();
    OhlcvColumns out;
    const std::size_t total = at.back();
    out.timestamps.resize(total);
    for (auto* column : {&out.open, &out.high, &out.low, &out.close, &out.volume}) column->resize(total);
    each_part(pieces.size(), [&](std::size_t k) {
        const OhlcvColumns& p = pieces[k];
        const std::size_t m = p.size();
        if (m == 0) return;
        std::memcpy(out.timestamps.data() + at[k], p.timestamps.data(), m * sizeof(std::int64_t));
        std::memcpy(out.open.data() + at[k], p.open.data(), m * sizeof(double));
        std::memcpy(out.high.data() + at[k], p.high.data(), m * sizeof(double));
        std::memcpy(out.low.data() + at[k], p.low.data(), m * sizeof(double));
        std::memcpy(out.close.data() + at[k], p.close.data(), m * sizeof(double));
        std::memcpy(out.volume.data() + at[k], p.volume.data(), m * sizeof(double));
    });
    return out;
}

// Where bars end, found block by block by a scan, and the bars themselves, folded from
// their rows on the pool as soon as the block they end in is scanned.
template <class Rows>
class BarEnds {
public:
    // With `grouped`, the bars of groups of rows are made before each block is scanned.
    BarEnds(const Rows& rows, const fed_scan::Blocks& blocks, bool grouped)
        : rows_(rows),
          blocks_(blocks),
          per_block_(grouped ? (blocks.rows - 1) / GroupBar::kRows + 1 : 0),
          groups_(base::CachedAllocator<GroupBar>().allocate(blocks.count() * per_block_),
                  Release{blocks.count() * per_block_}),
          ends_(blocks.count()),
          first_(blocks.count()),
          pieces_(blocks.count()) {}

    // On the pool, before block b is scanned: the bars of its groups of rows, so that
    // the bars are folded from those rather than row by row where they can be. Worth it
    // where the scan, not the pool, sets the pace: the pool reads the rows once, the
    // bars' folds only their ends.
    void summarize(std::size_t b) noexcept {
        if (per_block_ > 0) GroupBar::of(rows_, blocks_.begin(b), blocks_.end(b), groups_.get() + b * per_block_);
    }

    // The scan: block b begins; a bar ends at `row` of block b.
    void begin_block(std::size_t b) noexcept { first_[b] = next_first_; }
    void end_at(std::size_t b, std::size_t row) {
        ends_[b].push_back(row);
        next_first_ = row + 1;
    }

    // The bars that end in block b, and after the last block the bar still in progress.
    void fold(std::size_t b) {
        std::size_t first = first_[b];
        for (std::size_t last : ends_[b]) {
            pieces_[b].append(fold(first, last));
            first = last + 1;
        }
        if (b + 1 < blocks_.count()) return;
        if (const std::optional<std::size_t> last = last_present(rows_, first, blocks_.n)) {
            pieces_[b].append(fold(first, *last));
        }
    }

    OhlcvColumns take() { return concatenate(std::move(pieces_)); }

private:
    // The bar of rows [first, last], `last` carrying a record: whole groups in one step
    // where that is exact, the rest row by row.
    domain::OhlcvBar fold(std::size_t first, std::size_t last) const {
        if (per_block_ == 0 || last - first >= GroupBar::kMostRows) {
            PartialBar bar;
            for (std::size_t i = first; i <= last; ++i) {
                if (rows_.present(i)) bar.absorb(rows_, i);
            }
            return *bar.take(rows_.timestamp(last));
        }
        GroupBar bar;
        for (std::size_t i = first; i <= last;) {
            const std::size_t b = i / blocks_.rows;
            const std::size_t k = (i - blocks_.begin(b)) / GroupBar::kRows;
            const std::size_t from = blocks_.begin(b) + k * GroupBar::kRows;
            const std::size_t to = std::min(blocks_.end(b), from + GroupBar::kRows);
            if (i == from && to - 1 <= last && bar.join(groups_[b * per_block_ + k])) {
                i = to;
                continue;
            }
            for (const std::size_t stop = std::min(to - 1, last); i <= stop; ++i) {
                if (rows_.present(i)) bar.absorb(rows_, i);
            }
        }
        return *bar.bar.take(rows_.timestamp(last));
    }

    const Rows& rows_;
    fed_scan::Blocks blocks_;
    // Storage for the groups, which summarize makes: left unwritten until then, as the
    // pool writes it faster than the calling thread would, and kept by the block cache
    // between calls.
    struct Release {
        std::size_t count;
        void operator()(GroupBar* p) const noexcept { base::CachedAllocator<GroupBar>().deallocate(p, count); }
    };

    std::size_t per_block_;                          // groups of rows per block
    std::unique_ptr<GroupBar[], Release> groups_;    // block b's at [b * per_block_, ...)
    std::vector<std::vector<std::size_t>> ends_;  // per block, the rows whose records close a bar
    std::vector<std::size_t> first_;              // per block, the first row of its first bar
    std::vector<OhlcvColumns> pieces_;            // per block, the bars that end in it
    std::size_t next_first_ = 0;
};

// A scan that finds where bars end from slots of per-row inputs:
//     prepare(b, slot)   fills the slot for block b (on the pool)
//     scan(slot, begin, end, on_end)   runs the builder's scan over the block
template <class Slot, class Rows, class Prepare, class Scan>
OhlcvColumns ends_then_fold(const Rows& rows, const fed_scan::Blocks& blocks, bool grouped, Prepare&& prepare,
                            Scan&& scan) {
    BarEnds<Rows> bars(rows, blocks, grouped);
    fed_scan::pipeline<Slot>(
        blocks, fed_scan::slots_for(Slot::bytes(blocks.rows)),
        [&](std::size_t b, Slot& slot) {
            bars.summarize(b);
            prepare(b, slot);
        },
        [&](std::size_t b, Slot& slot) {
            bars.begin_block(b);
            scan(slot, blocks.begin(b), blocks.end(b), [&bars, b](std::size_t row) { bars.end_at(b, row); });
        },
        [&](std::size_t b) { bars.fold(b); });
    return bars.take();
}

// Scan inputs of one block: numbers per row (and per group of rows), written on the
// pool; bytes(rows) is what a slot of `rows` rows takes.
template <class T>
struct RowValues {
    RowValues(std::size_t rows, fed_scan::Carver& carver) : values(carver.take<T>(rows)) {}
    static std::size_t bytes(std::size_t rows) noexcept { return fed_scan::Carver::bytes<T>(rows); }
    T* values;
};
struct SideSlot {
    SideSlot(std::size_t rows, fed_scan::Carver& carver)
        : sides(rows, carver), groups(rows / SideGroup::kRows + 1, carver) {}
    static std::size_t bytes(std::size_t rows) noexcept {
        return RowValues<std::uint8_t>::bytes(rows) + RowValues<SideGroup>::bytes(rows / SideGroup::kRows + 1);
    }
    RowValues<std::uint8_t> sides;
    RowValues<SideGroup> groups;
    BlockSides block;
};
struct SizeSlot {
    SizeSlot(std::size_t rows, fed_scan::Carver& carver) : sizes(rows, carver), sides(rows, carver) {}
    static std::size_t bytes(std::size_t rows) noexcept {
        return RowValues<double>::bytes(rows) + RowValues<std::uint8_t>::bytes(rows);
    }
    RowValues<double> sizes;
    RowValues<std::uint8_t> sides;
    BlockSides block;
};
struct CloseSlot {
    CloseSlot(std::size_t rows, fed_scan::Carver& carver)
        : closes(rows, carver),
          lows(rows / RenkoBarBuilder::kGroup + 1, carver),
          highs(rows / RenkoBarBuilder::kGroup + 1, carver) {}
    static std::size_t bytes(std::size_t rows) noexcept {
        return RowValues<double>::bytes(rows) + 2 * RowValues<double>::bytes(rows / RenkoBarBuilder::kGroup + 1);
    }
    RowValues<double> closes, lows, highs;
};

// Volume and value bars: each row's amount is worked out on the pool.
template <class Rows>
OhlcvColumns amount_bars(const CountBarBuilder& fresh, const Rows& rows, const fed_scan::Blocks& blocks) {
    CountBarBuilder builder = fresh;
    return ends_then_fold<RowValues<double>>(
        rows, blocks, /*grouped=*/true,
        [&](std::size_t b, RowValues<double>& slot) {
            fresh.write_amounts(rows, blocks.begin(b), blocks.end(b), slot.values);
        },
        [&](RowValues<double>& slot, std::size_t begin, std::size_t end, auto&& on_end) {
            builder.scan_amounts(slot.values, begin, end, on_end);
        });
}

// Order-flow bars: each row's side, and for sized flow what it adds to each side, is
// worked out on the pool from its block alone; the scan settles the few records at the
// head of a block whose side depends on the rows before it, then keeps the sums that
// decide where bars end, one pass.
template <class Rows>
OhlcvColumns flow_bars(const FlowBarBuilder& fresh, const Rows& rows, const fed_scan::Blocks& blocks) {
    FlowBarBuilder builder = fresh;
    if (fresh.magnitude() == FlowMagnitude::Tick) {
        // The scan of counted flow is quick: the pool sets the pace.
        return ends_then_fold<SideSlot>(
            rows, blocks, /*grouped=*/false,
            [&](std::size_t b, SideSlot& slot) {
                slot.block = FlowBarBuilder::write_sides(rows, blocks.begin(b), blocks.end(b), slot.sides.values,
                                                         slot.groups.values);
            },
            [&](SideSlot& slot, std::size_t begin, std::size_t end, auto&& on_end) {
                builder.settle(slot.block, slot.sides.values, end - begin, slot.groups.values);
                builder.scan_sides(slot.sides.values, slot.groups.values, begin, end, on_end);
            });
    }
    return ends_then_fold<SizeSlot>(
        rows, blocks, /*grouped=*/true,
        [&](std::size_t b, SizeSlot& slot) {
            slot.block = fresh.write_sizes(rows, blocks.begin(b), blocks.end(b), slot.sizes.values,
                                           slot.sides.values);
        },
        [&](SizeSlot& slot, std::size_t begin, std::size_t end, auto&& on_end) {
            builder.settle(slot.block, slot.sides.values);
            builder.scan_sizes(slot.sizes.values, slot.sides.values, begin, end, on_end);
        });
}

// Rows of a source with their row numbers in place of stamps and volumes: a move of row
// i is told with i as its stamp, and a walk that only counts bricks reads no column but
// the closes.
template <class Rows>
struct RowNumbers {
    const Rows* rows = nullptr;  // none: every row is present (closes come from elsewhere)
    bool present(std::size_t i) const noexcept { return rows == nullptr || rows->present(i); }
    double close(std::size_t i) const noexcept { return rows->close(i); }
    std::int64_t timestamp(std::size_t i) const noexcept { return static_cast<std::int64_t>(i); }
    double volume(std::size_t) const noexcept { return 0.0; }
};

// A row that moves the Renko anchor by a brick or more, and the anchor it moves from:
// enough to form its bricks again, apart from every other row.
struct BrickMove {
    std::size_t row;
    double anchor;
};

// Renko bricks, counted before any is made: one row may make thousands, so the columns
// are sized once for the whole count (or refused at once when it cannot be held) and
// nothing grows while bricks form.
// - A walk on the calling thread goes through the rows block by block, counting each
//   block's bricks and noting the rows that move the anchor. With `fed`, the pool lays
//   out each block's closes and their groups' ranges a few blocks ahead, and the walk
//   passes over groups that move no brick.
// - The pool then forms each block's bricks from its moves straight into their place.
template <class Rows>
OhlcvColumns renko_bars(const RenkoBarBuilder& fresh, const Rows& rows, const fed_scan::Blocks& blocks, bool fed) {
    const std::size_t count = blocks.count();
    std::vector<std::vector<BrickMove>> moves(count);  // per block
    std::vector<std::uint64_t> first(count + 1, 0);    // per block, the bricks of the blocks before it
    RenkoBarBuilder walk = fresh;
    struct Counter {
        std::vector<BrickMove>& found;
        std::uint64_t bricks = 0;
        void moved(std::int64_t row, double anchor, std::uint64_t count) {
            found.push_back({static_cast<std::size_t>(row), anchor});
            bricks += count;
        }
    };
    auto count_block = [&](std::size_t b, auto&& feed) {
        Counter counter{moves[b]};
        feed(counter);
        first[b + 1] = first[b] + counter.bricks;
    };
    if (fed) {
        fed_scan::pipeline<CloseSlot>(
            blocks, fed_scan::slots_for(CloseSlot::bytes(blocks.rows)),
            [&](std::size_t b, CloseSlot& slot) {
                RenkoBarBuilder::write_closes(rows, blocks.begin(b), blocks.end(b), slot.closes.values,
                                              slot.lows.values, slot.highs.values);
            },
            [&](std::size_t b, CloseSlot& slot) {
                count_block(b, [&](Counter& counter) {
                    walk.feed_closes(RowNumbers<Rows>{}, slot.closes.values, slot.lows.values, slot.highs.values,
                                     blocks.begin(b), blocks.end(b), counter);
                });
            },
            [](std::size_t) {});
    } else {
        for (std::size_t b = 0; b < count; ++b) {
            count_block(b, [&](Counter& counter) {
                walk.feed(RowNumbers<Rows>{&rows}, blocks.begin(b), blocks.end(b), counter);
            });
        }
    }
    OhlcvColumns out = brick_columns(first[count]);
    base::pool::for_each_index(count, true, [&](std::size_t b) {
        std::uint64_t at = first[b];
        const std::uint64_t end = first[b + 1];
        auto put = [&](const domain::OhlcvBar& brick) {
            if (at == end) base::fault("a block formed more renko bricks than were counted");
            out.put(at++, brick);
        };
        for (const BrickMove& move : moves[b]) fresh.resumed_at(move.anchor).feed(rows, move.row, move.row + 1, put);
        if (at != end) base::fault("a block formed fewer renko bricks than were counted");
    });
    return out;
}

// One fresh builder over rows 0 .. n - 1 and one flush, in as many parts as the split
// and the builder's kind allow.
template <class Builder, class Rows>
OhlcvColumns feed_rows(const Builder& fresh, const Rows& rows, std::size_t n, const RowSplit& split) {
    auto one_piece = [&](std::size_t begin, std::size_t end) {
        Builder builder = fresh;
        OhlcvColumns out;
        builder.feed(rows, begin, end, [&out](const domain::OhlcvBar& bar) { out.append(bar); });
        if (std::optional<domain::OhlcvBar> last = builder.flush()) out.append(*last);
        return out;
    };
    const std::size_t parts = split.parts_for(n);
    if constexpr (std::is_same_v<Builder, RenkoBarBuilder>) {
        return renko_bars(fresh, rows, fed_scan::Blocks{n, std::max<std::size_t>(split.block_rows, 1)}, parts > 1);
    }
    if (parts == 1) return one_piece(0, n);
    if (std::optional<std::vector<std::size_t>> starts = part_starts(fresh, rows, n, parts)) {
        std::vector<OhlcvColumns> pieces(parts);
        each_part(parts, [&](std::size_t k) { pieces[k] = one_piece((*starts)[k], (*starts)[k + 1]); });
        return concatenate(std::move(pieces));
    }
    const fed_scan::Blocks blocks{n, std::max<std::size_t>(split.block_rows, 1)};
    if constexpr (std::is_same_v<Builder, CountBarBuilder>) {
        return amount_bars(fresh, rows, blocks);
    } else if constexpr (std::is_same_v<Builder, FlowBarBuilder>) {
        return flow_bars(fresh, rows, blocks);
    }
    return one_piece(0, n);
}

}  // namespace tarnwick::data::aggregate::split
