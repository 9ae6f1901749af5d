#include "metrics/return_stats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarnwick::metrics {

namespace {

// Linear interpolation between the order statistics around position (n - 1) x p.
double percentile(const std::vector<double>& sorted, double p) {
    const double pos = static_cast<double>(sorted.size() - 1) * p;
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const auto hi = static_cast<std::size_t>(std::ceil(pos));
    const double frac = pos - static_cast<double>(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

}  // namespace

ReturnStats return_stats(std::span<const double> returns, double periods_per_year, double risk_free_rate) {
    ReturnStats out;
    std::size_t count = 0;
    double sum = -0.0;
    for (const double r : returns) {
        if (std::isnan(r)) continue;
        ++count;
        sum += r;
    }
    if (count < 2) return out;

    const double n = static_cast<double>(count);
    const double mean = sum / n;
    const double rf_per_period = periods_per_year > 0.0 ? risk_free_rate / periods_per_year : 0.0;
    const double excess = mean - rf_per_period;

    double sq_dev = -0.0;
    double cube_dev = -0.0;
    double quad_dev = -0.0;
    double down_sq = -0.0;
    double gains = -0.0;
    double losses = -0.0;
    bool any_loss = false;
    bool any_gain = false;
    for (const double r : returns) {
        if (std::isnan(r)) continue;
        const double d = r - mean;
        const double d2 = d * d;
        sq_dev += d2;
        cube_dev += d2 * d;
        quad_dev += d2 * d2;
        if (r < 0.0) {
            any_loss = true;
            down_sq += r * r;
            losses += std::fabs(r);
        } else if (r > 0.0) {
            any_gain = true;
            gains += r;
        }
    }

    const double variance = sq_dev / (n - 1.0);
    out.sharpe = variance > 0.0 ? excess / std::sqrt(variance) * std::sqrt(periods_per_year) : 0.0;

    // Downside deviation over all n periods, not only the losing ones.
    const double downside = std::sqrt(down_sq / n);
    if (any_loss && downside > 0.0) {
        out.sortino = std::sqrt(periods_per_year) * excess / downside;
    } else {
        out.sortino = excess > 0.0 ? INFINITY : 0.0;
    }

    if (losses > 0.0) {
        out.omega = gains / losses;
    } else {
        out.omega = any_gain ? INFINITY : 1.0;
    }

    const double m2 = sq_dev / n;
    if (count >= 3 && m2 > 0.0) {
        const double m3 = cube_dev / n;
        out.skew = std::sqrt(n * (n - 1.0)) * (m3 / std::pow(m2, 1.5)) / (n - 2.0);
        if (count >= 4) {
            const double m4 = quad_dev / n;
            const double g = m4 / (m2 * m2) - 3.0;
            out.kurtosis = (n - 1.0) * ((n + 1.0) * g + 6.0) / ((n - 2.0) * (n - 3.0));
        }
    }
    return out;
}

std::optional<double> tail_ratio(std::span<const double> returns) {
    std::vector<double> sorted;
    sorted.reserve(returns.size());
    for (const double r : returns) {
        if (!std::isnan(r)) sorted.push_back(r);
    }
    if (sorted.size() < 20) return std::nullopt;
    std::sort(sorted.begin(), sorted.end());
    const double p5 = percentile(sorted, 0.05);
    if (p5 == 0.0) return std::nullopt;
    const double p95 = percentile(sorted, 0.95);
    return std::fabs(p95 / p5);
}

}  // namespace tarnwick::metrics
