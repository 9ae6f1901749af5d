// Whole-array aggregation over the worker pool, with bars identical to one run of one
// builder over all rows whatever the number of parts:
// - Bars of clock windows and of tick counts open at rows that can be found without
//   running a builder over the rows before them: the rows are cut there into parts, each
//   part is fed to its own copy of the fresh builder and flushed, and the parts' bars are
//   laid end to end.
// - Where a bar ends depends on every row before it for volume, value and order-flow
//   bars: one pass on the calling thread finds the rows of every bar, reading only what
//   the rule needs, and the bars' contents are folded from their rows on the pool
//   alongside.
// - Renko bricks run in one piece.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/fault.h"
#include "core/pool.h"
#include "core/result.h"
#include "data/aggregate/bar_aggregation.h"

namespace tarnwick::aggregate::split {

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
    auto done = pool::parallel_map<Unit, OwnError>(parts, [&](std::size_t k) -> Result<Unit, OwnError> {
        fn(k);
        return Unit{};
    });
    if (!done.ok()) fault("a part of a split aggregation failed");
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

// Folds the bar of one span the way the builder would have built it.
template <class Rows>
OhlcvBar fold_span(const Rows& rows, const RowSpan& span) {
    PartialBar bar;
    for (std::size_t i = span.first; i <= span.last; ++i) {
        if (rows.present(i)) bar.absorb(rows, i);
    }
    return *bar.take(span.stamp);
}

// The scan goes through the rows in `blocks` blocks on the calling thread; as each block
// is done, the bars that ended in it are folded on the pool while the scan goes on.
template <class Builder, class Rows>
OhlcvColumns scan_then_fold(const Builder& fresh, const Rows& rows, std::size_t n, std::size_t blocks) {
    std::vector<std::vector<RowSpan>> ended(blocks);
    std::vector<OhlcvColumns> pieces(blocks);
    pool::run_alongside(
        [&](auto&& start) {
            Builder builder = fresh;
            SpanBar bar;
            for (std::size_t b = 0; b < blocks; ++b) {
                std::vector<RowSpan>& spans = ended[b];
                builder.feed_as(bar, rows, chunk_begin(b, blocks, n), chunk_begin(b + 1, blocks, n),
                                [&spans](const RowSpan& span) { spans.push_back(span); });
                if (b + 1 == blocks) {
                    if (std::optional<RowSpan> rest = builder.flush_as(bar)) spans.push_back(*rest);
                }
                start(b);
            }
        },
        [&](std::size_t b) {
            for (const RowSpan& span : ended[b]) pieces[b].append(fold_span(rows, span));
        });
    return concatenate(std::move(pieces));
}

// One fresh builder over rows 0 .. n - 1 and one flush, in as many parts as the split
// and the builder's kind allow.
template <class Builder, class Rows>
OhlcvColumns feed_rows(const Builder& fresh, const Rows& rows, std::size_t n, const RowSplit& split) {
    auto one_piece = [&](std::size_t begin, std::size_t end) {
        Builder builder = fresh;
        OhlcvColumns out;
        builder.feed(rows, begin, end, [&out](const OhlcvBar& bar) { out.append(bar); });
        if (std::optional<OhlcvBar> last = builder.flush()) out.append(*last);
        return out;
    };
    const std::size_t parts = split.parts_for(n);
    if (parts == 1) return one_piece(0, n);
    if (std::optional<std::vector<std::size_t>> starts = part_starts(fresh, rows, n, parts)) {
        std::vector<OhlcvColumns> pieces(parts);
        each_part(parts, [&](std::size_t k) { pieces[k] = one_piece((*starts)[k], (*starts)[k + 1]); });
        return concatenate(std::move(pieces));
    }
    if constexpr (std::is_base_of_v<CountingBarBuilder<Builder>, Builder>) {
        // A few blocks per part keep the pool busy while the scan goes on.
        return scan_then_fold(fresh, rows, n, std::min(n, 4 * parts));
    }
    return one_piece(0, n);
}

}  // namespace tarnwick::aggregate::split
