// Renko bricks: fixed-size price moves from an anchor on the brick grid. One record may
// complete many bricks; push returns the oldest and the rest wait in a queue for
// next_pending. There is no partial brick.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "base/repeated_sum.h"
#include "base/saturate.h"
#include "data/aggregate/bar_builder.h"

namespace tarnwick::data::aggregate {

// Bricks one push forms at most; a larger move re-anchors on the grid without the rest.
inline constexpr std::uint64_t kRenkoMaxBricksPerPush = 10'000;

// What a feed may hand its moves to in place of their bricks: moved(stamp, anchor, count)
// for each record that moves the anchor, with the anchor it moves from and the bricks it
// would form, so that a whole run's bricks can be counted before any is made.
template <class Sink>
concept CountsMoves = requires(Sink& sink, std::int64_t timestamp, double anchor, std::uint64_t count) {
    sink.moved(timestamp, anchor, count);
};

class RenkoBarBuilder final : public BarBuilder {
public:
    // brick > 0 and finite.
    explicit RenkoBarBuilder(double brick);

    // Queues the record's bricks; hands out the oldest waiting brick when it formed any.
    std::optional<domain::OhlcvBar> push(const SourceRecord& record) override {
        const std::size_t waiting = pending_.size();
        feed(OneRecord{record}, 0, 1, [this](const domain::OhlcvBar& brick) { pending_.push_back(brick); });
        if (pending_.size() == waiting) return std::nullopt;
        return pop();
    }
    // Both hand out the oldest waiting brick; the anchor and queue outlive a flush.
    std::optional<domain::OhlcvBar> flush() override { return pop(); }
    std::optional<domain::OhlcvBar> next_pending() override { return pop(); }

    // Every brick goes to `emit` as it forms; nothing waits.
    template <class Rows, class Emit>
    void feed(const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        // A local, not the member, so that the loop keeps it in a register.
        std::optional<double> anchor = anchor_;
        for (std::size_t i = begin; i < end; ++i) {
            if (rows.present(i)) take(anchor, rows.close(i), rows, i, emit);
        }
        anchor_ = anchor;
    }

    // Rows a group of closes holds, each group summed up by its lowest and highest close.
    static constexpr std::size_t kGroup = 16;

    // The closes of rows [begin, end) into closes[0 ..], NaN where a row carries no record
    // or its close is not a finite price (neither moves a brick), and the lowest and
    // highest of the finite closes of each group into lows[] and highs[] (+inf and -inf
    // when there are none).
    template <class Rows>
    static void write_closes(const Rows& rows, std::size_t begin, std::size_t end, double* closes, double* lows,
                             double* highs) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (std::size_t from = begin, g = 0; from < end; from += kGroup, ++g) {
            double low = inf;
            double high = -inf;
            for (std::size_t i = from; i < std::min(end, from + kGroup); ++i) {
                const double close = rows.present(i) ? rows.close(i) : std::numeric_limits<double>::quiet_NaN();
                const bool finite = std::isfinite(close);
                closes[i - begin] = finite ? close : std::numeric_limits<double>::quiet_NaN();
                low = finite && close < low ? close : low;
                high = finite && close > high ? close : high;
            }
            lows[g] = low;
            highs[g] = high;
        }
    }

    // feed over rows [begin, end) with their closes written by write_closes. A group whose
    // closes all lie less than a brick from the anchor moves no brick, and its lowest and
    // highest close tell so: close - anchor rounds monotonically in the close, so every
    // difference lies between those of the two extremes. Within a group, a close less
    // than a brick from the anchor (or NaN) changes nothing either.
    template <class Rows, class Emit>
    void feed_closes(const Rows& rows, const double* closes, const double* lows, const double* highs,
                     std::size_t begin, std::size_t end, Emit&& emit) {
        std::optional<double> anchor = anchor_;
        const double brick = brick_;
        const std::size_t n = end - begin;
        std::size_t from = 0;
        std::size_t g = 0;
        for (; !anchor && from < n; from += kGroup, ++g) {  // until the first finite close anchors
            for (std::size_t r = from; r < std::min(n, from + kGroup); ++r) take(anchor, closes[r], rows, begin + r, emit);
        }
        if (!anchor) return;
        double at = *anchor;
        for (; from < n; from += kGroup, ++g) {
            if (highs[g] - at < brick && lows[g] - at > -brick) continue;
            for (std::size_t r = from; r < std::min(n, from + kGroup); ++r) {
                const double move = std::fabs(closes[r] - at);
                if (!(move >= brick)) continue;
                at = form(rows.timestamp(begin + r), closes[r], rows.volume(begin + r),
                          base::sat_cast_u64(move / brick), at, emit);
            }
        }
        anchor_ = at;
    }

    std::optional<double> anchor() const noexcept { return anchor_; }

    // A builder of this brick size standing at `anchor` with nothing waiting: where a run
    // of rows takes up after the rows before it have moved the anchor there.
    RenkoBarBuilder resumed_at(std::optional<double> anchor) const {
        RenkoBarBuilder resumed(brick_);
        resumed.anchor_ = anchor;
        return resumed;
    }

private:
    double grid_floor(double price) const noexcept;

    // One record's close, row i of `rows`: the bricks it forms go to `emit`.
    template <class Rows, class Emit>
    void take(std::optional<double>& anchor, double close, const Rows& rows, std::size_t i, Emit& emit) const {
        // A close that is not a finite price moves no brick and must not become the
        // anchor: a NaN or infinite anchor would stop every later brick.
        if (!std::isfinite(close)) return;
        if (!anchor) {
            anchor = grid_floor(close);
            return;
        }
        // Most records move less than one brick from the anchor, which one comparison
        // tells without dividing: move / brick rounds to 1 or more exactly when move >=
        // brick (just below, it is at most 1 - 2^-53). The whole count of bricks is the
        // quotient's floor, which truncation gives here.
        const double move = std::fabs(close - *anchor);
        if (move >= brick_)
            anchor = form(rows.timestamp(i), close, rows.volume(i), base::sat_cast_u64(move / brick_), *anchor, emit);
    }

    // Forms the bricks of a move of n >= 1 whole bricks from the anchor (at most
    // kRenkoMaxBricksPerPush); only the last carries the record's volume. Returns the new
    // anchor: the last brick's close, or the close's grid line when bricks were left out.
    // An `emit` that counts moves (CountsMoves) is told of the move instead, and the
    // anchor lands where the bricks' closes would take it, bit for bit, without stepping
    // through them: counting a row costs the same whatever its bricks.
    template <class Emit>
    double form(std::int64_t timestamp, double close, double volume, std::uint64_t n, double anchor, Emit& emit) const {
        const std::uint64_t count = std::min(n, kRenkoMaxBricksPerPush);
        const bool up = close > anchor;
        if constexpr (CountsMoves<Emit>) {
            emit.moved(timestamp, anchor, count);
            if (n > kRenkoMaxBricksPerPush) return grid_floor(close);
            // Subtracting a brick is adding its negation, to the bit.
            return base::repeated_sum(anchor, up ? brick_ : -brick_, count);
        } else {
            double open = anchor;
            for (std::uint64_t i = 0; i < count; ++i) {
                const double shut = up ? open + brick_ : open - brick_;
                emit(domain::OhlcvBar{timestamp, open, std::max(open, shut), std::min(open, shut), shut,
                                      i + 1 == count ? volume : 0.0});
                open = shut;
            }
            return n > kRenkoMaxBricksPerPush ? grid_floor(close) : open;
        }
    }

    std::optional<domain::OhlcvBar> pop() noexcept {
        if (head_ == pending_.size()) return std::nullopt;
        const domain::OhlcvBar out = pending_[head_++];
        if (head_ == pending_.size()) {
            pending_.clear();
            head_ = 0;
        }
        return out;
    }

    double brick_;
    std::optional<double> anchor_;
    // Waiting bricks are pending_[head_ ..]; the buffer is reused once drained.
    std::vector<domain::OhlcvBar> pending_;
    std::size_t head_ = 0;
};

}  // namespace tarnwick::data::aggregate
