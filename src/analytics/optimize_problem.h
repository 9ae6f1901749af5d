// The quadratic program of one validated book, in the solver's form
// (minimise 1/2 x'Px + q'x subject to A x <= b, one nonnegative cone).
//
// Variables: w (new weights), t (turnover slacks, t >= |w - w_current|) and, long/short
// only, g (gross slacks, g >= |w|); 2n or 3n in all. Rows, in order: budget upper and
// lower, short floor, position cap, one per sector, turnover up and down, and long/short
// only the gross links up and down and the gross budget: 4n + S + 2 or 6n + S + 3 rows.
#pragma once

#include <span>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/optimize.h"
#include "analytics/solver.h"

namespace tarnwick::analytics {

struct BookProblem {
    solver::Csc p_upper;  // 2 lambda cov on the w block, upper triangle, exact zeros left out
    std::vector<double> q;  // -alpha on w, turnover_penalty on t, 0 on g
    solver::Csc a;
    std::vector<double> b;
};

// Requires a book that passed optimize_checks::validate (sector ids in range).
BookProblem build_book_problem(const RiskModel& model, std::span<const double> alpha,
                               std::span<const double> w_current, const OptimizerConfig& config);

}  // namespace tarnwick::analytics
