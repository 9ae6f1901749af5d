// Risk models: the shrunk covariance of a returns panel, and the Cholesky test that
// proves it positive definite.
//
// Returns are per-period simple returns (fractions). The covariance stays per period;
// only its users annualise, by sqrt(periods_per_year), which the model carries so that
// the annualisation travels with the matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "base/simd.h"

namespace tarnwick::analytics {

struct RiskModel {
    std::vector<double> cov;  // n_assets x n_assets, row-major, symmetric, positive definite
    std::vector<std::string> asset_ids;  // column order of the panel it was estimated from
    std::uint64_t n_assets = 0;
    double periods_per_year = 0.0;  // finite and > 0
    double shrinkage_intensity = 0.0;  // in [0, 1]
    std::uint64_t n_obs = 0;
};

namespace covariance {

// How the estimator's kernels run: the vector width, and whether their tiles go to the
// worker pool or run one after another on the calling thread. Neither changes a bit of
// any result; tests pin both.
struct KernelPlan {
    base::simd::Isa isa = base::simd::widest_isa();
    bool use_pool = true;
};

// Sample covariance (divisor T) shrunk toward the constant-correlation target with the
// Ledoit-Wolf (2004) intensity. `panel` is rows x cols, row-major: rows are observations,
// columns assets. Sums whose values leave the double range are refused (Degenerate,
// "values too large: {} is not finite" naming S, pi, rho or gamma), never carried on.
base::Result<RiskModel, base::PortfolioError> estimate(std::span<const double> panel, std::size_t rows,
                                                       std::size_t cols, std::vector<std::string> asset_ids,
                                                       double periods_per_year, const KernelPlan& plan = {});

// Lower-triangular L with L L' = a (row-major, upper triangle zero), or
// NotPositiveDefinite naming the first pivot that is not a positive finite number. Only
// the lower triangle of `a` is read. Every entry is A(i, j) minus the sum over k < j, in
// ascending order from 0.0, of L(i, k) L(j, k).
base::Result<std::vector<double>, base::PortfolioError> cholesky(std::span<const double> a, std::size_t n,
                                                                 const KernelPlan& plan = {});

}  // namespace covariance

}  // namespace tarnwick::analytics
