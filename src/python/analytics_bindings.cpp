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
#include "domain/fees/cost_segment.h"
#include "python/classes.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/without_gil.h"

namespace tarnwick::python {

using base::Matrix;
using domain::CostSegment;
using domain::kDpSellChargePerIsinPerDay;
using domain::parse_cost_segment;

template <>
struct Bound<analytics::RankIC> {
    static constexpr const char* name = "RankIC";
    static PyTypeObject* type() { return rank_ic_type(); }
};
template <>
struct Bound<analytics::RebalanceSimResult> {
    static constexpr const char* name = "RebalanceSimResult";
    static PyTypeObject* type() { return rebalance_sim_result_type(); }
};

namespace {

using analytics::RankIC;
using analytics::RebalanceSimResult;

template <class T, auto Field>
constexpr PyGetSetDef getter(const char* name, const char* doc = nullptr) {
    return {name, get_field<T, Field>, nullptr, doc, nullptr};
}

constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr PyMethodDef kMethodEnd{nullptr, nullptr, 0, nullptr};

Ref panel_array(Matrix m) { return from_matrix(std::move(m)); }

// ---------------------------------------------------------------------------
// Factor panels

constexpr const char* kWinsorizeNames[] = {"values", "pct"};
constexpr Signature kWinsorize{"winsorize_panel", kWinsorizeNames, 2, 2};

PyObject* winsorize_body(PyObject*, const Args& a) {
    Matrix values = a.get<ArrayF64x2>(0).m;
    const double pct = a.get<double>(1);
    return panel_array(unwrap(analytics::winsorize_panel(std::move(values), pct))).release();
}

constexpr const char* kMinNamesNames[] = {"values", "min_names"};
constexpr Signature kZscore{"zscore_panel", kMinNamesNames, 2, 2};
constexpr Signature kRank{"rank_panel", kMinNamesNames, 2, 2};

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

constexpr const char* kMomentumNames[] = {"prices", "lookback", "skip"};
constexpr Signature kMomentum{"momentum_panel", kMomentumNames, 3, 3};

PyObject* momentum_body(PyObject*, const Args& a) {
    const Matrix prices = a.get<ArrayF64x2>(0).m;
    const auto lookback = a.get<std::uint64_t>(1);
    const auto skip = a.get<std::uint64_t>(2);
    return panel_array(unwrap(analytics::momentum_panel(prices, lookback, skip))).release();
}

constexpr const char* kCompositeNames[] = {"factors", "weights"};
constexpr Signature kComposite{"composite_scores", kCompositeNames, 2, 2};

PyObject* composite_body(PyObject*, const Args& a) {
    std::vector<ArrayF64x2> given = a.get<std::vector<ArrayF64x2>>(0);
    const std::vector<double> weights = a.get<ArrayF64>(1).data;
    std::vector<Matrix> factors;
    factors.reserve(given.size());
    for (ArrayF64x2& f : given) factors.push_back(std::move(f.m));
    return panel_array(unwrap(analytics::composite_scores(factors, weights))).release();
}

PyMethodDef kWinsorizeDef = fast_method<kWinsorize, winsorize_body>(
    "winsorize_panel",
    "winsorize_panel(values, pct)\n--\n\nWinsorize each date's cross-section (rows = dates, cols = assets).");
PyMethodDef kZscoreDef = fast_method<kZscore, zscore_body>(
    "zscore_panel", "zscore_panel(values, min_names)\n--\n\nZ-score each date's cross-section.");
PyMethodDef kRankDef = fast_method<kRank, rank_body>(
    "rank_panel", "rank_panel(values, min_names)\n--\n\nRank each date's cross-section into [0, 1], ties averaged.");
PyMethodDef kMomentumDef = fast_method<kMomentum, momentum_body>(
    "momentum_panel",
    "momentum_panel(prices, lookback, skip)\n--\n\nPrice momentum with a skip window (12-1 daily: lookback=252, "
    "skip=21).");
PyMethodDef kCompositeDef = fast_method<kComposite, composite_body>(
    "composite_scores",
    "composite_scores(factors, weights)\n--\n\nWeighted composite of same-shaped factor panels.");

// ---------------------------------------------------------------------------
// Rank IC

constexpr const char* kRankIcNames[] = {"factor", "prices", "horizon", "min_names"};
constexpr Signature kRankIcSig{"rank_ic", kRankIcNames, 4, 4};

PyObject* rank_ic_body(PyObject*, const Args& a) {
    const Matrix factor = a.get<ArrayF64x2>(0).m;
    const Matrix prices = a.get<ArrayF64x2>(1).m;
    const auto horizon = a.get<std::uint64_t>(2);
    const auto min_names = a.get<std::uint64_t>(3);
    return wrap(unwrap(analytics::rank_ic(factor, prices, horizon, min_names))).release();
}

PyMethodDef kRankIcDef = fast_method<kRankIcSig, rank_ic_body>(
    "rank_ic",
    "rank_ic(factor, prices, horizon, min_names)\n--\n\n"
    "Rank IC of a factor panel against `horizon`-ahead returns from `prices`.\n\n"
    "Forward returns are derived here rather than supplied, so the shift cannot\n"
    "leak lookahead. Dates with fewer than `min_names` paired observations are\n"
    "skipped, never zero-filled.");

PyGetSetDef kRankIcGetSet[] = {
    getter<RankIC, &RankIC::mean_ic>("mean_ic"),
    getter<RankIC, &RankIC::stdev_ic>("stdev_ic"),
    getter<RankIC, &RankIC::t_stat>("t_stat"),
    getter<RankIC, &RankIC::t_stat_deflated>("t_stat_deflated",
                                             "Overlap-corrected t-stat. Decide on THIS, not `t_stat`."),
    getter<RankIC, &RankIC::n_dates_scored>("n_dates_scored"),
    getter<RankIC, &RankIC::n_independent>(
        "n_independent", "Roughly how many non-overlapping forward windows back the measurement."),
    getter<RankIC, &RankIC::overlap_days>("overlap_days"),
    getter<RankIC, &RankIC::mean_names>("mean_names"),
    kGetSetEnd,
};

PyMethodDef kRankIcMethods[] = {
    {"daily_ic", array_method<RankIC, &RankIC::daily_ic>, METH_NOARGS,
     "daily_ic($self)\n--\n\nThe IC of every date, NaN where the date was not scored."},
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

constexpr const char* kScheduleNames[] = {"segment"};
constexpr Signature kScheduleSig{"indian_cost_schedule", kScheduleNames, 1, 1};

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

PyMethodDef kScheduleDef = fast_method<kScheduleSig, schedule_body>(
    "indian_cost_schedule",
    "indian_cost_schedule(segment)\n--\n\n"
    "Export a segment's cost schedule, including the DP sell charge.\n\n"
    "This export is the single numeric source of truth for cost parity tests\n"
    "against the calling backend's own cost module: the two must never drift.");

// ---------------------------------------------------------------------------
// Rebalance-policy simulation

constexpr const char* kRebalanceNames[] = {"prices",  "target_weights",  "initial_capital",
                                           "policy",  "policy_param",    "segment",
                                           "min_trade_value", "dp_charge_per_isin", "periods_per_year"};
constexpr Signature kRebalanceSig{"simulate_rebalance_policy", kRebalanceNames, 9, 5};

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

PyMethodDef kRebalanceDef = fast_method<kRebalanceSig, rebalance_body>(
    "simulate_rebalance_policy",
    "simulate_rebalance_policy(prices, target_weights, initial_capital, policy, policy_param, "
    "segment=\"equity_delivery\", min_trade_value=0.0, dp_charge_per_isin=..., periods_per_year=252.0)\n--\n\n"
    "Simulate following a target-weight series under a rebalance policy.\n\n"
    "`policy` is \"calendar\" (with `policy_param` = every N dates, >= 1) or \"band\"\n"
    "(with `policy_param` = one-way drift fraction). Costs use the named segment's\n"
    "per-leg schedule plus `dp_charge_per_isin` once per distinct asset with a net\n"
    "sell per rebalance date.");

using RS = RebalanceSimResult;

PyGetSetDef kRebalanceGetSet[] = {
    getter<RS, &RS::n_rebalances>("n_rebalances"),
    getter<RS, &RS::n_trades>("n_trades"),
    getter<RS, &RS::total_cost_drag_annualized>("total_cost_drag_annualized"),
    kGetSetEnd,
};

PyMethodDef kRebalanceMethods[] = {
    {"equity_curve", array_method<RS, &RS::equity_curve>, METH_NOARGS,
     "equity_curve($self)\n--\n\nHoldings plus cash on every date, after its trades and costs."},
    {"turnover", array_method<RS, &RS::turnover>, METH_NOARGS,
     "turnover($self)\n--\n\nOne-way turnover of every date; 0 where nothing traded."},
    {"cost_regulatory", array_method<RS, &RS::cost_regulatory>, METH_NOARGS,
     "cost_regulatory($self)\n--\n\nTransaction tax, exchange, SEBI, stamp duty and GST of every date."},
    {"cost_brokerage", array_method<RS, &RS::cost_brokerage>, METH_NOARGS,
     "cost_brokerage($self)\n--\n\nBrokerage of every date."},
    {"cost_dp", array_method<RS, &RS::cost_dp>, METH_NOARGS,
     "cost_dp($self)\n--\n\nDepository charge of every date."},
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

constexpr const char* kMcNames[] = {"returns",       "weights",      "correlation_matrix", "initial_value",
                                    "n_simulations", "horizon_days", "seed"};
constexpr Signature kMcSig{"simulate_portfolio_mc", kMcNames, 7, 4};

PyObject* mc_body(PyObject*, const Args& a) {
    // Everything the paths read is copied out of Python here, while the lock is held.
    analytics::McRequest q;
    for (ArrayF64& series : a.get<std::vector<ArrayF64>>(0)) q.returns.push_back(std::move(series.data));
    q.weights = a.get<ArrayF64>(1).data;
    for (ArrayF64& row : a.get<std::vector<ArrayF64>>(2)) q.correlation.push_back(std::move(row.data));
    q.initial_value = a.get<double>(3);
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

PyMethodDef kMcDef = fast_method<kMcSig, mc_body>(
    "simulate_portfolio_mc",
    "simulate_portfolio_mc(returns, weights, correlation_matrix, initial_value, n_simulations=10000, "
    "horizon_days=252, seed=42)\n--\n\n"
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

}  // namespace

PyMethodDef* winsorize_panel_function() { return &kWinsorizeDef; }
PyMethodDef* zscore_panel_function() { return &kZscoreDef; }
PyMethodDef* rank_panel_function() { return &kRankDef; }
PyMethodDef* momentum_panel_function() { return &kMomentumDef; }
PyMethodDef* composite_scores_function() { return &kCompositeDef; }
PyMethodDef* rank_ic_function() { return &kRankIcDef; }
PyMethodDef* simulate_rebalance_policy_function() { return &kRebalanceDef; }
PyMethodDef* indian_cost_schedule_function() { return &kScheduleDef; }
PyMethodDef* simulate_portfolio_mc_function() { return &kMcDef; }
PyTypeObject* rank_ic_type() { return record_type<RankIC>("builtins.RankIC", kRankIcSlots); }
PyTypeObject* rebalance_sim_result_type() {
    return record_type<RebalanceSimResult>("builtins.RebalanceSimResult", kRebalanceSlots);
}

}  // namespace tarnwick::python
