#include "metrics/tail_percentiles.h"

#include <algorithm>
#include <bit>
#include <span>

#include "base/fault.h"

namespace tarnwick::metrics {

using base::fault;

namespace {

// Below this many returns a full copy is as cheap as sampling first.
constexpr std::size_t kBracketFrom = 4096;
constexpr std::size_t kSampleStride = 128;

// Moves the values of `v` below `pivot` (`kEqualToo`: not above it) to its front, keeping
// every value; returns how many there are. Every value is swapped to the next free slot
// and only those that belong there move it on: whether a value lies below the pivot is a
// coin toss to a branch.
template <bool kEqualToo>
std::size_t partition_front(double* v, std::size_t n, double pivot) noexcept {
    std::size_t front = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = v[i];
        v[i] = v[front];
        v[front] = x;
        front += (kEqualToo ? x <= pivot : x < pivot) ? 1 : 0;
    }
    return front;
}

}  // namespace

// Quickselect around the median of three, each range split into the values below the
// pivot, those equal to it and those above.
void select_rank(std::span<double> v, std::size_t k, int splits) {
    if (k >= v.size()) fault("order statistic beyond its values");
    std::size_t lo = 0, hi = v.size();
    int splits_left = splits > 0 ? splits : 2 * static_cast<int>(std::bit_width(v.size())) + 8;
    while (hi - lo > 16) {
        if (--splits_left == 0) {
            std::nth_element(v.begin() + static_cast<std::ptrdiff_t>(lo), v.begin() + static_cast<std::ptrdiff_t>(k),
                             v.begin() + static_cast<std::ptrdiff_t>(hi));
            return;
        }
        const double a = v[lo], b = v[lo + (hi - lo) / 2], c = v[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));  // one of the three
        const std::size_t below = lo + partition_front<false>(v.data() + lo, hi - lo, pivot);
        if (k < below) {
            hi = below;
            continue;
        }
        const std::size_t upto = below + partition_front<true>(v.data() + below, hi - below, pivot);
        if (k < upto) return;  // v[k] equals the pivot
        lo = upto;
    }
    std::sort(v.begin() + static_cast<std::ptrdiff_t>(lo), v.begin() + static_cast<std::ptrdiff_t>(hi));
}

namespace {

// Order statistics picked out of an unordered buffer, ranks asked for in non-decreasing
// order. Everything before `floor_` is no greater than anything from `floor_` on, so each
// selection only looks at what lies above the previous one; a rank right after the
// previous one is the smallest value left, which one scan finds.
class RankSelector {
public:
    explicit RankSelector(std::vector<double>& values) : v_(values) {}

    double at(std::size_t rank) {
        if (floor_ > 0 && rank == floor_ - 1) return v_[rank];
        if (rank < floor_ || rank >= v_.size()) fault("order statistic asked for out of order");
        const auto first = v_.begin() + static_cast<std::ptrdiff_t>(floor_);
        const auto nth = v_.begin() + static_cast<std::ptrdiff_t>(rank);
        if (rank == floor_) {
            std::iter_swap(nth, std::min_element(first, v_.end()));
        } else {
            select_rank(std::span<double>(v_).subspan(floor_), rank - floor_);
        }
        floor_ = rank + 1;
        return v_[rank];
    }

private:
    std::vector<double>& v_;
    std::size_t floor_ = 0;
};

// Linear interpolation between the two order statistics, `offset` ranks lying below the
// buffer the selector works on.
double interpolate(RankSelector& values, const PercentileRanks& r, std::size_t offset) {
    const double low = values.at(r.lo - offset);
    const double high = values.at(r.hi - offset);
    return low + (high - low) * r.frac;
}

// A bracket around percentile `p` from a sorted sample: the sample's own p quantile
// widened by four standard errors of it (and two sample ranks) to each side, open at an
// end the widening runs past.
Bracket bracket_from_sample(const std::vector<double>& sample, double p) {
    const double s = static_cast<double>(sample.size());
    const double margin = 4.0 * std::sqrt(p * (1.0 - p) / s) + 2.0 / s;
    const double first = std::floor((p - margin) * s);
    const double last = std::ceil((p + margin) * s);
    Bracket b;
    if (first > 0.0) b.low = sample[static_cast<std::size_t>(first)];
    if (last < s - 1.0) b.high = sample[static_cast<std::size_t>(last)];
    return b;
}

// A buffer for the values inside the bracket and the slot after them, or, when its ends
// are equal, that one value and a bracket emptied for the copying pass (its count stays).
void prepare_side(Bracket& b, std::optional<double>& single, std::vector<double>& values) {
    if (b.low == b.high) {
        single = b.low;
        b.low = INFINITY;
        b.high = -INFINITY;
        values.assign(1, 0.0);
        return;
    }
    values.resize(b.inside + 1);
}

// The percentile from one side's copies, the slot after them let go, or from its single
// value.
double side_percentile(std::vector<double>& values, const std::optional<double>& single, const PercentileRanks& r,
                       const Bracket& b) {
    if (single) return *single + (*single - *single) * r.frac;
    values.resize(b.inside);
    RankSelector selector(values);
    return interpolate(selector, r, b.below);
}

}  // namespace

PercentileRanks::PercentileRanks(std::size_t n, double p) noexcept {
    const double pos = static_cast<double>(n - 1) * p;
    lo = static_cast<std::size_t>(std::floor(pos));
    hi = static_cast<std::size_t>(std::ceil(pos));
    frac = pos - static_cast<double>(lo);
}

TailPercentiles::TailPercentiles(std::span<const double> returns) {
    if (returns.size() < kBracketFrom) return;
    std::vector<double> sample;
    sample.reserve(returns.size() / kSampleStride + 1);
    for (std::size_t i = 0; i < returns.size(); i += kSampleStride) {
        if (!std::isnan(returns[i])) sample.push_back(returns[i]);
    }
    if (sample.size() < 16) return;
    std::sort(sample.begin(), sample.end());
    low_ = bracket_from_sample(sample, 0.05);
    high_ = bracket_from_sample(sample, 0.95);
    bracketed_ = true;
}

bool TailPercentiles::prepare_copies(std::size_t n) {
    if (!bracketed_ || n < 20) return false;
    if (!low_.spans(PercentileRanks(n, 0.05)) || !high_.spans(PercentileRanks(n, 0.95))) return false;
    prepare_side(low_, low_single_, low_values_);
    prepare_side(high_, high_single_, high_values_);
    copied_ = true;
    return true;
}

std::optional<std::pair<double, double>> TailPercentiles::percentiles(std::span<const double> returns,
                                                                      std::size_t n) {
    if (n < 20) return std::nullopt;
    const PercentileRanks p5(n, 0.05);
    const PercentileRanks p95(n, 0.95);
    if (copied_) {
        return std::pair{side_percentile(low_values_, low_single_, p5, low_),
                         side_percentile(high_values_, high_single_, p95, high_)};
    }
    std::vector<double> values;
    values.reserve(n);
    for (const double r : returns) {
        if (!std::isnan(r)) values.push_back(r);
    }
    if (values.size() != n) fault("tail percentiles: value count changed between passes");
    RankSelector all(values);
    const double p5_value = interpolate(all, p5, 0);
    return std::pair{p5_value, interpolate(all, p95, 0)};
}

std::optional<double> ratio_of_tails(const std::optional<std::pair<double, double>>& tails) noexcept {
    if (!tails || tails->first == 0.0) return std::nullopt;
    return std::fabs(tails->second / tails->first);
}

}  // namespace tarnwick::metrics
