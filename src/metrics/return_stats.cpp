#include "metrics/return_stats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "metrics/lanes.h"
#include "metrics/tail_percentiles.h"

namespace tarnwick::metrics {

namespace {

using lanes::kept_or_negative_zero;
using lanes::LaneMask;
using lanes::Lanes;
using lanes::load;
using lanes::splat;

// What the first pass finds in the returns: the count and in-order sum of the non-NaN
// ones, the sign counts and the tail brackets' counts.
struct FirstPass {
    std::size_t count = 0;
    double sum = -0.0;
    std::size_t negative = 0;
    std::size_t positive = 0;
    std::size_t low_below = 0;
    std::size_t low_upto = 0;
    std::size_t high_below = 0;
    std::size_t high_upto = 0;
};

// The first pass's counts over the returns, two at a time in vector lanes, each pair
// handing back its terms of the in-order sum (a NaN's as -0.0, which changes no sum): the
// sum is a chain of additions, which sets the pace, and the counts (one comparison each)
// run in its shadow. A NaN fails every comparison, so it is never counted. The signs and
// the tail brackets are counted only with `kTails`.
template <bool kTails>
class ReturnCounts {
public:
    ReturnCounts(const Bracket& low, const Bracket& high) noexcept
        : low_min_(splat(low.low)), low_max_(splat(low.high)), high_min_(splat(high.low)), high_max_(splat(high.high)) {}

    Lanes add_pair(Lanes r) noexcept {
        const LaneMask present = r == r;
        count_ -= present;
        if constexpr (kTails) {
            negative_ -= r < Lanes{0.0, 0.0};
            positive_ -= r > Lanes{0.0, 0.0};
            low_below_ -= r < low_min_;
            low_upto_ -= r <= low_max_;
            high_below_ -= r < high_min_;
            high_upto_ -= r <= high_max_;
        }
        return kept_or_negative_zero(present, r);
    }

    // Whether `r` counts (is not NaN).
    bool add(double r) noexcept {
        if (std::isnan(r)) return false;
        count_[0] += 1;
        if constexpr (kTails) {
            negative_[0] += r < 0.0 ? 1 : 0;
            positive_[0] += r > 0.0 ? 1 : 0;
            low_below_[0] += r < low_min_[0] ? 1 : 0;
            low_upto_[0] += r <= low_max_[0] ? 1 : 0;
            high_below_[0] += r < high_min_[0] ? 1 : 0;
            high_upto_[0] += r <= high_max_[0] ? 1 : 0;
        }
        return true;
    }

    FirstPass result(double sum) const noexcept {
        using lanes::total;
        return {total(count_),     sum,           total(negative_),   total(positive_),
                total(low_below_), total(low_upto_), total(high_below_), total(high_upto_)};
    }

private:
    Lanes low_min_, low_max_, high_min_, high_max_;
    LaneMask count_ = {0, 0}, negative_ = {0, 0}, positive_ = {0, 0}, low_below_ = {0, 0}, low_upto_ = {0, 0},
             high_below_ = {0, 0}, high_upto_ = {0, 0};
};

// The returns and the drawdown side by side over their common length, two samples at a
// time, then the rest of each alone: every sum still adds its terms in sample order. The
// pass is a function of its own, which calls nothing: inlined into a caller that calls
// on after it, the running sums would be kept in memory, as no vector register outlives
// a call.
template <bool kTails>
[[gnu::noinline]] std::pair<FirstPass, DrawdownPass> first_pass(std::span<const double> returns,
                                                                std::span<const double> drawdown, const Bracket& low,
                                                                const Bracket& high) {
    ReturnCounts<kTails> counts(low, high);
    DrawdownPass dd;
    double sum = -0.0;
    const std::size_t both = std::min(returns.size(), drawdown.size()) & ~std::size_t{1};
    std::size_t i = 0;
    for (; i < both; i += 2) {
        const Lanes terms = counts.add_pair(load(returns.data() + i));
        sum += terms[0];
        sum += terms[1];
        dd.add_pair(load(drawdown.data() + i), i);
    }
    std::size_t r = i;
    for (; r + 2 <= returns.size(); r += 2) {
        const Lanes terms = counts.add_pair(load(returns.data() + r));
        sum += terms[0];
        sum += terms[1];
    }
    for (; r < returns.size(); ++r) {
        if (counts.add(returns[r])) sum += returns[r];
    }
    for (; i + 2 <= drawdown.size(); i += 2) dd.add_pair(load(drawdown.data() + i), i);
    for (; i < drawdown.size(); ++i) dd.add(drawdown[i], i);
    return {counts.result(sum), dd};
}

struct Moments {
    double sq_dev = -0.0;
    double cube_dev = -0.0;
    double quad_dev = -0.0;
    double down_sq = -0.0;
    double gains = -0.0;
    double losses = -0.0;
};

// The values inside the two tail brackets, copied out in return order: each return is
// stored at the next free slot of both buffers and only those inside move past it (the
// buffers hold a slot to spare). Which returns fall inside is a coin toss to a branch.
template <bool kCopy>
class TailCopies {
public:
    explicit TailCopies(TailPercentiles& tails) noexcept
        : low_(tails.low_bracket()), high_(tails.high_bracket()), low_out_(tails.low_out()),
          high_out_(tails.high_out()), low_min_(splat(low_.low)), low_max_(splat(low_.high)),
          high_min_(splat(high_.low)), high_max_(splat(high_.high)) {}

    void add_pair(Lanes r) noexcept {
        if constexpr (kCopy) {
            keep(low_out_, low_n_, r, lanes::bits_within(r, low_min_, low_max_));
            keep(high_out_, high_n_, r, lanes::bits_within(r, high_min_, high_max_));
        }
    }

    void add(double r) noexcept {
        if constexpr (kCopy) {
            keep(low_out_, low_n_, r, low_.holds(r));
            keep(high_out_, high_n_, r, high_.holds(r));
        }
    }

private:
    // Both lanes of `r` in turn; `inside` holds their bits.
    static void keep(double* out, std::size_t& n, Lanes r, int inside) noexcept {
        _mm_storel_pd(out + n, (__m128d)r);
        n += static_cast<std::size_t>(inside & 1);
        _mm_storeh_pd(out + n, (__m128d)r);
        n += static_cast<std::size_t>(inside >> 1);
    }
    static void keep(double* out, std::size_t& n, double r, bool inside) noexcept {
        out[n] = r;
        n += inside ? 1 : 0;
    }

    Bracket low_, high_;
    double* low_out_;
    double* high_out_;
    Lanes low_min_, low_max_, high_min_, high_max_;
    std::size_t low_n_ = 0, high_n_ = 0;
};

// The sums of the second pass, each in return order, and with `kCopy` the values inside
// the tail brackets copied out. The terms of two returns are formed side by side
// in vector lanes and added to the sums lane by lane in order; the six sums are
// independent chains, so the additions overlap. With `kNaN` the returns hold NaN, whose
// deviations are masked to -0.0; without, no deviation needs the mask. A loss or a gain
// term is the return's magnitude where it lost or gained, else -0.0 (for NaN too), each
// found by one maximum.
template <bool kCopy, bool kNaN>
Moments second_pass(std::span<const double> returns, double mean, TailPercentiles& tails) {
    double sq_dev = -0.0, cube_dev = -0.0, quad_dev = -0.0, down_sq = -0.0, gains = -0.0, losses = -0.0;
    TailCopies<kCopy> copies(tails);
    const Lanes mean2 = splat(mean);
    const LaneMask sign = {std::int64_t{1} << 63, std::int64_t{1} << 63};
    std::size_t i = 0;
    for (; i + 2 <= returns.size(); i += 2) {
        const Lanes r = load(returns.data() + i);
        copies.add_pair(r);
        const Lanes d = r - mean2;
        const Lanes d2 = d * d;
        Lanes sq = d2, cube = d2 * d, quad = d2 * d2;
        if constexpr (kNaN) {
            const LaneMask present = r == r;
            sq = kept_or_negative_zero(present, sq);
            cube = kept_or_negative_zero(present, cube);
            quad = kept_or_negative_zero(present, quad);
        }
        const Lanes flipped = (Lanes)((LaneMask)r ^ sign);
        const Lanes lost = lanes::positive_or_negative_zero(flipped);  // |r| for r < 0
        // r^2 for r < 0, else -0.0 x +0.0 = -0.0
        const Lanes down = lost * lanes::above_or(flipped, splat(0.0));
        const Lanes gained = lanes::positive_or_negative_zero(r);
        for (int k = 0; k < 2; ++k) {
            sq_dev += sq[k];
            cube_dev += cube[k];
            quad_dev += quad[k];
            down_sq += down[k];
            losses += lost[k];
            gains += gained[k];
        }
    }
    for (; i < returns.size(); ++i) {
        const double r = returns[i];
        if (std::isnan(r)) continue;
        copies.add(r);
        const double d = r - mean;
        const double d2 = d * d;
        sq_dev += d2;
        cube_dev += d2 * d;
        quad_dev += d2 * d2;
        const bool loss = r < 0.0;
        down_sq += kept_or_negative_zero(loss, r * r);
        losses += kept_or_negative_zero(loss, std::fabs(r));
        gains += kept_or_negative_zero(r > 0.0, r);
    }
    return {sq_dev, cube_dev, quad_dev, down_sq, gains, losses};
}

template <bool kCopy>
Moments second_pass(std::span<const double> returns, double mean, TailPercentiles& tails, bool nan) {
    return nan ? second_pass<kCopy, true>(returns, mean, tails) : second_pass<kCopy, false>(returns, mean, tails);
}

ReturnStats finish_stats(std::size_t count, double mean, const Moments& m, double periods_per_year,
                         double risk_free_rate) {
    ReturnStats out;
    const double n = static_cast<double>(count);
    const double rf_per_period = periods_per_year > 0.0 ? risk_free_rate / periods_per_year : 0.0;
    const double excess = mean - rf_per_period;

    const double variance = m.sq_dev / (n - 1.0);
    out.sharpe = variance > 0.0 ? excess / std::sqrt(variance) * std::sqrt(periods_per_year) : 0.0;

    // Downside deviation over all n periods, not only the losing ones.
    const double downside = std::sqrt(m.down_sq / n);
    // Losses and gains are sums of values above 0: above 0 themselves as soon as one
    // return lost or gained.
    if (m.losses > 0.0 && downside > 0.0) {
        out.sortino = std::sqrt(periods_per_year) * excess / downside;
    } else {
        out.sortino = excess > 0.0 ? INFINITY : 0.0;
    }

    if (m.losses > 0.0) {
        out.omega = m.gains / m.losses;
    } else {
        out.omega = m.gains > 0.0 ? INFINITY : 1.0;
    }

    const double m2 = m.sq_dev / n;
    if (count >= 3 && m2 > 0.0) {
        const double m3 = m.cube_dev / n;
        out.skew = std::sqrt(n * (n - 1.0)) * (m3 / std::pow(m2, 1.5)) / (n - 2.0);
        if (count >= 4) {
            const double m4 = m.quad_dev / n;
            const double g = m4 / (m2 * m2) - 3.0;
            out.kurtosis = (n - 1.0) * ((n + 1.0) * g + 6.0) / ((n - 2.0) * (n - 3.0));
        }
    }
    return out;
}

// Both passes; the tail ratio and the sign counts only with `kTails`.
template <bool kTails>
CurveSummary summarize(std::span<const double> returns, std::span<const double> drawdown,
                       std::span<const std::int64_t> timestamps, double periods_per_year, double risk_free_rate) {
    CurveSummary out;
    TailPercentiles tails(kTails ? returns : std::span<const double>{});
    Bracket& low = tails.low_bracket();
    Bracket& high = tails.high_bracket();
    const auto [first, dd] = first_pass<kTails>(returns, drawdown, low, high);
    out.drawdown = dd.finish(drawdown.size(), timestamps);
    if constexpr (kTails) {
        out.returns.nonzero = first.negative + first.positive;
        out.returns.positive = first.positive;
        low.below = first.low_below;
        low.inside = first.low_upto - first.low_below;
        high.below = first.high_below;
        high.inside = first.high_upto - first.high_below;
    }
    if (first.count >= 2) {
        const double mean = first.sum / static_cast<double>(first.count);
        const bool nan = first.count != returns.size();
        const Moments m = kTails && tails.prepare_copies(first.count) ? second_pass<true>(returns, mean, tails, nan)
                                                                      : second_pass<false>(returns, mean, tails, nan);
        out.returns.stats = finish_stats(first.count, mean, m, periods_per_year, risk_free_rate);
    }
    if constexpr (kTails) out.returns.tail_ratio = ratio_of_tails(tails.percentiles(returns, first.count));
    return out;
}

}  // namespace

ReturnStats return_stats(std::span<const double> returns, double periods_per_year, double risk_free_rate) {
    return summarize<false>(returns, {}, {}, periods_per_year, risk_free_rate).returns.stats;
}

DrawdownStats drawdown_stats(std::span<const double> drawdown, std::span<const std::int64_t> timestamps) {
    return summarize<false>({}, drawdown, timestamps, 0.0, 0.0).drawdown;
}

std::optional<double> tail_ratio(std::span<const double> returns) {
    return summarize<true>(returns, {}, {}, 0.0, 0.0).returns.tail_ratio;
}

CurveSummary summarize_curves(std::span<const double> returns, std::span<const double> drawdown,
                              std::span<const std::int64_t> timestamps, double periods_per_year,
                              double risk_free_rate, TailRatio tails) {
    return tails == TailRatio::Measure
               ? summarize<true>(returns, drawdown, timestamps, periods_per_year, risk_free_rate)
               : summarize<false>(returns, drawdown, timestamps, periods_per_year, risk_free_rate);
}

}  // namespace tarnwick::metrics
