#include "analytics/optimize.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "analytics/optimize_checks.h"
#include "analytics/optimize_problem.h"
#include "analytics/solver.h"
#include "base/format.h"

namespace tarnwick::analytics {

using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;
using base::fault;

namespace {

// Solver weights this close below zero are rounding, not shorts.
constexpr double kNegativeClear = 1e-9;
// Floor of the post-snap check tolerance.
constexpr double kMinCheckTolerance = 1e-9;

double sum(std::span<const double> v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}

double abs_sum(std::span<const double> v) {
    double s = 0.0;
    for (double x : v) s += std::fabs(x);
    return s;
}

Result<solver::Solution, PortfolioError> solve_book(const RiskModel& model, std::span<const double> alpha,
                                                    std::span<const double> w_current, const OptimizerConfig& c) {
    const BookProblem problem = build_book_problem(model, alpha, w_current, c);
    const solver::Settings settings{c.max_iter, c.tolerance, c.tolerance, c.tolerance};
    auto solved = solver::solve(problem.p_upper, problem.q, problem.a, problem.b, settings);
    if (!solved) return err(PortfolioError::solver_failed(base::fmt::format("setup: {}", solved.error())));
    solver::Solution& s = solved.value();
    const std::string_view status = solver::status_name(s.status);
    switch (s.status) {
        case solver::Status::Solved: return std::move(s);
        case solver::Status::PrimalInfeasible:
        case solver::Status::AlmostPrimalInfeasible:
            return err(
                PortfolioError::infeasible(base::fmt::format("solver certified primal infeasibility ({})", status)));
        default:
            return err(PortfolioError::solver_failed(
                base::fmt::format("status {} after {} iterations", status, s.iterations)));
    }
}

// Snapping can move a book back over a limit that the solver had respected; each limit
// it can break is checked again.
Status<PortfolioError> check_snapped_book(std::span<const double> w, const std::vector<bool>& snapped, bool any_snapped,
                                          const OptimizerConfig& c, double tc, double sum_slack) {
    const bool ls = optimize_checks::long_short(c);
    const std::size_t n = w.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!snapped[i]) continue;
        if (w[i] > c.position_cap + tc) {
            return err(PortfolioError::infeasible(base::fmt::format(
                "post-snap weight {} on asset {} exceeds position_cap                  {}; the no-trade band "
                "snapped a trade that was reducing                  it -- lower the band, raise the cap, or "
                "accept the trades",
                base::fmt::fixed(w[i], 6), i, base::fmt::fixed(c.position_cap, 6))));
        }
        if (ls && w[i] < -c.short_cap - tc) {
            return err(PortfolioError::infeasible(base::fmt::format(
                "post-snap weight {} on asset {} breaches short_cap                  -{}; the no-trade band "
                "snapped a covering trade -- lower                  the band, raise the cap, or accept the trades",
                base::fmt::fixed(w[i], 6), i, base::fmt::fixed(c.short_cap, 6))));
        }
    }
    if (any_snapped) {
        std::vector<double> exposure(c.sector_caps.size(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const auto s = static_cast<std::size_t>(c.sector_ids[i]);
            check_index(s, exposure.size());
            exposure[s] += ls ? std::fabs(w[i]) : w[i];
        }
        for (std::size_t s = 0; s < exposure.size(); ++s) {
            if (exposure[s] > c.sector_caps[s] + sum_slack) {
                return err(PortfolioError::infeasible(base::fmt::format(
                    "post-snap sector {} exposure {} exceeds its cap                      {}; snapping stranded "
                    "weight in the sector -- lower                      the band, raise the cap, or accept the trades",
                    s, base::fmt::fixed(exposure[s], 6), base::fmt::fixed(c.sector_caps[s], 6))));
            }
        }
        if (ls) {
            const double gross = abs_sum(w);
            if (gross > c.gross_max + tc) {
                return err(PortfolioError::infeasible(base::fmt::format(
                    "post-snap gross exposure {} exceeds gross_max                      {}; snapping stranded "
                    "weight -- lower the band, raise                      the budget, or accept the trades",
                    base::fmt::fixed(gross, 6), base::fmt::fixed(c.gross_max, 6))));
            }
        }
    }
    return Unit{};
}

// Cash of a traded book, or the budget the snapping broke.
Result<double, PortfolioError> traded_cash(std::span<const double> w, const OptimizerConfig& c, double sum_slack) {
    const double net = sum(w);
    if (optimize_checks::long_short(c)) {
        if (net < c.net_min - sum_slack || net > c.net_max + sum_slack) {
            return err(PortfolioError::infeasible(base::fmt::format(
                "post-snap net exposure {} outside [{}, {}]; snapping stranded weight -- widen the net "
                "bounds, lower the band, or accept the trades",
                base::fmt::fixed(net, 6), base::fmt::fixed(c.net_min, 6), base::fmt::fixed(c.net_max, 6))));
        }
        return 1.0 - net;
    }
    const double cash = 1.0 - net;
    if (cash < -sum_slack || cash > c.cash_max + sum_slack) {
        const double stranded = cash < 0.0 ? cash : cash - c.cash_max;
        return err(PortfolioError::infeasible(base::fmt::format(
            "post-snap cash {} outside [0, {}]; snapping stranded {} of weight -- widen cash_max, lower "
            "the band, or accept the trades",
            base::fmt::fixed(cash, 6), base::fmt::fixed(c.cash_max, 6), base::fmt::fixed(stranded, 6))));
    }
    return std::clamp(cash, 0.0, c.cash_max);
}

}  // namespace

double quadratic_form(std::span<const double> matrix, std::span<const double> x) {
    const std::size_t n = x.size();
    if (matrix.size() != n * n) fault("quadratic form of a matrix that does not match its vector");
    double total = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double dot = -0.0;
        for (std::size_t j = 0; j < n; ++j) dot += matrix[i * n + j] * x[j];
        total += dot * x[i];
    }
    return total;
}

Result<OptimizationResult, PortfolioError> settle_book(std::span<const double> solved,
                                                       std::span<const double> w_current,
                                                       const OptimizerConfig& config) {
    const std::size_t n = solved.size();
    if (w_current.size() != n || config.sector_ids.size() != n) fault("settling a book of mismatched lengths");
    const bool ls = optimize_checks::long_short(config);
    std::vector<double> w(solved.begin(), solved.end());
    // Clearing adds weight back; over a large universe at its lower bounds that adds up
    // to more than the check tolerance, and it is rounding, not stranded weight.
    double cleared = 0.0;
    for (double& v : w) {
        if (v > -kNegativeClear && v < 0.0) {
            cleared -= v;
            v = 0.0;
        }
    }

    std::vector<bool> snapped(n, false);
    bool any_snapped = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double dw = std::fabs(w[i] - w_current[i]);
        if (dw == 0.0) continue;
        const bool in_band = dw < config.no_trade_band;
        const bool too_small = config.min_trade_value > 0.0 && dw * config.portfolio_value < config.min_trade_value;
        if (in_band || too_small) {
            w[i] = w_current[i];
            snapped[i] = true;
            any_snapped = true;
        }
    }

    const double tc = std::isnan(config.tolerance) ? kMinCheckTolerance
                                                   : std::max(10.0 * config.tolerance, kMinCheckTolerance);
    bool trades = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::fabs(w[i] - w_current[i]) >= tc) trades = true;
    }

    OptimizationResult out;
    if (!trades) {
        // Nothing worth trading: the book stays exactly as it is, and so nothing can break.
        out.weights.assign(w_current.begin(), w_current.end());
        out.trades.assign(n, 0.0);
        const double cash = 1.0 - sum(w_current);
        out.cash = ls ? cash : std::clamp(cash, 0.0, 1.0);
    } else {
        const double sum_slack = tc + cleared;
        if (auto r = check_snapped_book(w, snapped, any_snapped, config, tc, sum_slack); !r) return err(r.error());
        auto cash = traded_cash(w, config, sum_slack);
        if (!cash) return err(std::move(cash).error());
        out.cash = cash.value();
        out.trades.resize(n);
        for (std::size_t i = 0; i < n; ++i) out.trades[i] = w[i] - w_current[i];
        out.weights = std::move(w);
    }
    out.snapped = std::move(snapped);
    return out;
}

Result<OptimizationResult, PortfolioError> optimize_book(const RiskModel& model, std::span<const double> alpha,
                                                         std::span<const double> w_current,
                                                         const OptimizerConfig& config) {
    const std::size_t n = model.n_assets;
    if (auto r = optimize_checks::validate(n, alpha, w_current, config); !r) return err(r.error());
    if (auto r = optimize_checks::check_reachable(n, config); !r) return err(r.error());
    auto solved = solve_book(model, alpha, w_current, config);
    if (!solved) return err(std::move(solved).error());
    const solver::Solution& solution = solved.value();
    if (solution.x.size() < n) fault("solver returned fewer values than the book has assets");

    auto settled = settle_book(std::span<const double>(solution.x).first(n), w_current, config);
    if (!settled) return err(std::move(settled).error());
    OptimizationResult out = std::move(settled).value();
    out.gross_exposure = abs_sum(out.weights);
    out.net_exposure = sum(out.weights);
    out.turnover = 0.5 * abs_sum(out.trades);
    out.objective = solution.objective;
    out.vol_annualized =
        std::sqrt(model.periods_per_year) * std::sqrt(std::max(quadratic_form(model.cov, out.weights), 0.0));
    out.solver_status = std::string(solver::status_name(solution.status));
    out.iterations = solution.iterations;
    return out;
}

}  // namespace tarnwick::analytics
