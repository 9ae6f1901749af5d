#include "metrics/return_stats.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

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

std::size_t one_if(bool b) noexcept { return b ? 1 : 0; }

struct FirstPass {
    std::size_t count = 0;
    double sum = -0.0;
    std::size_t nonzero = 0;
    std::size_t positive = 0;
};

// The count and in-order sum of the non-NaN returns, the sign counts, and with
// `kBrackets` the tail brackets' counts. The sum's chain of additions sets the pace, so
// the counting rides along for free; it is all kept in locals, hence in registers.
template <bool kBrackets>
FirstPass first_pass(std::span<const double> returns, Bracket& low, Bracket& high) {
    FirstPass out;
    std::size_t count = 0, negative = 0, positive = 0;
    std::size_t low_below = 0, low_upto = 0, high_below = 0, high_upto = 0;
    const double low_min = low.low, low_max = low.high, high_min = high.low, high_max = high.high;
    double sum = -0.0;
    for (const double r : returns) {
        // One comparison per count: a NaN fails every one of them.
        negative += one_if(r < 0.0);
        positive += one_if(r > 0.0);
        if constexpr (kBrackets) {
            low_below += one_if(r < low_min);
            low_upto += one_if(r <= low_max);
            high_below += one_if(r < high_min);
            high_upto += one_if(r <= high_max);
        }
        if (std::isnan(r)) continue;
        ++count;
        sum += r;
    }
    out.count = count;
    out.sum = sum;
    out.nonzero = negative + positive;
    out.positive = positive;
    if constexpr (kBrackets) {
        low.below = low_below;
        low.inside = low_upto - low_below;
        high.below = high_below;
        high.inside = high_upto - high_below;
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
// the tail brackets copied out (rare, so the branches are well predicted).
template <bool kCopy>
Moments second_pass(std::span<const double> returns, double mean, TailPercentiles& tails) {
    double sq_dev = -0.0, cube_dev = -0.0, quad_dev = -0.0, down_sq = -0.0, gains = -0.0, losses = -0.0;
    bool any_loss = false, any_gain = false;
    const Bracket low = tails.low_bracket();
    const Bracket high = tails.high_bracket();
    double* low_out = kCopy ? tails.low_out() : nullptr;
    double* high_out = kCopy ? tails.high_out() : nullptr;
    for (const double r : returns) {
        if (std::isnan(r)) continue;
        if constexpr (kCopy) {
            if (low.holds(r)) *low_out++ = r;
            if (high.holds(r)) *high_out++ = r;
        }
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
    const FirstPass first = kTails && tails.bracketed()
                                ? first_pass<true>(returns, tails.low_bracket(), tails.high_bracket())
                                : first_pass<false>(returns, tails.low_bracket(), tails.high_bracket());
    out.nonzero = first.nonzero;
    out.positive = first.positive;
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
