// The bar a builder has in progress, its values folded record by record.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "domain/bar.h"

namespace tarnwick::data::aggregate {

// The high and low of a bar: the largest and smallest value with NaN ignored, NaN only
// when every value is. Which of two equal values stays is settled too, so a bar does
// not depend on the order of its records: +0 outranks -0 in a high, -0 in a low, and of
// two NaNs the earlier stays. (The C library's fmax leaves these choices to the order of
// its arguments, which a compiler may swap.)
inline double widen_high(double high, double x) noexcept {
    if (x > high) return x;
    if (high > x) return high;
    if (x == high) return std::signbit(high) ? x : high;
    return std::isnan(x) ? high : x;
}
inline double widen_low(double low, double x) noexcept {
    if (x < low) return x;
    if (low < x) return low;
    if (x == low) return std::signbit(low) ? low : x;
    return std::isnan(x) ? low : x;
}

// The bar being built by a builder that keeps one. The first record sets all five
// values; later ones widen the range, replace the close and add their volume. Open
// never changes.
class PartialBar {
public:
    bool active() const noexcept { return active_; }

    // Row i of a row source joins the bar (opening it when none is in progress).
    template <class Rows>
    void absorb(const Rows& rows, std::size_t i) noexcept {
        if (!active_) {
            start(rows, i);
        } else {
            widen(rows, i);
        }
    }

    // The first record of a bar; no bar may be in progress.
    template <class Rows>
    void start(const Rows& rows, std::size_t i) noexcept {
        open_ = rows.open(i);
        high_ = rows.high(i);
        low_ = rows.low(i);
        close_ = rows.close(i);
        volume_ = rows.volume(i);
        active_ = true;
    }

    // A further record of the bar in progress.
    template <class Rows>
    void widen(const Rows& rows, std::size_t i) noexcept {
        high_ = widen_high(high_, rows.high(i));
        low_ = widen_low(low_, rows.low(i));
        close_ = rows.close(i);
        volume_ += rows.volume(i);
    }

    // A bar in progress with these values.
    static PartialBar of(double open, double high, double low, double close, double volume) noexcept {
        PartialBar bar;
        bar.open_ = open;
        bar.high_ = high;
        bar.low_ = low;
        bar.close_ = close;
        bar.volume_ = volume;
        bar.active_ = true;
        return bar;
    }

    // The records of `later`, a bar of records that follow this bar's, joined to it as if
    // absorbed one by one; its volume, though, is added as one sum, which equals adding
    // the volumes one by one only where every running sum is exact (see GroupBar).
    void join(const PartialBar& later) noexcept {
        if (!later.active_) return;
        if (!active_) {
            *this = later;
            return;
        }
        high_ = widen_high(high_, later.high_);
        low_ = widen_low(low_, later.low_);
        close_ = later.close_;
        volume_ += later.volume_;
    }

    // Ends the bar, stamped `timestamp`; none when no bar was in progress.
    std::optional<domain::OhlcvBar> take(std::int64_t timestamp) noexcept {
        if (!active_) return std::nullopt;
        const domain::OhlcvBar out{timestamp, open_, high_, low_, close_, volume_};
        *this = PartialBar{};
        return out;
    }

private:
    // Single values rather than one OhlcvBar, and cleared once taken: a loop then holds
    // them in registers, with nothing to keep across the call that stores a bar.
    double open_ = 0.0;
    double high_ = 0.0;
    double low_ = 0.0;
    double close_ = 0.0;
    double volume_ = 0.0;
    bool active_ = false;
};

// The bar of a group of rows, folded once so that a bar holding the whole group can take
// it in one step. Highs and lows join in any grouping (see widen_high). Volumes add up
// in one step only where that is exact: whole numbers of magnitude at most 2^31, no
// more than 2^22 of them, have running sums within 2^53, all exact, in any grouping;
// and a zero sum then has the sign the record-by-record sum has (-0 only when every
// volume is -0).
struct GroupBar {
    static constexpr std::size_t kRows = 64;
    static constexpr double kWholeLimit = 2147483648.0;      // 2^31
    static constexpr std::size_t kMostRows = std::size_t{1} << 22;  // rows of a bar that joins groups
    static_assert(kWholeLimit * static_cast<double>(kMostRows) <= 9007199254740992.0);

    PartialBar bar;
    bool whole = true;  // every volume a whole number of magnitude at most kWholeLimit

    static bool whole_number(double v) noexcept {
        const bool small = std::fabs(v) <= kWholeLimit;  // false for NaN
        const double in_range = small ? v : 0.0;
        return small & (static_cast<double>(static_cast<std::int64_t>(in_range)) == v);
    }

    // Row i joins the group (or a bar being folded the same way).
    template <class Rows>
    void absorb(const Rows& rows, std::size_t i) noexcept {
        bar.absorb(rows, i);
        whole = whole & whole_number(rows.volume(i));
    }

    // A later group joins, the two spanning at most kMostRows rows: in one step where that
    // is exact, else false (nothing changes).
    bool join(const GroupBar& later) noexcept {
        if (bar.active() && !(whole && later.whole)) return false;
        bar.join(later.bar);
        whole = whole && later.whole;
        return true;
    }

    // The groups of rows [begin, end), kRows rows each from begin, made in the storage at
    // out[0 ..] (which need hold no groups yet).
    template <class Rows>
    static void of(const Rows& rows, std::size_t begin, std::size_t end, GroupBar* out) noexcept {
        for (std::size_t from = begin; from < end; from += kRows) {
            std::construct_at(out++, group(rows, from, std::min(end, from + kRows)));
        }
    }

private:
    // In a few dozen records a new high or low is too frequent to guess, so the plain
    // maximum and minimum are taken without branches; they agree with widen_high and
    // widen_low but where a NaN or a zero (of either sign) takes part, and those groups
    // are gone through again.
    template <class Rows>
    static GroupBar group(const Rows& rows, std::size_t from, std::size_t to) noexcept {
        GroupBar out;
        std::size_t i = from;
        while (i < to && !rows.present(i)) ++i;
        if (i == to) return out;
        const std::size_t first = i;
        std::size_t last = i;
        double high = rows.high(i);
        double low = rows.low(i);
        double volume = rows.volume(i);
        bool plain = (high == high) & (high != 0.0) & (low == low) & (low != 0.0);
        out.whole = whole_number(volume);
        for (++i; i < to; ++i) {
            if (!rows.present(i)) continue;
            const double h = rows.high(i);
            const double l = rows.low(i);
            const double v = rows.volume(i);
            high = std::max(high, h);
            low = std::min(low, l);
            plain = plain & (h == h) & (h != 0.0) & (l == l) & (l != 0.0);
            volume += v;
            out.whole = out.whole & whole_number(v);
            last = i;
        }
        if (!plain) {
            high = rows.high(first);
            low = rows.low(first);
            for (i = first + 1; i <= last; ++i) {
                if (!rows.present(i)) continue;
                high = widen_high(high, rows.high(i));
                low = widen_low(low, rows.low(i));
            }
        }
        out.bar = PartialBar::of(rows.open(first), high, low, rows.close(last), volume);
        return out;
    }
};

}  // namespace tarnwick::data::aggregate
