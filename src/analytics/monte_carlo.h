// Monte Carlo forward simulation of a fixed-weight portfolio.
//
// Each asset follows geometric Brownian motion with the drift and volatility of its own
// per-period return history; the shocks are correlated through the Cholesky factor of a
// caller-supplied correlation matrix, and the book is rebalanced to its weights every
// step (dt = one period of the input returns).
//
// Paths are simulated in fixed blocks of kPathsPerStream consecutive paths; block b draws
// from one xoshiro256** stream, the seed's expanded state advanced by b jumps of 2^128
// draws. The blocks do not depend on the worker count, so a seed reproduces its result
// bit for bit on any pool size. Within a block the paths run several at a time in vector
// lanes, each from its own place in the block's stream (monte_carlo_paths.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "analytics/xoshiro.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics {

inline constexpr std::size_t kPathsPerStream = 64;

struct McRequest {
    std::vector<std::vector<double>> returns;  // one series per asset; lengths may differ
    std::vector<double> weights;               // used as given
    std::vector<std::vector<double>> correlation;  // n rows of n; only the lower triangle is read
    double initial_value = 0.0;
    std::uint64_t n_simulations = 0;
    std::uint64_t horizon = 0;  // steps
    std::uint64_t seed = 0;
};

struct PercentilePath {
    double percentile;          // 5, 25, 50, 75, 95
    std::vector<double> path;   // horizon + 1 values, the first the initial value
};

// Final values are ordered -inf first, then the finite ones ascending, then +inf, NaN last;
// the percentile paths are picked at places in that order. The four statistics are taken
// over the finite final values only (all four NaN when there is none); a sum or a
// difference of finals past the double range does not make them infinite.
struct McSummary {
    std::array<PercentilePath, 5> percentile_paths;
    std::vector<double> final_values;  // in the order above
    double expected_return = 0.0;      // percent
    double probability_of_loss = 0.0;  // fraction of finite finals below the initial value
    double var_95 = 0.0;               // percent, never negative
    double cvar_95 = 0.0;              // percent, never negative
};

// The argument rules checked before any work, in this order: an initial value finite and
// above 0, at least one series, one weight per series, an n x n correlation matrix, at
// least one path.
base::Status<base::OwnError> check_mc_request(const McRequest& request);

// Lower-triangular L with L x L' = C, row-major n x n; fails on a zero pivot that a later
// row divides by, or on a non-positive diagonal pivot.
base::Result<std::vector<double>, base::OwnError> cholesky_lower(const std::vector<std::vector<double>>& c);

// The summary of `n_paths` (>= 1) paths of horizon + 1 values each, one after another.
McSummary summarise_paths(std::span<const double> paths, std::size_t n_paths, std::size_t horizon, double v0);

// Runs on the worker pool; call it without the interpreter lock. Refuses a request that
// fails check_mc_request before anything else. Throws OutOfMemory, naming the byte count,
// when the stored paths (N x (H + 1) values) cannot be held; nothing is simulated then.
base::Result<McSummary, base::OwnError> simulate_portfolio_mc(const McRequest& request);

}  // namespace tarnwick::analytics
