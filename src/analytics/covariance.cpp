#include "analytics/covariance.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "analytics/cholesky.h"
#include "analytics/pair_moments.h"
#include "base/format.h"
#include "base/output_size.h"
#include "base/pool.h"

namespace tarnwick::analytics::covariance {

using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_total;
using base::err;

namespace {

// Double-precision machine epsilon, 2^-52: the floor below which a variance or a target
// distance is rounding noise rather than signal.
constexpr double kEpsilon = 2.220446049250313e-16;

// n x n matrices alive at once at the peak: the sample matrix, the intensity's two term
// matrices and the room for its sums, the shrunk result, and the Cholesky test's copy of
// it and its factor.
constexpr std::size_t kSquareMatrices = 7;

// The first value that is NaN or infinite (in row-major order) and the largest magnitude,
// read in blocks on the pool.
struct PanelScan {
    std::size_t first_non_finite = SIZE_MAX;
    double largest = 0.0;
};

// The magnitude's bits of a double: for non-negative doubles the bits order as the values,
// and NaN and the infinities lie above every finite value.
constexpr std::uint64_t kMagnitudeBits = 0x7fffffffffffffffULL;
constexpr std::uint64_t kInfinityBits = 0x7ff0000000000000ULL;

PanelScan scan_panel(std::span<const double> panel, bool use_pool) {
    constexpr std::size_t kBlockValues = std::size_t{1} << 16;
    const std::size_t blocks = (panel.size() + kBlockValues - 1) / kBlockValues;
    std::vector<PanelScan> parts(blocks);
    base::pool::for_each_index(blocks, use_pool, [&](std::size_t b) {
        const std::size_t begin = b * kBlockValues;
        const std::size_t end = std::min(panel.size(), begin + kBlockValues);
        // Four running maxima of the magnitude's bits, so that no comparison waits on the last.
        std::uint64_t top[4] = {0, 0, 0, 0};
        std::size_t k = begin;
        for (; k + 4 <= end; k += 4) {
            for (std::size_t q = 0; q < 4; ++q) {
                top[q] = std::max(top[q], std::bit_cast<std::uint64_t>(panel[k + q]) & kMagnitudeBits);
            }
        }
        for (; k < end; ++k) top[0] = std::max(top[0], std::bit_cast<std::uint64_t>(panel[k]) & kMagnitudeBits);
        const std::uint64_t largest = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
        PanelScan& part = parts[b];
        if (largest < kInfinityBits) {
            part.largest = std::bit_cast<double>(largest);
            return;
        }
        for (k = begin; std::isfinite(panel[k]); ++k) {
        }
        part.first_non_finite = k;
    });
    PanelScan all;
    for (const PanelScan& part : parts) {
        if (part.first_non_finite != SIZE_MAX) return part;
        all.largest = std::max(all.largest, part.largest);
    }
    return all;
}

// The checks after the panel's length, in their order.
Status<PortfolioError> validate(std::size_t rows, std::size_t cols, std::size_t id_count, double periods_per_year,
                                const PanelScan& scan) {
    if (scan.first_non_finite != SIZE_MAX) {
        return err(PortfolioError::non_finite(scan.first_non_finite / cols, scan.first_non_finite % cols));
    }
    if (id_count != cols) {
        return err(PortfolioError::shape_mismatch(base::fmt::format("{} asset_ids for {} columns", id_count, cols)));
    }
    if (rows < 2) {
        return err(PortfolioError::degenerate(base::fmt::format("need at least 2 observations, got {}", rows)));
    }
    if (cols < 2) return err(PortfolioError::degenerate(base::fmt::format("need at least 2 assets, got {}", cols)));
    if (!std::isfinite(periods_per_year) || !(periods_per_year > 0.0)) {
        return err(PortfolioError::degenerate(
            base::fmt::format("periods_per_year must be a positive finite number, got {}", periods_per_year)));
    }
    return Unit{};
}

PortfolioError too_large(const char* quantity) {
    return PortfolioError::degenerate(base::fmt::format("values too large: {} is not finite", quantity));
}

// 2^k brings the largest magnitude of a panel of small values into [0.5, 1). Scaling by a
// power of two changes no rounding, so the estimate is bit for bit the one in the
// caller's units wherever that one neither underflows nor loses digits to subnormal
// numbers; only panels of tiny values gain (their fourth powers would underflow). Larger
// panels are left as they are, so overflow is met and refused in the caller's units.
int prescale_exponent(double largest) {
    if (!(largest > 0.0)) return 0;
    int e = 0;
    (void)std::frexp(largest, &e);
    // The cap keeps 2^k itself a finite double for subnormal panels.
    return e < 0 ? std::min(-e, 1000) : 0;
}

// The constant-correlation target: F(i, i) = S(i, i), and above the diagonal
// sd(i) rbar sd(j), read mirrored below it (sd(j) rbar sd(i) can round differently, and the
// model must stay exactly symmetric).
struct Target {
    const PairTerms& terms;
    const std::vector<double>& sd;
    double rbar;
    double operator()(std::size_t i, std::size_t j) const {
        if (i == j) return terms.at(terms.cov, i, i);
        return i < j ? sd[i] * rbar * sd[j] : sd[j] * rbar * sd[i];
    }
};

// The scalars of the intensity. Every sum runs over its entries in row-major order from
// 0.0; sums that do not depend on each other run side by side on the pool, each whole on
// one worker, in two rounds (gamma needs rbar, and the guard's squares the largest S).
struct IntensitySums {
    double rbar = 0.0;
    double pi = 0.0;
    double rho = 0.0;
    double gamma = 0.0;
    bool distinct = false;  // the guard: gamma > eps x (sum of S(i, j)^2)
};

Result<IntensitySums, PortfolioError> intensity_sums(const PairTerms& terms, const std::vector<double>& sd,
                                                     std::size_t n, bool use_pool) {
    auto s = [&](std::size_t i, std::size_t j) { return terms.at(terms.cov, i, j); };
    bool finite = true;
    double largest = 0.0;
    double corr_sum = 0.0;
    double pi = 0.0;
    double pi_diag = 0.0;
    double theta_term = 0.0;  // never -0, so the diagonal's stored +0 terms change nothing
    auto sample_sums = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                finite = finite && std::isfinite(s(i, j));
                largest = std::max(largest, std::fabs(s(i, j)));
                if (j > i) corr_sum += s(i, j) / (sd[i] * sd[j]);
            }
        }
    };
    auto pi_sums = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) pi += terms.at(terms.pi, i, j);
            pi_diag += terms.at(terms.pi, i, i);
        }
    };
    auto theta_sum = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) theta_term += terms.at(terms.theta, i, j);
        }
    };
    base::pool::for_each_index(3, use_pool, [&](std::size_t task) {
        if (task == 0)
            sample_sums();
        else if (task == 1)
            pi_sums();
        else
            theta_sum();
    });
    if (!finite) return err(too_large("S"));
    IntensitySums out;
    out.rbar = corr_sum / (static_cast<double>(n) * static_cast<double>(n - 1) / 2.0);
    out.pi = pi;
    out.rho = pi_diag + (out.rbar / 2.0) * theta_term;
    const Target target{terms, sd, out.rbar};
    // The guard's sum of squares is taken with S brought near 1 by a power of two (exact),
    // so that it neither overflows nor lets a small sample matrix switch the shrinkage off.
    int e = 0;
    (void)std::frexp(largest, &e);
    const double r = std::ldexp(1.0, -e);
    double squares = 0.0;
    auto gamma_sum = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double d = target(i, j) - s(i, j);
                out.gamma += d * d;
            }
        }
    };
    auto square_sum = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) squares += (s(i, j) * r) * (s(i, j) * r);
        }
    };
    base::pool::for_each_index(2, use_pool, [&](std::size_t task) {
        if (task == 0)
            gamma_sum();
        else
            square_sum();
    });
    if (!std::isfinite(out.pi)) return err(too_large("pi"));
    if (!std::isfinite(out.rho)) return err(too_large("rho"));
    if (!std::isfinite(out.gamma)) return err(too_large("gamma"));
    out.distinct = out.gamma * r * r > kEpsilon * squares;
    return out;
}

// Each column's standard deviation; a column without spread is refused.
Result<std::vector<double>, PortfolioError> column_sd(const CentredPanel& centred, std::size_t n) {
    const std::vector<double>& mean = centred.mean;
    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double var = centred.variance[i];
        // The second arm catches a column whose spread was lost in rounding next to its mean.
        if (var <= 0.0 || var < mean[i] * mean[i] * kEpsilon) return err(PortfolioError::zero_variance(i));
        sd[i] = std::sqrt(var);
    }
    return sd;
}

// The weight of the target, clamped to [0, 1]; 0 when the target is no different from the
// sample matrix. `tf` is the observation count.
double shrinkage_intensity(const IntensitySums& sums, double tf) noexcept {
    if (!sums.distinct) return 0.0;
    double delta = ((sums.pi - sums.rho) / sums.gamma) / tf;
    if (delta < 0.0) delta = 0.0;
    if (delta > 1.0) delta = 1.0;
    return delta;
}

// (1 - delta) S + delta F, row by row on the pool, back in the caller's units: the two
// factors of 2^-k are exact.
std::vector<double> shrunk(const PairTerms& terms, const Target& target, double delta, int k, std::size_t n,
                           bool use_pool) {
    const double unscale = std::ldexp(1.0, -k);
    std::vector<double> sigma(n * n);
    base::pool::for_each_index(n, use_pool, [&](std::size_t i) {
        for (std::size_t j = 0; j < n; ++j) {
            sigma[i * n + j] = (terms.at(terms.cov, i, j) * (1.0 - delta) + target(i, j) * delta) * unscale * unscale;
        }
    });
    return sigma;
}

}  // namespace

Result<RiskModel, PortfolioError> estimate(std::span<const double> panel, std::size_t rows, std::size_t cols,
                                           std::vector<std::string> asset_ids, double periods_per_year,
                                           const KernelPlan& plan) {
    if (panel.size() != rows * cols) {
        return err(PortfolioError::shape_mismatch(
            base::fmt::format("expected {}x{}={} values, got {}", rows, cols, rows * cols, panel.size())));
    }
    const PanelScan scan = scan_panel(panel, plan.use_pool && panel.size() > (std::size_t{1} << 18));
    if (auto ok = validate(rows, cols, asset_ids.size(), periods_per_year, scan); !ok) {
        return err(ok.error());
    }
    const std::size_t t_count = rows;
    const std::size_t n = cols;
    // The n x n matrices below are alive together; a panel of more assets than the
    // process can hold them for now is refused before the first is made.
    check_total({kSquareMatrices, n, n, sizeof(double)}, base::fmt::format("the covariance of {} assets", n));
    const double tf = static_cast<double>(t_count);

    const int k = prescale_exponent(scan.largest);
    const CentredPanel centred = centre_panel(panel, rows, cols, std::ldexp(1.0, k), plan);
    auto sd = column_sd(centred, n);
    if (!sd) return err(std::move(sd).error());

    const PairTerms terms = pair_terms(centred, plan);
    auto sums = intensity_sums(terms, *sd, n, plan.use_pool && n >= 256);
    if (!sums) return err(std::move(sums).error());
    const double delta = shrinkage_intensity(*sums, tf);
    std::vector<double> sigma = shrunk(terms, Target{terms, *sd, sums->rbar}, delta, k, n, plan.use_pool && n >= 256);

    if (auto factor = factor_columns(sigma, n, plan); !factor) return err(std::move(factor).error());

    RiskModel model;
    model.cov = std::move(sigma);
    model.asset_ids = std::move(asset_ids);
    model.n_assets = n;
    model.periods_per_year = periods_per_year;
    model.shrinkage_intensity = delta;
    model.n_obs = t_count;
    return model;
}

}  // namespace tarnwick::analytics::covariance
