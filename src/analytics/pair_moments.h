// The sums over observations behind the shrunk covariance, for every pair of columns of a
// returns panel at once: the cross products of the sample covariance and the three
// fourth-moment sums of the shrinkage intensity.
//
// Each sum runs over the observations in ascending order from 0.0, exactly as a plain loop
// over them would, whatever the vector width and the worker count: vector lanes hold
// different pairs (never different observations of one pair), and the pairs are cut into
// tiles that share no sum. Each tile runs whole on one worker of the pool, a few hundred
// observations at a time, so that the slice of the panel it works on stays in the
// worker's own cache.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "analytics/covariance.h"
#include "base/block_cache.h"

namespace tarnwick::analytics::covariance {

// Columns per packed group: one cache line of a group's row.
inline constexpr std::size_t kGroup = 8;

// Group after group of kGroup columns, each group `rows` x kGroup values in observation
// order, its columns past the panel's last one zero.
class PackedColumns {
public:
    void reset(std::size_t groups, std::size_t rows);
    double* group(std::size_t g) { return base_ + g * rows_ * kGroup; }
    const double* group(std::size_t g) const { return base_ + g * rows_ * kGroup; }

private:
    base::Curve store_;
    double* base_ = nullptr;
    std::size_t rows_ = 0;
};

// The panel centred on its column means. Every value is first multiplied by `scale`, a
// power of two, which changes no rounding of anything that follows.
struct CentredPanel {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t groups = 0;
    std::vector<double> mean;      // m(j) = (sum over t of x(t, j)) / T
    std::vector<double> variance;  // S(j, j) = (sum over t of c(t, j)^2) / T
    PackedColumns centred;         // c(t, j) = x(t, j) - m(j)
    PackedColumns spread;          // c(t, j)^2 - S(j, j)
};

CentredPanel centre_panel(std::span<const double> panel, std::size_t rows, std::size_t cols, double scale,
                          const KernelPlan& plan);

// Per pair, with dev(t) = c(t, i) c(t, j) - S(i, j): S(i, j) = (sum of c(t, i) c(t, j)) / T;
// pi(i, j) = (1/T) x sum of dev(t)^2; and the pair's term of the rho sum,
// sqrt(S(j, j)/S(i, i)) x (1/T) x sum of dev(t) (c(t, i)^2 - S(i, i)) +
// sqrt(S(i, i)/S(j, j)) x (1/T) x sum of dev(t) (c(t, j)^2 - S(j, j)), which an ordered
// pair and its reverse share bit for bit. Square arrays of `stride` columns, row-major,
// both triangles filled for i, j < cols; theta is 0 on the diagonal.
struct PairTerms {
    std::size_t stride = 0;
    base::Curve cov;
    base::Curve pi;
    base::Curve theta;
    base::Curve scratch;  // room for the second theta sums while they are formed
    double at(const base::Curve& m, std::size_t i, std::size_t j) const { return m[i * stride + j]; }
};

PairTerms pair_terms(const CentredPanel& panel, const KernelPlan& plan);

}  // namespace tarnwick::analytics::covariance
