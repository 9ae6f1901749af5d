#include "analytics/monte_carlo.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>

#include "analytics/monte_carlo_paths.h"
#include "base/format.h"
#include "base/output_size.h"
#include "base/pool.h"
#include "base/saturate.h"
#include "domain/backtest_config.h"

namespace tarnwick::analytics {

using base::OwnError;
using base::Result;
using base::SizeFactor;
using base::Status;
using base::Unit;
using base::allocate_product;
using base::err;
using base::sat_cast_u64;

namespace {

constexpr double kDt = 1.0;
constexpr std::array<double, 5> kPercentiles = {5.0, 25.0, 50.0, 75.0, 95.0};

struct AssetDrift {
    double mu = 0.0;
    double sigma = 0.0;
};

// Population mean and standard deviation, the deviation floored at 1e-10 so a constant
// series still diffuses; an empty series contributes nothing.
AssetDrift drift_of(const std::vector<double>& series) {
    if (series.empty()) return {};
    const double m = static_cast<double>(series.size());
    double sum = -0.0;
    for (double x : series) sum += x;
    const double mu = sum / m;
    double ss = -0.0;
    for (double x : series) ss += (x - mu) * (x - mu);
    return {mu, std::fmax(std::sqrt(ss / m), 1e-10)};
}

// The total order of final values: -inf first, then the finite values ascending, then
// +inf, NaN last. Whether x goes strictly before y.
bool before(double x, double y) { return !std::isnan(x) && (std::isnan(y) || x < y); }

// Stable bottom-up merge sort in that order: equal values (0 and -0 among them) keep path
// order.
void sort_finals(std::vector<double>& v) {
    std::vector<double> buf(v.size());
    for (std::size_t width = 1; width < v.size(); width *= 2) {
        for (std::size_t lo = 0; lo < v.size(); lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, v.size());
            const std::size_t hi = std::min(lo + 2 * width, v.size());
            std::size_t a = lo;
            std::size_t b = mid;
            std::size_t k = lo;
            while (a < mid && b < hi) buf[k++] = before(v[b], v[a]) ? v[b++] : v[a++];
            while (a < mid) buf[k++] = v[a++];
            while (b < hi) buf[k++] = v[b++];
        }
        v.swap(buf);
    }
}

// Whether a and b are the same place in that order.
bool same_final(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// round(p x (n - 1)), halves away from zero, capped at n - 1.
std::size_t rank_index(double p, std::size_t n) {
    const auto k = static_cast<std::size_t>(sat_cast_u64(std::round(p * static_cast<double>(n - 1))));
    return std::min(k, n - 1);
}

double non_negative(double x) { return x > 0.0 ? x : 0.0; }  // NaN reads as 0

// The mean of finite values whose running sum, taken in order, left the double range. The
// same sum is taken over the values scaled down by 2^s with 2^(s-1) > count, so that no
// partial sum can reach the top of the range, then scaled back up; scaling by a power of
// two is exact above the subnormal range, and values down there are far below the ulp of a
// sum that overflowed. The true mean lies between the extremes, so the result is held there
// against the last rounding.
double overflowed_mean(std::span<const double> xs) {
    const int s = static_cast<int>(std::bit_width(xs.size())) + 1;
    double sum = -0.0;
    double lowest = xs.front();
    double highest = xs.front();
    for (double x : xs) {
        sum += std::ldexp(x, -s);
        lowest = std::fmin(lowest, x);
        highest = std::fmax(highest, x);
    }
    return std::clamp(std::ldexp(sum / static_cast<double>(xs.size()), s), lowest, highest);
}

// Mean of finite values from their plain sum in order; only a sum that overflowed is taken
// again, so every result within range keeps its bits.
double finite_mean(double plain_sum, std::span<const double> xs) {
    if (std::isfinite(plain_sum)) return plain_sum / static_cast<double>(xs.size());
    return overflowed_mean(xs);
}

// (v0 - level) / v0 in percent. Two values of opposite signs near the top of the range
// have a difference past it; halved first, they give the same quotient halved, exactly.
double shortfall_percent(double v0, double level) {
    const double d = v0 - level;
    if (std::isfinite(d)) return d / v0 * 100.0;
    return (0.5 * v0 - 0.5 * level) / v0 * 200.0;
}

}  // namespace

Status<OwnError> check_mc_request(const McRequest& q) {
    // At 0 every return is 0 / 0, and below 0 a loss would read as a gain.
    if (auto s = domain::check_positive("initial_value", q.initial_value); !s) return s;
    const std::size_t n = q.returns.size();
    if (n == 0) return err(OwnError{"returns must contain at least one asset series"});
    if (q.weights.size() != n) {
        return err(OwnError{base::fmt::format(
            "weights has {} entries but returns has {} asset series; returns is a list of per-asset series, not an "
            "(n_obs, n_assets) matrix",
            q.weights.size(), n)});
    }
    bool square = q.correlation.size() == n;
    for (std::size_t i = 0; square && i < n; ++i) square = q.correlation[i].size() == n;
    if (!square) {
        return err(
            OwnError{base::fmt::format("correlation_matrix must be {}x{} to match the {} asset series", n, n, n)});
    }
    // Zero paths leave nothing to take statistics or percentile paths from.
    if (q.n_simulations == 0) return err(OwnError{"n_simulations must be >= 1"});
    return Unit{};
}

Result<std::vector<double>, OwnError> cholesky_lower(const std::vector<std::vector<double>>& c) {
    const std::size_t n = c.size();
    std::vector<double> l(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = -0.0;
            for (std::size_t k = 0; k < j; ++k) s += l[i * n + k] * l[j * n + k];
            if (j < i) {
                const double pivot = l[j * n + j];
                if (std::fabs(pivot) < 1e-15) {
                    return err(OwnError{base::fmt::format(
                        "correlation matrix is singular (zero pivot at asset {}); assets {} and {} are perfectly "
                        "collinear or a row is all zeros",
                        j, i, j)});
                }
                l[i * n + j] = (c[i][j] - s) / pivot;
            } else {
                const double d = c[i][i] - s;
                if (d <= 0.0) {
                    return err(OwnError{base::fmt::format(
                        "correlation matrix is not positive definite (non-positive pivot {} at asset {}); it cannot "
                        "be decomposed, and simulating through a repaired version would report risk figures for a "
                        "correlation structure you did not supply",
                        base::fmt::exp(d, 3), i)});
                }
                l[i * n + i] = std::sqrt(d);
            }
        }
    }
    return l;
}

Result<McSummary, OwnError> simulate_portfolio_mc(const McRequest& q) {
    if (auto s = check_mc_request(q); !s) return err(s.error());
    // The stored paths, N x (H + 1) values, are by far the largest piece: sized without
    // wrapping and taken before any stream or path is built, so that a request the
    // process cannot hold now fails at once (OutOfMemory) instead of after the work.
    std::vector<double> paths =
        allocate_product<double>({q.n_simulations, SizeFactor{q.horizon} + 1},
                                 base::fmt::format("the paths ({} paths of {} steps)", q.n_simulations, q.horizon));
    PathModel model;
    model.n = q.returns.size();
    model.weights = q.weights;
    model.v0 = q.initial_value;
    model.horizon = static_cast<std::size_t>(q.horizon);
    model.scale.resize(model.n);
    model.drift.resize(model.n);
    for (std::size_t i = 0; i < model.n; ++i) {
        const AssetDrift d = drift_of(q.returns[i]);
        model.scale[i] = d.sigma * std::sqrt(kDt);
        model.drift[i] = (d.mu - 0.5 * d.sigma * d.sigma) * kDt;
    }
    auto l = cholesky_lower(q.correlation);
    if (!l) return err(l.error());
    model.l = std::move(l).value();
    model.per_path = path_leap(model.n, model.horizon);

    const auto n_paths = static_cast<std::size_t>(q.n_simulations);
    const std::size_t stride = model.horizon + 1;
    const std::size_t n_blocks = (n_paths + kPathsPerStream - 1) / kPathsPerStream;
    std::vector<Xoshiro256> streams;
    streams.reserve(n_blocks);
    Xoshiro256 rng(q.seed);
    for (std::size_t b = 0; b < n_blocks; ++b) {
        if (b > 0) rng.jump();
        streams.push_back(rng);
    }

    auto done = base::pool::parallel_map<Unit, OwnError>(n_blocks, [&](std::size_t b) -> Result<Unit, OwnError> {
        const std::size_t first = b * kPathsPerStream;
        simulate_paths(model, streams[b], std::min(kPathsPerStream, n_paths - first), paths.data() + first * stride);
        return Unit{};
    });
    if (!done.ok()) return err(std::move(done).error().second);

    return summarise_paths(paths, n_paths, model.horizon, q.initial_value);
}

McSummary summarise_paths(std::span<const double> paths, std::size_t n_paths, std::size_t horizon, double v0) {
    const std::size_t stride = horizon + 1;
    McSummary out;
    out.final_values.resize(n_paths);
    for (std::size_t p = 0; p < n_paths; ++p) out.final_values[p] = paths[p * stride + horizon];
    const std::vector<double> finals = out.final_values;  // path order, for the percentile search
    sort_finals(out.final_values);
    const std::vector<double>& sorted = out.final_values;

    // The finite values sit together between the -inf and the +inf/NaN ends of the order.
    const auto lo = std::find_if(sorted.begin(), sorted.end(), [](double x) { return std::isfinite(x); });
    const auto hi = std::find_if(lo, sorted.end(), [](double x) { return !std::isfinite(x); });
    const std::span<const double> finite(lo, hi);
    const std::size_t m = finite.size();
    const double mf = static_cast<double>(m);
    double sum = -0.0;
    std::size_t losses = 0;
    for (double x : finite) {
        sum += x;
        if (x < v0) ++losses;
    }
    // With no finite final value the mean and the loss share are 0/0: NaN, said as such.
    out.expected_return = (finite_mean(sum, finite) / v0 - 1.0) * 100.0;
    out.probability_of_loss = static_cast<double>(losses) / mf;
    // Nor is there a tail: a run that failed everywhere has no risk figure, not a zero one.
    out.var_95 = std::numeric_limits<double>::quiet_NaN();
    out.cvar_95 = std::numeric_limits<double>::quiet_NaN();
    if (m > 0) {
        const std::size_t k = rank_index(0.05, m);
        out.var_95 = non_negative(shortfall_percent(v0, finite[k]));
        double tail = -0.0;
        for (std::size_t i = 0; i <= k; ++i) tail += finite[i];
        out.cvar_95 = non_negative(shortfall_percent(v0, finite_mean(tail, finite.first(k + 1))));
    }

    // The path at each percentile's place in the order: the lowest-indexed path whose final
    // value is that place's value (for finite values, the closest one, as no other is
    // closer than an equal one).
    for (std::size_t pi = 0; pi < kPercentiles.size(); ++pi) {
        const double target = sorted[rank_index(kPercentiles[pi] / 100.0, n_paths)];
        std::size_t best = 0;
        while (!same_final(finals[best], target)) ++best;
        const double* path = paths.data() + best * stride;
        out.percentile_paths[pi] = PercentilePath{kPercentiles[pi], std::vector<double>(path, path + stride)};
    }
    return out;
}

}  // namespace tarnwick::analytics
