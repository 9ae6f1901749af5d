// The quadratic-program solver the portfolio code uses (Clarabel, behind a Rust shim):
//
//     minimise 1/2 x'Px + q'x  subject to  Ax + s = b,  s >= 0
//
// i.e. A x <= b row by row. P is symmetric positive semidefinite and given as its upper
// triangle only. Nothing is printed while solving.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tarnwick::analytics::solver {

// How a solve ended, in the solver's own terms and order.
enum class Status : std::uint8_t {
    Unsolved,
    Solved,
    PrimalInfeasible,
    DualInfeasible,
    AlmostSolved,
    AlmostPrimalInfeasible,
    AlmostDualInfeasible,
    MaxIterations,
    MaxTime,
    NumericalError,
    InsufficientProgress,
    CallbackTerminated,
};

// The solver's name for the status, e.g. "PrimalInfeasible".
std::string_view status_name(Status status);

// Compressed sparse column: colptr has cols + 1 entries starting at 0; rowval and
// nzval have colptr[cols] entries, rows strictly increasing within each column.
struct Csc {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::size_t> colptr;
    std::vector<std::size_t> rowval;
    std::vector<double> nzval;
};

struct Settings {
    std::uint32_t max_iter = 200;
    double tol_gap_abs = 1e-8;
    double tol_gap_rel = 1e-8;
    double tol_feas = 1e-8;
};

struct Solution {
    Status status = Status::Unsolved;
    std::vector<double> x;  // primal point (a certificate when infeasible), length n
    double objective = 0.0;  // primal objective 1/2 x'Px + q'x
    std::uint32_t iterations = 0;
};

// Solves the problem above with n = q.size() variables and m = b.size() rows of A.
// The error text covers malformed input (CSC arrays, shapes, P not upper triangular),
// the solver refusing the problem at setup, and a caught solver panic; a solve that
// ran returns a Solution whatever its status.
base::Result<Solution, std::string> solve(const Csc& p_upper, std::span<const double> q, const Csc& a,
                                          std::span<const double> b, const Settings& settings);

}  // namespace tarnwick::analytics::solver
