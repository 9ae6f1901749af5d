#include "analytics/risk_contrib.h"

#include <algorithm>
#include <cmath>

#include "base/format.h"

namespace tarnwick::analytics {

using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using base::fault;

Status<PortfolioError> check_asset_alignment(const RiskModel& model, std::span<const std::string> asset_ids) {
    if (asset_ids.size() != model.n_assets) {
        return err(PortfolioError::asset_ids_mismatch(
            base::fmt::format("model has {} assets, caller supplied {}", model.n_assets, asset_ids.size())));
    }
    const std::size_t common = std::min(asset_ids.size(), model.asset_ids.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (model.asset_ids[i] != asset_ids[i]) {
            return err(PortfolioError::asset_ids_mismatch(
                base::fmt::format("position {}: model '{}' vs caller '{}'", i, model.asset_ids[i], asset_ids[i])));
        }
    }
    return Unit{};
}

Result<RiskContributions, PortfolioError> risk_contributions(const RiskModel& model, std::span<const double> weights) {
    const std::size_t n = model.n_assets;
    if (weights.size() != n) {
        return err(PortfolioError::shape_mismatch(base::fmt::format("{} weights for {} assets", weights.size(), n)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(weights[i])) return err(PortfolioError::non_finite(0, i));
    }
    if (model.cov.size() != n * n) fault("risk model covariance does not match its asset count");

    std::vector<double> sigma_w(n);
    for (std::size_t r = 0; r < n; ++r) {
        double acc = -0.0;
        for (std::size_t k = 0; k < n; ++k) acc += model.cov[r * n + k] * weights[k];
        sigma_w[r] = acc;
    }
    double var = -0.0;
    for (std::size_t i = 0; i < n; ++i) var += weights[i] * sigma_w[i];
    if (var <= 0.0) {
        return err(PortfolioError::degenerate(base::fmt::format(
            "portfolio variance {} is not positive; risk decomposition undefined", base::fmt::exp(var, 3))));
    }
    // Only overflow gets here: an infinite or NaN variance would decompose into zeros and NaNs.
    if (!std::isfinite(var)) {
        return err(PortfolioError::degenerate(base::fmt::format(
            "portfolio variance {} is not finite; risk decomposition undefined", base::fmt::exp(var, 3))));
    }

    const double sigma = std::sqrt(var);
    RiskContributions out;
    out.marginal.resize(n);
    out.contribution.resize(n);
    out.pct_contribution.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.marginal[i] = sigma_w[i] / sigma;
        out.contribution[i] = weights[i] * out.marginal[i];
        out.pct_contribution[i] = out.contribution[i] / sigma;
    }
    out.total_vol_annualized = sigma * std::sqrt(model.periods_per_year);
    return out;
}

}  // namespace tarnwick::analytics
