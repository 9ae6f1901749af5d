// The bar a builder has in progress, its values folded record by record.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bar.h"

namespace tarnwick::aggregate {

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

    // Ends the bar, stamped `timestamp`; none when no bar was in progress.
    std::optional<OhlcvBar> take(std::int64_t timestamp) noexcept {
        if (!active_) return std::nullopt;
        const OhlcvBar out{timestamp, open_, high_, low_, close_, volume_};
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

}  // namespace tarnwick::aggregate
