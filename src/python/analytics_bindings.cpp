// Cross-sectional analytics from Python: the factor panel transforms, rank IC with its
// RankIC record, the Indian cost schedule export, the rebalance-policy simulation with its
// RebalanceSimResult record, and the Monte Carlo simulation on the worker pool.
#include <cstddef>
#include <cstdint>
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
#include "python/declare.h"
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

constexpr Returns kArray{"NDArray[np.float64]"};

Ref winsorize_body(ArrayF64x2 values, double pct) {
    return panel_array(unwrap(analytics::winsorize_panel(std::move(values.m), pct)));
}

constexpr auto kWinsorize = function<winsorize_body>(
    "winsorize_panel", {"values", "pct"}, kArray, "Winsorize each date's cross-section (rows = dates, cols = assets).");

Ref zscore_body(const ArrayF64x2& values, std::uint64_t min_names) {
    return panel_array(unwrap(analytics::zscore_panel(values.m, min_names)));
}

Ref rank_body(const ArrayF64x2& values, std::uint64_t min_names) {
    return panel_array(unwrap(analytics::rank_panel(values.m, min_names)));
}

constexpr auto kZscore =
    function<zscore_body>("zscore_panel", {"values", "min_names"}, kArray, "Z-score each date's cross-section.");
constexpr auto kRank = function<rank_body>("rank_panel", {"values", "min_names"}, kArray,
                                           "Rank each date's cross-section into [0, 1], ties averaged.");

Ref momentum_body(const ArrayF64x2& prices, std::uint64_t lookback, std::uint64_t skip) {
    return panel_array(unwrap(analytics::momentum_panel(prices.m, lookback, skip)));
}

constexpr auto kMomentum = function<momentum_body>(
    "momentum_panel", {"prices", "lookback", "skip"}, kArray,
    "Price momentum with a skip window (12-1 daily: lookback=252, skip=21).");

Ref composite_body(std::vector<ArrayF64x2> given, const ArrayF64& weights) {
    std::vector<Matrix> factors;
    factors.reserve(given.size());
    for (ArrayF64x2& f : given) factors.push_back(std::move(f.m));
    return panel_array(unwrap(analytics::composite_scores(factors, weights.data)));
}

constexpr auto kComposite = function<composite_body>("composite_scores", {"factors", "weights"}, kArray,
                                                     "Weighted composite of same-shaped factor panels.");

// ---------------------------------------------------------------------------
// Rank IC

RankIC rank_ic_body(const ArrayF64x2& factor, const ArrayF64x2& prices, std::uint64_t horizon,
                    std::uint64_t min_names) {
    return unwrap(analytics::rank_ic(factor.m, prices.m, horizon, min_names));
}

constexpr auto kRankIc = function<rank_ic_body>(
    "rank_ic", {"factor", "prices", "horizon", "min_names"}, Returns{"RankIC"},
    "Rank IC of a factor panel against `horizon`-ahead returns from `prices`.\n\n"
    "Forward returns are derived here rather than supplied, so the shift cannot\n"
    "leak lookahead. Dates with fewer than `min_names` paired observations are\n"
    "skipped, never zero-filled.");

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

constexpr auto kDailyIc = method<copied_array<&RankIC::daily_ic>>(
    "RankIC.daily_ic", kArray, "The IC of every date, NaN where the date was not scored.");

PyMethodDef kRankIcMethods[] = {
    noargs<kDailyIc>(),
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

Ref schedule_body(const std::string& text) {
    const CostSegment segment = unwrap(parse_cost_segment(text));
    Ref dict = Ref::check(PyDict_New());
    for (const analytics::NamedRate& rate : analytics::schedule_entries(segment)) {
        Ref key = to_py(rate.key);
        Ref value = to_py(rate.value);
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_error_set();
    }
    return dict;
}

constexpr auto kSchedule = function<schedule_body>(
    "indian_cost_schedule", {"segment"}, Returns{"dict[str, float]"},
    "Export a segment's cost schedule, including the DP sell charge.\n\n"
    "This export is the single numeric source of truth for cost parity tests\n"
    "against the calling backend's own cost module: the two must never drift.");

// ---------------------------------------------------------------------------
// Rebalance-policy simulation

RebalanceSimResult rebalance_body(ArrayF64x2 prices, ArrayF64x2 target_weights, double initial_capital,
                                  std::string policy, double policy_param, std::string segment,
                                  double min_trade_value, double dp_charge_per_isin, double periods_per_year) {
    analytics::RebalanceRequest q;
    q.prices = std::move(prices.m);
    q.target_weights = std::move(target_weights.m);
    q.initial_capital = initial_capital;
    q.policy = std::move(policy);
    q.policy_param = policy_param;
    q.segment = std::move(segment);
    q.min_trade_value = min_trade_value;
    q.dp_charge_per_isin = dp_charge_per_isin;
    q.periods_per_year = periods_per_year;
    return unwrap(analytics::simulate_rebalance_policy(q));
}

constexpr auto kRebalance = function<rebalance_body>(
    "simulate_rebalance_policy",
    {"prices", "target_weights", "initial_capital", "policy", "policy_param", {"segment", "equity_delivery"},
     {"min_trade_value", 0.0}, {"dp_charge_per_isin", Shown{"...", kDpSellChargePerIsinPerDay}},
     {"periods_per_year", 252.0}},
    Returns{"RebalanceSimResult"},
    "Simulate following a target-weight series under a rebalance policy.\n\n"
    "`policy` is \"calendar\" (with `policy_param` = every N dates, >= 1) or \"band\"\n"
    "(with `policy_param` = one-way drift fraction). Costs use the named segment's\n"
    "per-leg schedule plus `dp_charge_per_isin` once per distinct asset with a net\n"
    "sell per rebalance date.");

using RS = RebalanceSimResult;

PyGetSetDef kRebalanceGetSet[] = {
    read_only<&RS::n_rebalances>("n_rebalances"),
    read_only<&RS::n_trades>("n_trades"),
    read_only<&RS::total_cost_drag_annualized>("total_cost_drag_annualized"),
    kGetSetEnd,
};

constexpr auto kEquityCurve = method<copied_array<&RS::equity_curve>>(
    "RebalanceSimResult.equity_curve", kArray, "Holdings plus cash on every date, after its trades and costs.");
constexpr auto kTurnover = method<copied_array<&RS::turnover>>(
    "RebalanceSimResult.turnover", kArray, "One-way turnover of every date; 0 where nothing traded.");
constexpr auto kCostRegulatory =
    method<copied_array<&RS::cost_regulatory>>("RebalanceSimResult.cost_regulatory", kArray,
                                               "Transaction tax, exchange, SEBI, stamp duty and GST of every date.");
constexpr auto kCostBrokerage = method<copied_array<&RS::cost_brokerage>>("RebalanceSimResult.cost_brokerage",
                                                                          kArray, "Brokerage of every date.");
constexpr auto kCostDp =
    method<copied_array<&RS::cost_dp>>("RebalanceSimResult.cost_dp", kArray, "Depository charge of every date.");

PyMethodDef kRebalanceMethods[] = {
    noargs<kEquityCurve>(),   noargs<kTurnover>(), noargs<kCostRegulatory>(),
    noargs<kCostBrokerage>(), noargs<kCostDp>(),
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

Ref mc_body(std::vector<ArrayF64> returns, ArrayF64 weights, std::vector<ArrayF64> correlation_matrix,
            double initial_value, std::uint64_t n_simulations, std::uint64_t horizon_days, std::uint64_t seed) {
    // Everything the paths read is copied out of Python by now, while the lock is held.
    analytics::McRequest q;
    for (ArrayF64& series : returns) q.returns.push_back(std::move(series.data));
    q.weights = std::move(weights.data);
    for (ArrayF64& row : correlation_matrix) q.correlation.push_back(std::move(row.data));
    q.initial_value = initial_value;
    q.n_simulations = n_simulations;
    q.horizon = horizon_days;
    q.seed = seed;

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
    return dict;
}

constexpr auto kMonteCarlo = function<mc_body>(
    "simulate_portfolio_mc",
    {"returns", "weights", "correlation_matrix", "initial_value", {"n_simulations", 10000}, {"horizon_days", 252},
     {"seed", 42}},
    Returns{"dict[str, object]"},
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
    "    seed: Random seed for reproducibility (default: 42)\n\n"
    "The paths are drawn in fixed blocks of 64, block b from the seed's random\n"
    "stream jumped ahead b times, never split between workers: that is why the\n"
    "worker count cannot change a result, and why a run of more paths keeps\n"
    "every path of a run of fewer with the same seed.\n\n"
    "`final_values` holds every path's final value: -inf first, then the\n"
    "finite ones ascending, then +inf, NaN last. `expected_return`,\n"
    "`probability_of_loss`, `var_95` and `cvar_95` are taken over the finite\n"
    "final values only; with none, all four are NaN.");

}  // namespace

PyTypeObject* Bound<analytics::RankIC>::type() { return record_type<RankIC>("builtins.RankIC", kRankIcSlots); }
PyTypeObject* Bound<analytics::RebalanceSimResult>::type() {
    return record_type<RebalanceSimResult>("builtins.RebalanceSimResult", kRebalanceSlots);
}

Registrations monte_carlo_rows() {
    static constexpr Registration rows[] = {function_row<kMonteCarlo>()};
    return rows;
}

Registrations cross_section_class_rows() {
    static constexpr Registration rows[] = {class_row<analytics::RebalanceSimResult>(), class_row<analytics::RankIC>()};
    return rows;
}

Registrations cross_section_function_rows() {
    static constexpr Registration rows[] = {
        function_row<kWinsorize>(),
        function_row<kZscore>(),
        function_row<kRank>(),
        function_row<kMomentum>(),
        function_row<kComposite>(),
        function_row<kRankIc>(),
        function_row<kRebalance>(),
        function_row<kSchedule>(),
    };
    return rows;
}

}  // namespace tarnwick::python
