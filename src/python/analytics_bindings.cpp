// Cross-sectional analytics from Python: the factor panel transforms, rank IC with its
// RankIC record, the Indian cost schedule export, the rebalance-policy simulation with its
// RebalanceSimResult record, and the Monte Carlo simulation on the worker pool.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "analytics/cost_schedule.h"
#include "analytics/factor_panel.h"
#include "analytics/monte_carlo.h"
#include "analytics/rank_ic.h"
#include "analytics/rebalance.h"
#include "base/matrix.h"
#include "domain/backtest_config.h"
#include "domain/fees/cost_segment.h"
#include "python/fields.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/registration.h"
#include "python/without_gil.h"

namespace tarnwick::python {

using base::Matrix;
using domain::CostSegment;
using domain::kDpSellChargePerIsinPerDay;
using domain::parse_cost_segment;

template <>
struct Bound<analytics::RankIC> {
    static constexpr const char* name = "RankIC";
    static PyTypeObject* type();
};
template <>
struct Bound<analytics::RebalanceSimResult> {
    static constexpr const char* name = "RebalanceSimResult";
    static PyTypeObject* type();
};

namespace {

using analytics::RankIC;
using analytics::RebalanceSimResult;

Ref panel_array(Matrix m) { return from_matrix(std::move(m)); }

// ---------------------------------------------------------------------------
// Factor panels

constexpr auto kWinsorize = function("winsorize_panel", {"values", "pct"},
                                     "Winsorize each date's cross-section (rows = dates, cols = assets).");

PyObject* winsorize_body(PyObject*, const Args& a) {
    Matrix values = a.get<ArrayF64x2>(0).m;
    const double pct = a.get<double>(1);
    return panel_array(unwrap(analytics::winsorize_panel(std::move(values), pct))).release();
}

constexpr auto kZscore = function("zscore_panel", {"values", "min_names"}, "Z-score each date's cross-section.");
constexpr auto kRank = function("rank_panel", {"values", "min_names"},
                                "Rank each date's cross-section into [0, 1], ties averaged.");

PyObject* zscore_body(PyObject*, const Args& a) {
    const Matrix values = a.get<ArrayF64x2>(0).m;
    const auto min_names = a.get<std::uint64_t>(1);
    return panel_array(unwrap(analytics::zscore_panel(values, min_names))).release();
}

PyObject* rank_body(PyObject*, const Args& a) {
    const Matrix values = a.get<ArrayF64x2>(0).m;
    const auto min_names = a.get<std::uint64_t>(1);
    return panel_array(unwrap(analytics::rank_panel(values, min_names))).release();
}

constexpr auto kMomentum = function("momentum_panel", {"prices", "lookback", "skip"},
                                    "Price momentum with a skip window (12-1 daily: lookback=252, skip=21).");

PyObject* momentum_body(PyObject*, const Args& a) {
    const Matrix prices = a.get<ArrayF64x2>(0).m;
    const auto lookback = a.get<std::uint64_t>(1);
    const auto skip = a.get<std::uint64_t>(2);
    return panel_array(unwrap(analytics::momentum_panel(prices, lookback, skip))).release();
}

constexpr auto kComposite = function("composite_scores", {"factors", "weights"},
                                     "Weighted composite of same-shaped factor panels.");

PyObject* composite_body(PyObject*, const Args& a) {
    std::vector<ArrayF64x2> given = a.get<std::vector<ArrayF64x2>>(0);
    const std::vector<double> weights = a.get<ArrayF64>(1).data;
    std::vector<Matrix> factors;
    factors.reserve(given.size());
    for (ArrayF64x2& f : given) factors.push_back(std::move(f.m));
    return panel_array(unwrap(analytics::composite_scores(factors, weights))).release();
}

// ---------------------------------------------------------------------------
// Rank IC

constexpr auto kRankIc = function("rank_ic", {"factor", "prices", "horizon", "min_names"},
                                  "Rank IC of a factor panel against `horizon`-ahead returns from `prices`.\n\n"
                                  "Forward returns are derived here rather than supplied, so the shift cannot\n"
                                  "leak lookahead. Dates with fewer than `min_names` paired observations are\n"
                                  "skipped, never zero-filled.");

PyObject* rank_ic_body(PyObject*, const Args& a) {
    const Matrix factor = a.get<ArrayF64x2>(0).m;
    const Matrix prices = a.get<ArrayF64x2>(1).m;
    const auto horizon = a.get<std::uint64_t>(2);
    const auto min_names = a.get<std::uint64_t>(3);
    return wrap(unwrap(analytics::rank_ic(factor, prices, horizon, min_names))).release();
}

PyGetSetDef kRankIcGetSet[] = {
    read_only<&RankIC::mean_ic>("mean_ic"),
    read_only<&RankIC::stdev_ic>("stdev_ic"),
    read_only<&RankIC::t_stat>("t_stat"),
    read_only<&RankIC::t_stat_deflated>("t_stat_deflated", "Overlap-corrected t-stat. Decide on THIS, not `t_stat`."),
    read_only<&RankIC::n_dates_scored>("n_dates_scored"),
    read_only<&RankIC::n_independent>("n_independent",
                                      "Roughly how many non-overlapping forward windows back the measurement."),
    read_only<&RankIC::overlap_days>("overlap_days"),
    read_only<&RankIC::mean_names>("mean_names"),
    kGetSetEnd,
};

constexpr auto kDailyIc = method("RankIC.daily_ic", "The IC of every date, NaN where the date was not scored.");

PyMethodDef kRankIcMethods[] = {
    noargs<kDailyIc>(array_method<RankIC, &RankIC::daily_ic>),
    kMethodEnd,
};

PyType_Slot kRankIcSlots[] = {
    {Py_tp_doc, const_cast<char*>("Measured rank IC of a factor against forward returns.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<RankIC>)},
    {Py_tp_getset, kRankIcGetSet},
    {Py_tp_methods, kRankIcMethods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Cost schedule

constexpr auto kSchedule = function("indian_cost_schedule", {"segment"},
                                    "Export a segment's cost schedule, including the DP sell charge.\n\n"
                                    "This export is the single numeric source of truth for cost parity tests\n"
                                    "against the calling backend's own cost module: the two must never drift.");

PyObject* schedule_body(PyObject*, const Args& a) {
    const std::string text = a.get<std::string>(0);
    const CostSegment segment = unwrap(parse_cost_segment(text));
    Ref dict = Ref::check(PyDict_New());
    for (const analytics::NamedRate& rate : analytics::schedule_entries(segment)) {
        Ref key = to_py(rate.key);
        Ref value = to_py(rate.value);
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_error_set();
    }
    return dict.release();
}

// ---------------------------------------------------------------------------
// Rebalance-policy simulation

constexpr auto kRebalance = function(
    "simulate_rebalance_policy", {"prices", "target_weights", "initial_capital", "policy", "policy_param",
                                  {"segment", "\"equity_delivery\""}, {"min_trade_value", "0.0"},
                                  {"dp_charge_per_isin", "..."}, {"periods_per_year", "252.0"}},
    "Simulate following a target-weight series under a rebalance policy.\n\n"
    "`policy` is \"calendar\" (with `policy_param` = every N dates, >= 1) or \"band\"\n"
    "(with `policy_param` = one-way drift fraction). Costs use the named segment's\n"
    "per-leg schedule plus `dp_charge_per_isin` once per distinct asset with a net\n"
    "sell per rebalance date.");

PyObject* rebalance_body(PyObject*, const Args& a) {
    analytics::RebalanceRequest q;
    q.prices = a.get<ArrayF64x2>(0).m;
    q.target_weights = a.get<ArrayF64x2>(1).m;
    q.initial_capital = a.get<double>(2);
    q.policy = a.get<std::string>(3);
    q.policy_param = a.get<double>(4);
    q.segment = a.get_or<std::string>(5, "equity_delivery");
    q.min_trade_value = a.get_or<double>(6, 0.0);
    q.dp_charge_per_isin = a.get_or<double>(7, kDpSellChargePerIsinPerDay);
    q.periods_per_year = a.get_or<double>(8, 252.0);
    return wrap(unwrap(analytics::simulate_rebalance_policy(q))).release();
}

using RS = RebalanceSimResult;

PyGetSetDef kRebalanceGetSet[] = {
    read_only<&RS::n_rebalances>("n_rebalances"),
    read_only<&RS::n_trades>("n_trades"),
    read_only<&RS::total_cost_drag_annualized>("total_cost_drag_annualized"),
    kGetSetEnd,
};

constexpr auto kEquityCurve = method("RebalanceSimResult.equity_curve",
                                     "Holdings plus cash on every date, after its trades and costs.");
constexpr auto kTurnover = method("RebalanceSimResult.turnover",
                                  "One-way turnover of every date; 0 where nothing traded.");
constexpr auto kCostRegulatory = method("RebalanceSimResult.cost_regulatory",
                                        "Transaction tax, exchange, SEBI, stamp duty and GST of every date.");
constexpr auto kCostBrokerage = method("RebalanceSimResult.cost_brokerage", "Brokerage of every date.");
constexpr auto kCostDp = method("RebalanceSimResult.cost_dp", "Depository charge of every date.");

PyMethodDef kRebalanceMethods[] = {
    noargs<kEquityCurve>(array_method<RS, &RS::equity_curve>),
    noargs<kTurnover>(array_method<RS, &RS::turnover>),
    noargs<kCostRegulatory>(array_method<RS, &RS::cost_regulatory>),
    noargs<kCostBrokerage>(array_method<RS, &RS::cost_brokerage>),
    noargs<kCostDp>(array_method<RS, &RS::cost_dp>),
    kMethodEnd,
};

PyType_Slot kRebalanceSlots[] = {
    {Py_tp_doc, const_cast<char*>("Result of a rebalance-policy simulation.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<RS>)},
    {Py_tp_getset, kRebalanceGetSet},
    {Py_tp_methods, kRebalanceMethods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Monte Carlo

constexpr auto kMonteCarlo = function(
    "simulate_portfolio_mc", {"returns", "weights", "correlation_matrix", "initial_value", {"n_simulations", "10000"},
                              {"horizon_days", "252"}, {"seed", "42"}},
    "Run Monte Carlo forward simulation for a portfolio.\n\n"
    "Uses geometric Brownian motion with Cholesky-decomposed correlated random\n"
    "draws, computed in parallel. A seed reproduces its result exactly, whatever\n"
    "the worker count.\n\n"
    "Args:\n"
    "    returns: List of per-strategy return arrays (N strategies)\n"
    "    weights: Portfolio weight vector (length N, sums to 1)\n"
    "    correlation_matrix: N x N correlation matrix (flattened row-major as 2D list)\n"
    "    initial_value: Starting portfolio value\n"
    "    n_simulations: Number of simulation paths (default: 10000)\n"
    "    horizon_days: Forward simulation horizon in trading days (default: 252)\n"
    "    seed: Random seed for reproducibility (default: 42)");

PyObject* mc_body(PyObject*, const Args& a) {
    // Everything the paths read is copied out of Python here, while the lock is held.
    analytics::McRequest q;
    for (ArrayF64& series : a.get<std::vector<ArrayF64>>(0)) q.returns.push_back(std::move(series.data));
    q.weights = a.get<ArrayF64>(1).data;
    for (ArrayF64& row : a.get<std::vector<ArrayF64>>(2)) q.correlation.push_back(std::move(row.data));
    q.initial_value = a.get<double>(3);
    // Refused before any path is drawn: at 0 every return is 0 / 0, and below 0 a loss
    // would read as a gain.
    unwrap(domain::check_positive("initial_value", q.initial_value));
    q.n_simulations = a.get_or<std::uint64_t>(4, 10000);
    q.horizon = a.get_or<std::uint64_t>(5, 252);
    q.seed = a.get_or<std::uint64_t>(6, 42);
    unwrap(analytics::check_mc_request(q));

    auto summary = [&] {
        WithoutGil released;
        return analytics::simulate_portfolio_mc(q);
    }();
    analytics::McSummary s = unwrap(std::move(summary));

    Ref dict = Ref::check(PyDict_New());
    Ref paths = list_of(s.percentile_paths.size(), [&](std::size_t i) {
        const std::vector<double>& path = s.percentile_paths[i].path;
        return pair_of(to_py(s.percentile_paths[i].percentile),
                       list_of(path.size(), [&](std::size_t j) { return to_py(path[j]); }));
    });
    put(dict.get(), "percentile_paths", paths);
    put(dict.get(), "final_values", from_vec(std::move(s.final_values)));
    put(dict.get(), "expected_return", to_py(s.expected_return));
    put(dict.get(), "probability_of_loss", to_py(s.probability_of_loss));
    put(dict.get(), "var_95", to_py(s.var_95));
    put(dict.get(), "cvar_95", to_py(s.cvar_95));
    return dict.release();
}

}  // namespace

PyTypeObject* Bound<analytics::RankIC>::type() { return record_type<RankIC>("builtins.RankIC", kRankIcSlots); }
PyTypeObject* Bound<analytics::RebalanceSimResult>::type() {
    return record_type<RebalanceSimResult>("builtins.RebalanceSimResult", kRebalanceSlots);
}

Registrations monte_carlo_rows() {
    static constexpr Registration rows[] = {function_row<kMonteCarlo, mc_body>()};
    return rows;
}

Registrations cross_section_class_rows() {
    static constexpr Registration rows[] = {class_row<analytics::RebalanceSimResult>(), class_row<analytics::RankIC>()};
    return rows;
}

Registrations cross_section_function_rows() {
    static constexpr Registration rows[] = {
        function_row<kWinsorize, winsorize_body>(),
        function_row<kZscore, zscore_body>(),
        function_row<kRank, rank_body>(),
        function_row<kMomentum, momentum_body>(),
        function_row<kComposite, composite_body>(),
        function_row<kRankIc, rank_ic_body>(),
        function_row<kRebalance, rebalance_body>(),
        function_row<kSchedule, schedule_body>(),
    };
    return rows;
}

}  // namespace tarnwick::python
