// The Monte Carlo paths: one fixed-weight book rebalanced every step over assets that
// follow geometric Brownian motion with correlated shocks.
//
// A run of consecutive paths draws from one stream, path after path, each path taking
// 2 n H draws (u1 then u2 for each asset, step after step). The plain loop walks them in
// that order. The lane kernels give each vector lane a path of its own: a path's stream
// state is the run's state leapt ahead by that many draws per earlier path, so a lane
// draws exactly the numbers the plain loop would, and does every path's arithmetic in
// the same order with the same roundings (its logarithms, cosines and exponentials are
// the library's own bits, see libm_lanes.h). Every kernel gives the same paths, bit for
// bit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "analytics/xoshiro.h"
#include "base/simd.h"

namespace tarnwick::analytics {

// Everything a path reads, shared read-only by the pool's tasks.
struct PathModel {
    std::size_t n = 0;
    std::span<const double> weights;
    std::vector<double> l;      // n x n lower triangle, row-major
    std::vector<double> scale;  // sigma x sqrt(dt)
    std::vector<double> drift;  // (mu - sigma^2 / 2) x dt
    double v0 = 0.0;
    std::size_t horizon = 0;
    StreamLeap per_path;  // the draws of one path: 2 n horizon
};

// The leap of one path's draws.
StreamLeap path_leap(std::size_t n_assets, std::size_t horizon);

// Simulates `count` consecutive paths from `stream` into out, row p at p x (horizon + 1),
// each row starting with v0: on the widest kernel this process runs.
void simulate_paths(const PathModel& model, const Xoshiro256& stream, std::size_t count, double* out);

// The same on a given kernel: Sse2 is the plain loop, one path after another; Avx2 and
// Avx512 are the lane kernels. Only for kernels that paths_run_on.
void simulate_paths(const PathModel& model, const Xoshiro256& stream, std::size_t count, double* out,
                    base::simd::Isa kernel);

// Whether this process runs the paths on `kernel`: the processor runs what the kernel
// needs (FMA; AVX-512DQ at 512 bits), and the kernel is no wider than base::simd's
// widest_isa, which TARNWICK_SIMD caps.
bool paths_run_on(base::simd::Isa kernel);

}  // namespace tarnwick::analytics
