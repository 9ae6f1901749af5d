#include "metrics/return_stats.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/tail_percentiles.h"

namespace tarnwick::metrics {

namespace {

// `x` when `keep`, else -0.0, chosen by masking rather than branching: the sign of a
// return is a coin toss a branch predictor loses. Adding -0.0 leaves any sum as it was
// (a -0.0 start included), so a masked term is the same as a skipped one.
double kept_or_negative_zero(bool keep, double x) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    const std::uint64_t negative_zero = std::uint64_t{1} << 63;
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & mask) | (negative_zero & ~mask));
}

using Lanes = double __attribute__((vector_size(16)));
using LaneMask = std::int64_t __attribute__((vector_size(16)));

// `x` in the lanes of `keep`, else -0.0 (see kept_or_negative_zero).
Lanes kept_or_negative_zero(LaneMask keep, Lanes x) noexcept {
    const LaneMask negative_zero = {std::int64_t{1} << 63, std::int64_t{1} << 63};
    return (Lanes)(((LaneMask)x & keep) | (negative_zero & ~keep));
}

Lanes load(const double* at) noexcept {
    Lanes r;
    std::memcpy(&r, at, sizeof r);
    return r;
}

// The count and in-order sum of the non-NaN returns, the sign counts and the tail
// brackets' counts. The sum is a chain of additions, which sets the pace; the counts
// (one comparison each, two returns at a time in vector lanes) run in its shadow. A NaN
// fails every comparison, so it is never counted, and adds -0.0, which changes no sum.
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

FirstPass first_pass(std::span<const double> returns, const Bracket& low, const Bracket& high) {
    const Lanes zero = {0.0, 0.0};
    const Lanes low_min = {low.low, low.low}, low_max = {low.high, low.high};
    const Lanes high_min = {high.low, high.low}, high_max = {high.high, high.high};
    // A true comparison is -1 in its lane, so subtracting counts it.
    LaneMask count = {0, 0}, negative = {0, 0}, positive = {0, 0}, low_below = {0, 0}, low_upto = {0, 0},
             high_below = {0, 0}, high_upto = {0, 0};
    double sum = -0.0;
    std::size_t i = 0;
    for (; i + 2 <= returns.size(); i += 2) {
        const Lanes r = load(returns.data() + i);
        const LaneMask present = r == r;
        const Lanes term = kept_or_negative_zero(present, r);
        sum += term[0];
        sum += term[1];
        count -= present;
        negative -= r < zero;
        positive -= r > zero;
        low_below -= r < low_min;
        low_upto -= r <= low_max;
        high_below -= r < high_min;
        high_upto -= r <= high_max;
    }
    auto total = [](LaneMask c) { return static_cast<std::size_t>(c[0] + c[1]); };
    FirstPass out{total(count),     sum,          total(negative),   total(positive),
                  total(low_below), total(low_upto), total(high_below), total(high_upto)};
    for (; i < returns.size(); ++i) {
        const double r = returns[i];
        if (std::isnan(r)) continue;
        ++out.count;
        out.sum += r;
        out.negative += r < 0.0 ? 1 : 0;
        out.positive += r > 0.0 ? 1 : 0;
        out.low_below += r < low.low ? 1 : 0;
        out.low_upto += r <= low.high ? 1 : 0;
        out.high_below += r < high.low ? 1 : 0;
        out.high_upto += r <= high.high ? 1 : 0;
    }
    return out;
}

struct Moments {
    double sq_dev = -0.0;
    double cube_dev = -0.0;
    double quad_dev = -0.0;
    double down_sq = -0.0;
    double gains = -0.0;
    double losses = -0.0;
    bool any_loss = false;
    bool any_gain = false;
};

// The sums of the second pass, each in return order, and with `kCopy` the values inside
// the tail brackets copied out. The terms of two returns are formed side by side in
// vector lanes, a NaN's terms as -0.0, and added to the sums lane by lane in order; the
// six sums are independent chains, so the additions overlap. A copy is a store that
// always happens and a pointer that moves only for a value inside the bracket (an
// outside value lands in a sink): which returns fall inside is a coin toss to a branch.
template <bool kCopy>
Moments second_pass(std::span<const double> returns, double mean, TailPercentiles& tails) {
    double sq_dev = -0.0, cube_dev = -0.0, quad_dev = -0.0, down_sq = -0.0, gains = -0.0, losses = -0.0;
    const Bracket low = tails.low_bracket();
    const Bracket high = tails.high_bracket();
    double* low_out = kCopy ? tails.low_out() : nullptr;
    double* high_out = kCopy ? tails.high_out() : nullptr;
    [[maybe_unused]] double sink = 0.0;
    // The target is picked with masks: written as a choice, it compiles to a branch.
    auto target = [&sink](double* out, bool inside) {
        const std::uintptr_t keep = std::uintptr_t{0} - static_cast<std::uintptr_t>(inside);
        return reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(out) & keep) |
                                         (reinterpret_cast<std::uintptr_t>(&sink) & ~keep));
    };
    auto copy = [&](double r, bool in_low, bool in_high) {
        if constexpr (kCopy) {
            *target(low_out, in_low) = r;
            low_out += static_cast<std::size_t>(in_low);
            *target(high_out, in_high) = r;
            high_out += static_cast<std::size_t>(in_high);
        }
    };
    const Lanes low_min = {low.low, low.low}, low_max = {low.high, low.high};
    const Lanes high_min = {high.low, high.low}, high_max = {high.high, high.high};
    const Lanes zero = {0.0, 0.0};
    const Lanes mean2 = {mean, mean};
    const LaneMask magnitude = {~(std::int64_t{1} << 63), ~(std::int64_t{1} << 63)};
    LaneMask any_loss2 = {0, 0}, any_gain2 = {0, 0};
    std::size_t i = 0;
    for (; i + 2 <= returns.size(); i += 2) {
        const Lanes r = load(returns.data() + i);
        if constexpr (kCopy) {
            const LaneMask in_low = (r >= low_min) & (r <= low_max);
            const LaneMask in_high = (r >= high_min) & (r <= high_max);
            copy(r[0], in_low[0] != 0, in_high[0] != 0);
            copy(r[1], in_low[1] != 0, in_high[1] != 0);
        }
        const LaneMask present = r == r;
        const Lanes d = r - mean2;
        const Lanes d2 = d * d;
        const Lanes sq = kept_or_negative_zero(present, d2);
        const Lanes cube = kept_or_negative_zero(present, d2 * d);
        const Lanes quad = kept_or_negative_zero(present, d2 * d2);
        const LaneMask loss = r < zero;
        const LaneMask gain = r > zero;
        any_loss2 |= loss;
        any_gain2 |= gain;
        const Lanes down = kept_or_negative_zero(loss, r * r);
        const Lanes lost = kept_or_negative_zero(loss, (Lanes)((LaneMask)r & magnitude));
        const Lanes gained = kept_or_negative_zero(gain, r);
        for (int k = 0; k < 2; ++k) {
            sq_dev += sq[k];
            cube_dev += cube[k];
            quad_dev += quad[k];
            down_sq += down[k];
            losses += lost[k];
            gains += gained[k];
        }
    }
    bool any_loss = (any_loss2[0] | any_loss2[1]) != 0;
    bool any_gain = (any_gain2[0] | any_gain2[1]) != 0;
    for (; i < returns.size(); ++i) {
        const double r = returns[i];
        if (std::isnan(r)) continue;
        copy(r, low.holds(r), high.holds(r));
        const double d = r - mean;
        const double d2 = d * d;
        sq_dev += d2;
        cube_dev += d2 * d;
        quad_dev += d2 * d2;
        const bool loss = r < 0.0;
        const bool gain = r > 0.0;
        any_loss = any_loss || loss;
        any_gain = any_gain || gain;
        down_sq += kept_or_negative_zero(loss, r * r);
        losses += kept_or_negative_zero(loss, std::fabs(r));
        gains += kept_or_negative_zero(gain, r);
    }
    return {sq_dev, cube_dev, quad_dev, down_sq, gains, losses, any_loss, any_gain};
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
    if (m.any_loss && downside > 0.0) {
        out.sortino = std::sqrt(periods_per_year) * excess / downside;
    } else {
        out.sortino = excess > 0.0 ? INFINITY : 0.0;
    }

    if (m.losses > 0.0) {
        out.omega = m.gains / m.losses;
    } else {
        out.omega = m.any_gain ? INFINITY : 1.0;
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

// Both passes; the tail ratio only with `kTails`.
template <bool kTails>
ReturnSummary summarize(std::span<const double> returns, double periods_per_year, double risk_free_rate) {
    ReturnSummary out;
    TailPercentiles tails(kTails ? returns : std::span<const double>{});
    Bracket& low = tails.low_bracket();
    Bracket& high = tails.high_bracket();
    const FirstPass first = first_pass(returns, low, high);
    if constexpr (kTails) {
        out.nonzero = first.negative + first.positive;
        out.positive = first.positive;
        low.below = first.low_below;
        low.inside = first.low_upto - first.low_below;
        high.below = first.high_below;
        high.inside = first.high_upto - first.high_below;
    }
    if (first.count >= 2) {
        const double mean = first.sum / static_cast<double>(first.count);
        const Moments m = kTails && tails.prepare_copies(first.count) ? second_pass<true>(returns, mean, tails)
                                                                      : second_pass<false>(returns, mean, tails);
        out.stats = finish_stats(first.count, mean, m, periods_per_year, risk_free_rate);
    }
    if constexpr (kTails) out.tail_ratio = ratio_of_tails(tails.percentiles(returns, first.count));
    return out;
}

}  // namespace

ReturnStats return_stats(std::span<const double> returns, double periods_per_year, double risk_free_rate) {
    return summarize<false>(returns, periods_per_year, risk_free_rate).stats;
}

std::optional<double> tail_ratio(std::span<const double> returns) {
    return summarize<true>(returns, 0.0, 0.0).tail_ratio;
}

ReturnSummary summarize_returns(std::span<const double> returns, double periods_per_year, double risk_free_rate) {
    return summarize<true>(returns, periods_per_year, risk_free_rate);
}

}  // namespace tarnwick::metrics
