#include "analytics/solver.h"

#include <algorithm>
#include <array>

#include "analytics/clarabel_ffi.h"
#include "base/fault.h"

namespace tarnwick::analytics::solver {

using base::Result;
using base::err;
using base::fault;

namespace {

constexpr std::uint32_t kStatusCount = static_cast<std::uint32_t>(Status::CallbackTerminated) + 1;

// Long enough for any message the shim composes; longer ones arrive truncated.
constexpr std::size_t kErrorCapacity = 1024;

TwkCsc borrow(const Csc& m) {
    return TwkCsc{m.rows,          m.cols,          m.colptr.data(), m.colptr.size(),
                  m.rowval.data(), m.rowval.size(), m.nzval.data(),  m.nzval.size()};
}

}  // namespace

std::string_view status_name(Status status) {
    switch (status) {
        case Status::Unsolved: return "Unsolved";
        case Status::Solved: return "Solved";
        case Status::PrimalInfeasible: return "PrimalInfeasible";
        case Status::DualInfeasible: return "DualInfeasible";
        case Status::AlmostSolved: return "AlmostSolved";
        case Status::AlmostPrimalInfeasible: return "AlmostPrimalInfeasible";
        case Status::AlmostDualInfeasible: return "AlmostDualInfeasible";
        case Status::MaxIterations: return "MaxIterations";
        case Status::MaxTime: return "MaxTime";
        case Status::NumericalError: return "NumericalError";
        case Status::InsufficientProgress: return "InsufficientProgress";
        case Status::CallbackTerminated: return "CallbackTerminated";
    }
    fault("status out of range");
}

Result<Solution, std::string> solve(const Csc& p_upper, std::span<const double> q, const Csc& a,
                                    std::span<const double> b, const Settings& settings) {
    const TwkCsc p_raw = borrow(p_upper);
    const TwkCsc a_raw = borrow(a);
    const TwkClarabelSettings raw_settings{settings.max_iter, settings.tol_gap_abs, settings.tol_gap_rel,
                                           settings.tol_feas};
    Solution solution;
    solution.x.assign(q.size(), 0.0);
    TwkClarabelResult result{};
    std::array<char, kErrorCapacity> error{};

    const std::int32_t code = twk_clarabel_solve(&p_raw, q.data(), q.size(), &a_raw, b.data(), b.size(),
                                                 &raw_settings, solution.x.data(), solution.x.size(), &result,
                                                 error.data(), error.size());
    if (code != TWK_CLARABEL_OK) {
        // The shim always terminates the text; the bound guards against a shim that didn't.
        return err(std::string(error.begin(), std::find(error.begin(), error.end(), '\0')));
    }
    if (result.status >= kStatusCount) fault("solver shim returned unknown status " + std::to_string(result.status));
    solution.status = static_cast<Status>(result.status);
    solution.objective = result.objective;
    solution.iterations = result.iterations;
    return solution;
}

}  // namespace tarnwick::analytics::solver
