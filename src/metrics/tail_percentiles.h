// The 5th and 95th percentiles of a return series (linearly interpolated order
// statistics of the non-NaN values), found by selection rather than sorting.
//
// A long series is read in the metrics' own passes: a strided sample places a bracket
// around each percentile, the first pass counts the values below and inside each
// bracket, the second copies the few values inside, and the percentiles are picked out
// of those copies. A bracket that misses its ranks, or a short series, falls back on a
// copy of every value. Either way the order statistics are exactly those a sort would
// give (equal values differ at most in the sign of a zero).
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tarnwick::metrics {

// The two order statistics an interpolated percentile reads, around position (n - 1) x p.
struct PercentileRanks {
    std::size_t lo = 0;
    std::size_t hi = 0;
    double frac = 0.0;

    PercentileRanks(std::size_t n, double p) noexcept;
};

// One percentile's neighbourhood [low, high] and how many values lie below and inside
// it. NaN compares false both ways, so it is never counted.
struct Bracket {
    double low = -INFINITY;
    double high = INFINITY;
    std::size_t below = 0;
    std::size_t inside = 0;

    bool holds(double r) const noexcept { return r >= low && r <= high; }
    // Rank k of all values is rank k - below of the values inside.
    bool spans(const PercentileRanks& r) const noexcept { return below <= r.lo && r.hi < below + inside; }
};

class TailPercentiles {
public:
    // Places the brackets from a strided sample of `returns`; none for a short series.
    explicit TailPercentiles(std::span<const double> returns);

    bool bracketed() const noexcept { return bracketed_; }
    Bracket& low_bracket() noexcept { return low_; }
    Bracket& high_bracket() noexcept { return high_; }

    // After the counting pass over `n` non-NaN values: whether both brackets span their
    // ranks. When they do, buffers for the values inside are ready at low_out()/high_out(),
    // each a slot longer than the values inside: the copying pass stores every value at
    // the next free slot and moves on past those inside. A bracket whose ends are equal
    // holds that one value only (zeros of either sign count as one, which the ratio cannot
    // tell apart): its buffer is that one slot, and holds() turns false so that the
    // copying pass keeps nothing for it.
    bool prepare_copies(std::size_t n);
    double* low_out() noexcept { return low_values_.data(); }
    double* high_out() noexcept { return high_values_.data(); }

    // The (p5, p95) pair: from the copied brackets when prepared, else by a full copy of
    // `returns`. Nothing below 20 values.
    std::optional<std::pair<double, double>> percentiles(std::span<const double> returns, std::size_t n);

private:
    Bracket low_;
    Bracket high_;
    bool bracketed_ = false;
    bool copied_ = false;
    std::optional<double> low_single_;
    std::optional<double> high_single_;
    std::vector<double> low_values_;
    std::vector<double> high_values_;
};

// Rearranges `v` (no NaN, k below its size) so that v[k] holds its value of rank k, with
// nothing greater before it and nothing smaller after it, without a branch on the values:
// which side of a pivot a value falls is a coin toss to a predictor. A range that has
// split `splits` times (by default twice the bits of the size, and eight) is handed to
// the standard library's selection.
void select_rank(std::span<double> v, std::size_t k, int splits = 0);

// |p95 / p5|, or nothing for a missing pair or a p5 of exactly 0.
std::optional<double> ratio_of_tails(const std::optional<std::pair<double, double>>& tails) noexcept;

}  // namespace tarnwick::metrics
