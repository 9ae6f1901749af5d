// Extreme of every trailing window of a fixed length over a whole series, in constant
// time per element and without data-dependent branches.
//
// The series is cut into blocks of `period` elements. A window that does not coincide
// with a block straddles two neighbours: it is the tail of one block and the head of
// the next, so its extreme is the pick of the tail's suffix extreme and the head's
// running prefix extreme. Each block's suffix extremes are computed once, backwards,
// just before the following block is walked forwards, so the only scratch is one block.
//
// `pick(earlier, later)` chooses between the folds of two adjacent runs and decides
// ties (the earlier or the later value wins); it must be the fold step of a left-to-right
// scan, so that the block decomposition reproduces that scan exactly, signed zeros
// included. `none` is the scan's start value; NaN elements are read as `none`, which the
// pick never prefers to a real value, so they are skipped exactly as a scan skips them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace tarnwick::indicators {

// Calls emit(i, extreme of x[i - period + 1 ..= i]) for every i from period - 1 to
// len(x) - 1 in increasing order. Requires 1 <= period <= len(x); `suffix` is scratch
// (resized to period). kNoNaN skips the NaN test when the caller knows there is none.
template <bool kNoNaN, class Pick, class Emit>
void sliding_extreme(std::span<const double> x, std::size_t period, double none, std::vector<double>& suffix,
                     Pick pick, Emit emit) {
    const std::size_t n = x.size();
    const std::size_t p = period;
    suffix.resize(p);
    auto value = [none](double v) {
        if constexpr (kNoNaN) return v;
        else return v != v ? none : v;
    };
    for (std::size_t b = 0; b < n; b += p) {
        const std::size_t e = std::min(n - b, p) + b;
        double head = none;  // fold of x[b ..= i]
        if (b == 0) {
            for (std::size_t i = 0; i < e; ++i) head = pick(head, value(x[i]));
            emit(p - 1, head);  // e == p: the first window is the first block
        } else {
            // Windows ending at b .. b + p - 2 start inside the previous block at offset
            // i - b + 1; the one ending at b + p - 1 is this block alone.
            const std::size_t straddling_end = std::min(e, b + p - 1);
            for (std::size_t i = b; i < straddling_end; ++i) {
                head = pick(head, value(x[i]));
                emit(i, pick(suffix[i - b + 1], head));
            }
            if (straddling_end < e) {
                head = pick(head, value(x[straddling_end]));
                emit(straddling_end, head);
            }
        }
        // Only a full block has a successor that reads its suffixes.
        if (e - b == p) {
            double tail = none;  // fold of x[i .. e)
            for (std::size_t i = e; i-- > b;) {
                tail = pick(value(x[i]), tail);
                suffix[i - b] = tail;
            }
        }
    }
}

}  // namespace tarnwick::indicators
