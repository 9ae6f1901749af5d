// The Cholesky factor column by column, as the estimator's positive-definiteness test.
//
// Every entry is A(i, j) minus the sum over k < j, in ascending order from 0.0, of
// L(i, k) L(j, k), then the square root (diagonal) or the quotient by L(j, j), as a row by
// row loop forms it; so is the first pivot that fails. Columns are finished 32 at a time:
// the part of every row's sums over the columns already finished is a product of panels
// whose vector lanes hold different rows, split over the worker pool by rows, and each sum
// then goes on in the same order over the block's own columns.
#pragma once

#include <cstddef>
#include <span>

#include "analytics/covariance.h"
#include "base/block_cache.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics::covariance {

struct ColumnFactor {
    std::size_t n = 0;
    std::size_t rows = 0;  // n padded; rows past n are no part of the factor
    base::Curve panels;    // L(i, j) at [((i / 8) * n + j) * 8 + i % 8], zero for j > i
    double at(std::size_t i, std::size_t j) const { return panels[((i / 8) * n + j) * 8 + i % 8]; }
};

// Reads only the lower triangle of the row-major n x n matrix `a` (a.size() == n * n).
base::Result<ColumnFactor, base::PortfolioError> factor_columns(std::span<const double> a, std::size_t n,
                                                                const KernelPlan& plan);

}  // namespace tarnwick::analytics::covariance
