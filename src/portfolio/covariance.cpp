#include "portfolio/covariance.h"

#include <cmath>
#include <utility>

#include "core/format.h"
#include "core/output_size.h"

namespace tarnwick::portfolio::covariance {

namespace {

// Double-precision machine epsilon, 2^-52: the floor below which a variance or a target
// distance is rounding noise rather than signal.
constexpr double kEpsilon = 2.220446049250313e-16;

// n x n matrices alive at once at the peak: the sample, the target, the three sums of
// the intensity, the shrunk result and its Cholesky factor.
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

}  // namespace

Result<RiskModel, PortfolioError> estimate(std::span<const double> panel, std::size_t rows, std::size_t cols,
                                           std::vector<std::string> asset_ids, double periods_per_year) {
    if (auto ok = validate(panel, rows, cols, asset_ids.size(), periods_per_year); !ok) return err(ok.error());
    const std::size_t t_count = rows;
    const std::size_t n = cols;
    // The n x n matrices below are alive together; a panel of more assets than this
    // machine could hold them for is refused before the first is made.
    check_total({kSquareMatrices, n, n, sizeof(double)}, fmt::format("the covariance of {} assets", n));
    const double tf = static_cast<double>(t_count);
    const double inv_t = 1.0 / tf;

    // Every per-entry sum below accumulates over observations in ascending order; the
    // observation loop is outermost only so that each row is read once.
    std::vector<double> mean(n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t j = 0; j < n; ++j) mean[j] += panel[t * n + j];
    }
    for (double& m : mean) m /= tf;

    std::vector<double> c(panel.size());
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t j = 0; j < n; ++j) c[t * n + j] = panel[t * n + j] - mean[j];
    }

    std::vector<double> s(n * n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        const double* row = &c[t * n];
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i; j < n; ++j) s[i * n + j] += row[i] * row[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            s[i * n + j] /= tf;
            s[j * n + i] = s[i * n + j];
        }
    }

    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double var = s[i * n + i];
        // The second arm catches a column whose spread was lost in rounding next to its mean.
        if (var <= 0.0 || var < mean[i] * mean[i] * kEpsilon) return err(PortfolioError::zero_variance(i));
        sd[i] = std::sqrt(var);
    }

    double corr_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) corr_sum += s[i * n + j] / (sd[i] * sd[j]);
    }
    const double rbar = corr_sum / (static_cast<double>(n) * static_cast<double>(n - 1) / 2.0);

    // Computed above the diagonal and mirrored: sd(j) rbar sd(i) can round differently
    // from sd(i) rbar sd(j), and the model must stay exactly symmetric.
    std::vector<double> target(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        target[i * n + i] = s[i * n + i];
        for (std::size_t j = i + 1; j < n; ++j) target[i * n + j] = target[j * n + i] = sd[i] * rbar * sd[j];
    }

    // Asymptotic variances of the sample entries (pi) and the covariances of each entry
    // with the two variances it is scaled by (theta), over all ordered pairs.
    std::vector<double> pi_sum(n * n, 0.0);
    std::vector<double> theta_ii_sum(n * n, 0.0);
    std::vector<double> theta_jj_sum(n * n, 0.0);
    for (std::size_t t = 0; t < t_count; ++t) {
        const double* row = &c[t * n];
        for (std::size_t i = 0; i < n; ++i) {
            const double dev_ii = row[i] * row[i] - s[i * n + i];
            for (std::size_t j = 0; j < n; ++j) {
                const double dev_ij = row[i] * row[j] - s[i * n + j];
                pi_sum[i * n + j] += dev_ij * dev_ij;
                if (i == j) continue;
                theta_ii_sum[i * n + j] += dev_ij * dev_ii;
                theta_jj_sum[i * n + j] += dev_ij * (row[j] * row[j] - s[j * n + j]);
            }
        }
    }
    double pi = 0.0;
    for (double p : pi_sum) pi += inv_t * p;
    double pi_diag = 0.0;
    for (std::size_t i = 0; i < n; ++i) pi_diag += inv_t * pi_sum[i * n + i];
    double theta_term = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            const double sii = s[i * n + i];
            const double sjj = s[j * n + j];
            theta_term += std::sqrt(sjj / sii) * (inv_t * theta_ii_sum[i * n + j]) +
                          std::sqrt(sii / sjj) * (inv_t * theta_jj_sum[i * n + j]);
        }
    }
    const double rho = pi_diag + (rbar / 2.0) * theta_term;

    double gamma = 0.0;
    for (std::size_t k = 0; k < n * n; ++k) {
        const double d = target[k] - s[k];
        gamma += d * d;
    }

    double delta = 0.0;
    if (gamma > kEpsilon) {
        delta = ((pi - rho) / gamma) / tf;
        if (delta < 0.0) delta = 0.0;
        if (delta > 1.0) delta = 1.0;
    }

    std::vector<double> sigma(n * n);
    for (std::size_t k = 0; k < n * n; ++k) sigma[k] = s[k] * (1.0 - delta) + target[k] * delta;

    if (auto factor = cholesky(sigma, n); !factor) return err(std::move(factor).error());

    RiskModel model;
    model.cov = std::move(sigma);
    model.asset_ids = std::move(asset_ids);
    model.n_assets = n;
    model.periods_per_year = periods_per_year;
    model.shrinkage_intensity = delta;
    model.n_obs = t_count;
    return model;
}

Result<std::vector<double>, PortfolioError> cholesky(std::span<const double> a, std::size_t n) {
    if (a.size() != n * n) {
        return err(PortfolioError::shape_mismatch(
            fmt::format("expected {}x{}={} values, got {}", n, n, n * n, a.size())));
    }
    std::vector<double> l(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double dot = 0.0;
            for (std::size_t k = 0; k < j; ++k) dot += l[i * n + k] * l[j * n + k];
            const double s = a[i * n + j] - dot;
            if (j == i) {
                if (!std::isfinite(s) || !(s > 0.0)) {
                    return err(PortfolioError::not_positive_definite(
                        fmt::format("pivot {} at index {}", fmt::exp(s, 3), i)));
                }
                l[i * n + i] = std::sqrt(s);
            } else {
                l[i * n + j] = s / l[j * n + j];
            }
        }
    }
    return l;
}

}  // namespace tarnwick::portfolio::covariance
