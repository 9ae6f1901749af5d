#include "portfolio/covariance.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/format.h"
#include "core/output_size.h"
#include "portfolio/cholesky.h"
#include "portfolio/pair_moments.h"

namespace tarnwick::portfolio::covariance {

namespace {

// Double-precision machine epsilon, 2^-52: the floor below which a variance or a target
// distance is rounding noise rather than signal.
constexpr double kEpsilon = 2.220446049250313e-16;

// n x n matrices alive at once at the peak: the sample matrix, the intensity's two term
// matrices and the room for its sums, the shrunk result, and the Cholesky test's copy of
// it and its factor.
constexpr std::size_t kSquareMatrices = 7;

Status<PortfolioError> validate(std::span<const double> panel, std::size_t rows, std::size_t cols,
                                std::size_t id_count, double periods_per_year) {
    if (panel.size() != rows * cols) {
        return err(PortfolioError::shape_mismatch(
            fmt::format("expected {}x{}={} values, got {}", rows, cols, rows * cols, panel.size())));
    }
    for (std::size_t k = 0; k < panel.size(); ++k) {
        if (!std::isfinite(panel[k])) return err(PortfolioError::non_finite(k / cols, k % cols));
    }
    if (id_count != cols) {
        return err(PortfolioError::shape_mismatch(fmt::format("{} asset_ids for {} columns", id_count, cols)));
    }
    if (rows < 2) {
        return err(PortfolioError::degenerate(fmt::format("need at least 2 observations, got {}", rows)));
    }
    if (cols < 2) return err(PortfolioError::degenerate(fmt::format("need at least 2 assets, got {}", cols)));
    if (!std::isfinite(periods_per_year) || !(periods_per_year > 0.0)) {
        return err(PortfolioError::degenerate(
            fmt::format("periods_per_year must be a positive finite number, got {}", periods_per_year)));
    }
    return Unit{};
}

PortfolioError too_large(const char* quantity) {
    return PortfolioError::degenerate(fmt::format("values too large: {} is not finite", quantity));
}

// 2^k brings the largest magnitude of a panel of small values into [0.5, 1). Scaling by a
// power of two changes no rounding, so the estimate is bit for bit the one in the
// caller's units wherever that one neither underflows nor loses digits to subnormal
// numbers; only panels of tiny values gain (their fourth powers would underflow). Larger
// panels are left as they are, so overflow is met and refused in the caller's units.
int prescale_exponent(std::span<const double> panel) {
    double largest = 0.0;
    for (double x : panel) largest = std::max(largest, std::fabs(x));
    if (!(largest > 0.0)) return 0;
    int e = 0;
    (void)std::frexp(largest, &e);
    // The cap keeps 2^k itself a finite double for subnormal panels.
    return e < 0 ? std::min(-e, 1000) : 0;
}

// The intensity's guard: the target must differ from the sample matrix by more than
// rounding at the sample matrix's own scale, gamma > eps x (sum of S(i, j)^2). Both sides
// are compared after the same power-of-two rescaling (exact), so that neither the sum of
// squares overflows nor a small sample matrix switches the shrinkage off.
bool target_is_distinct(double gamma, const PairTerms& terms, std::size_t n) {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) largest = std::max(largest, std::fabs(terms.at(terms.cov, i, j)));
    }
    int e = 0;
    (void)std::frexp(largest, &e);
    const double r = std::ldexp(1.0, -e);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double v = terms.at(terms.cov, i, j) * r;
            squares += v * v;
        }
    }
    return gamma * r * r > kEpsilon * squares;
}

}  // namespace

Result<RiskModel, PortfolioError> estimate(std::span<const double> panel, std::size_t rows, std::size_t cols,
                                           std::vector<std::string> asset_ids, double periods_per_year,
                                           const KernelPlan& plan) {
    if (auto ok = validate(panel, rows, cols, asset_ids.size(), periods_per_year); !ok) return err(ok.error());
    const std::size_t t_count = rows;
    const std::size_t n = cols;
    // The n x n matrices below are alive together; a panel of more assets than this
    // machine could hold them for is refused before the first is made.
    check_total({kSquareMatrices, n, n, sizeof(double)}, fmt::format("the covariance of {} assets", n));
    const double tf = static_cast<double>(t_count);

    const int k = prescale_exponent(panel);
    const CentredPanel centred = centre_panel(panel, rows, cols, std::ldexp(1.0, k), plan);
    const std::vector<double>& mean = centred.mean;
    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double var = centred.variance[i];
        // The second arm catches a column whose spread was lost in rounding next to its mean.
        if (var <= 0.0 || var < mean[i] * mean[i] * kEpsilon) return err(PortfolioError::zero_variance(i));
        sd[i] = std::sqrt(var);
    }

    const PairTerms terms = pair_terms(centred, plan);
    auto s = [&](std::size_t i, std::size_t j) { return terms.at(terms.cov, i, j); };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (!std::isfinite(s(i, j))) return err(too_large("S"));
        }
    }

    double corr_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) corr_sum += s(i, j) / (sd[i] * sd[j]);
    }
    const double rbar = corr_sum / (static_cast<double>(n) * static_cast<double>(n - 1) / 2.0);
    // The target above the diagonal, read mirrored below it: sd(j) rbar sd(i) can round
    // differently from sd(i) rbar sd(j), and the model must stay exactly symmetric.
    auto target = [&](std::size_t i, std::size_t j) {
        if (i == j) return s(i, i);
        return i < j ? sd[i] * rbar * sd[j] : sd[j] * rbar * sd[i];
    };

    // Independent sums, each in row-major order, formed side by side.
    double pi = 0.0;
    double pi_diag = 0.0;
    double theta_term = 0.0;
    double gamma = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            pi += terms.at(terms.pi, i, j);
            if (i != j) theta_term += terms.at(terms.theta, i, j);
            const double d = target(i, j) - s(i, j);
            gamma += d * d;
        }
        pi_diag += terms.at(terms.pi, i, i);
    }
    const double rho = pi_diag + (rbar / 2.0) * theta_term;
    if (!std::isfinite(pi)) return err(too_large("pi"));
    if (!std::isfinite(rho)) return err(too_large("rho"));
    if (!std::isfinite(gamma)) return err(too_large("gamma"));

    double delta = 0.0;
    if (target_is_distinct(gamma, terms, n)) {
        delta = ((pi - rho) / gamma) / tf;
        if (delta < 0.0) delta = 0.0;
        if (delta > 1.0) delta = 1.0;
    }

    // Back to the caller's units: the two factors of 2^-k are exact.
    const double unscale = std::ldexp(1.0, -k);
    std::vector<double> sigma(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            sigma[i * n + j] = (s(i, j) * (1.0 - delta) + target(i, j) * delta) * unscale * unscale;
        }
    }

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

}  // namespace tarnwick::portfolio::covariance
