// Portfolio analytics from Python: the RiskModel, OptimizerConfig, OptimizationResult,
// RiskContributions and OptimizeItem classes, and estimate_covariance,
// optimize_portfolio, batch_optimize_portfolios and compute_risk_contributions.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/optimize.h"
#include "analytics/optimize_batch.h"
#include "analytics/risk_contrib.h"
#include "base/format.h"
#include "base/matrix.h"
#include "python/declare.h"
#include "python/fields.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/registration.h"
#include "python/without_gil.h"

namespace tarnwick::python {

using base::Matrix;

template <>
struct Bound<analytics::RiskModel> {
    static constexpr const char* name = "RiskModel";
    static PyTypeObject* type();
};
template <>
struct Bound<analytics::OptimizerConfig> {
    static constexpr const char* name = "OptimizerConfig";
    static PyTypeObject* type();
};
template <>
struct Bound<analytics::OptimizationResult> {
    static constexpr const char* name = "OptimizationResult";
    static PyTypeObject* type();
};
template <>
struct Bound<analytics::RiskContributions> {
    static constexpr const char* name = "RiskContributions";
    static PyTypeObject* type();
};
template <>
struct Bound<analytics::OptimizeItem> {
    static constexpr const char* name = "OptimizeItem";
    static PyTypeObject* type();
};

namespace {

using analytics::OptimizationResult;
using analytics::OptimizeItem;
using analytics::OptimizerConfig;
using analytics::RiskContributions;
using analytics::RiskModel;

// An iteration limit: an unsigned 32-bit count whose refusal tells the two kinds of
// overflow apart. Beyond the signed 64-bit range the interpreter's own text is kept, as
// the 64-bit parameters give it; within it, the narrow fields' shared message.
struct IterationLimit {
    std::uint32_t value;
    operator std::uint32_t() const noexcept { return value; }
};

}  // namespace

template <>
struct Annotation<IterationLimit> {
    static std::string text() { return "int"; }
};

template <>
struct DefaultAs<IterationLimit> {
    using type = std::uint32_t;
};

template <>
struct Converter<IterationLimit> {
    static IterationLimit from(PyObject* o) {
        const std::int64_t wide = index_to_i64(o);
        if (wide < 0 || wide > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return {static_cast<std::uint32_t>(wide)};
    }
};

namespace {

// ---------------------------------------------------------------------------
// RiskModel

Ref risk_model_cov(Shared<RiskModel>& self) {
    const auto n = static_cast<std::size_t>(self->n_assets);
    if (self->cov.size() != n * n) {
        raise(PyExc_ValueError,
              base::fmt::format("shape error: {} values cannot be shaped as {}x{}", self->cov.size(), n, n));
    }
    return from_matrix(Matrix{self->cov, n, n});
}

PyObject* risk_model_repr(PyObject* self) {
    return read<RiskModel>(self, [](const RiskModel& m) {
        return to_py(base::fmt::format("PyRiskModel(n_assets={}, n_obs={}, shrinkage={}, periods_per_year={})",
                                       m.n_assets, m.n_obs, base::fmt::fixed(m.shrinkage_intensity, 4),
                                       m.periods_per_year))
            .release();
    });
}

constexpr Returns kArray{"NDArray[np.float64]"};

constexpr auto kCov = method<risk_model_cov>("RiskModel.cov", kArray,
                                             "Covariance of per-period returns as an `n_assets x n_assets` array.");

PyMethodDef kRiskModelMethods[] = {
    noargs<kCov>(),
    kMethodEnd,
};

PyGetSetDef kRiskModelGetSet[] = {
    read_only<&RiskModel::asset_ids>("asset_ids"),
    read_only<&RiskModel::n_assets>("n_assets"),
    read_only<&RiskModel::periods_per_year>("periods_per_year"),
    read_only<&RiskModel::shrinkage_intensity>("shrinkage_intensity"),
    read_only<&RiskModel::n_obs>("n_obs"),
    kGetSetEnd,
};

PyType_Slot kRiskModelSlots[] = {
    {Py_tp_doc, const_cast<char*>("Shrunk covariance matrix plus the context needed to use it safely.\n\n"
                                  "Carries `periods_per_year` and `asset_ids` so annualization and asset\n"
                                  "ordering travel with the matrix; consumers validate against them\n"
                                  "instead of trusting the caller.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<RiskModel>)},
    {Py_tp_methods, kRiskModelMethods},
    {Py_tp_getset, kRiskModelGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<risk_model_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// OptimizerConfig

using C = OptimizerConfig;

OptimizerConfig construct_config(double risk_aversion, double turnover_penalty, double position_cap,
                                 std::vector<std::uint64_t> sector_ids, std::vector<double> sector_caps,
                                 double no_trade_band, double min_trade_value, double portfolio_value, double cash_max,
                                 IterationLimit max_iter, double tolerance, double short_cap, double gross_max,
                                 double net_min, double net_max) {
    return {.risk_aversion = risk_aversion,
            .turnover_penalty = turnover_penalty,
            .position_cap = position_cap,
            .sector_ids = std::move(sector_ids),
            .sector_caps = std::move(sector_caps),
            .no_trade_band = no_trade_band,
            .min_trade_value = min_trade_value,
            .portfolio_value = portfolio_value,
            .cash_max = cash_max,
            .max_iter = max_iter,
            .tolerance = tolerance,
            .short_cap = short_cap,
            .gross_max = gross_max,
            .net_min = net_min,
            .net_max = net_max};
}

// The record's own defaults are the constructor's: one place for each value.
constexpr OptimizerConfig kDefaultConfig{};

constexpr auto kConfigNew = constructor<construct_config>(
    "OptimizerConfig.__new__", {"risk_aversion", "turnover_penalty", "position_cap", "sector_ids", "sector_caps",
                                {"no_trade_band", kDefaultConfig.no_trade_band},
                                {"min_trade_value", kDefaultConfig.min_trade_value},
                                {"portfolio_value", kDefaultConfig.portfolio_value},
                                {"cash_max", kDefaultConfig.cash_max}, {"max_iter", kDefaultConfig.max_iter},
                                {"tolerance", kDefaultConfig.tolerance}, {"short_cap", kDefaultConfig.short_cap},
                                {"gross_max", kDefaultConfig.gross_max}, {"net_min", kDefaultConfig.net_min},
                                {"net_max", kDefaultConfig.net_max}},
    Returns{"OptimizerConfig"},
    "Constraint and objective configuration for the long-only optimizer.\n\n"
    "Weights are fractions of the book's value (0.05 is 5 %) and cash is\n"
    "1 - sum(w). `alpha` and `turnover_penalty` are per-period returns in\n"
    "the period of the `RiskModel` (daily for daily returns). Nothing is\n"
    "checked here; the first optimisation reports a bad value.");

// Weights are fractions of the book's value throughout; alpha, the covariance and the
// turnover penalty share the model's period.
PyGetSetDef kConfigGetSet[] = {
    read_write<&C::risk_aversion>("risk_aversion",
                                  "Weight of the variance term, > 0. The objective is `risk_aversion` x\n"
                                  "w'Cw - alpha'w + `turnover_penalty` x sum|w - w_current|, with C the\n"
                                  "model's per-period covariance; scaling alpha, C and the penalty\n"
                                  "together leaves the optimum unchanged, so the same value serves daily\n"
                                  "and annual units."),
    read_write<&C::turnover_penalty>("turnover_penalty",
                                     "Cost per unit of absolute weight traded, >= 0, in alpha's per-period\n"
                                     "return units; it falls on the full sum |w - w_current|, while the\n"
                                     "reported `turnover` is half that sum (one-way)."),
    read_write<&C::position_cap>("position_cap",
                                 "Largest weight of one asset, in (0, 1]: 0.1 caps it at 10 % of the book."),
    read_write<&C::sector_ids>("sector_ids",
                               "Sector of each asset, one per asset in the model's order, each an\n"
                               "index into `sector_caps`."),
    read_write<&C::sector_caps>("sector_caps",
                                "Largest weight of each sector, > 0, indexed by sector id: the net\n"
                                "weight when long-only, the gross weight when long/short."),
    read_write<&C::no_trade_band>("no_trade_band",
                                  "A weight change smaller than this (a fraction of the book, >= 0) is\n"
                                  "not traded: the asset keeps its current weight."),
    read_write<&C::min_trade_value>("min_trade_value",
                                    "A trade worth less money than this (|weight change| x\n"
                                    "`portfolio_value`) is not traded; 0 disables, and a value above 0\n"
                                    "needs `portfolio_value`."),
    read_write<&C::portfolio_value>("portfolio_value",
                                    "Money value of the book, used only to price trades for\n"
                                    "`min_trade_value`; an `OptimizeItem` may carry its own."),
    read_write<&C::cash_max>("cash_max",
                             "Largest cash weight in long-only mode, in [0, 1): the weights sum to\n"
                             "between 1 - `cash_max` and 1."),
    read_write<&C::max_iter, IterationLimit>("max_iter", "Iteration limit of the interior-point solver."),
    read_write<&C::tolerance>("tolerance",
                              "Gap and feasibility tolerance of the solver; the snapped book is\n"
                              "checked against the constraints to 10 x this (at least 1e-9)."),
    read_write<&C::short_cap>("short_cap",
                              "Largest short weight of one asset, in [0, 1]; 0 is long-only mode,\n"
                              "above 0 long/short mode with `gross_max`, `net_min` and `net_max`."),
    read_write<&C::gross_max>("gross_max",
                              "Budget of the sum of absolute weights, long/short mode only (1.3 is 130 %)."),
    read_write<&C::net_min>("net_min", "Lowest sum of weights, long/short mode only."),
    read_write<&C::net_max>("net_max", "Highest sum of weights, long/short mode only."),
    kGetSetEnd,
};

PyType_Slot kConfigSlots[] = {
    doc_slot<kConfigNew>(),
    new_slot<kConfigNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<C>)},
    {Py_tp_getset, kConfigGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// OptimizationResult

using R = OptimizationResult;

PyObject* result_repr(PyObject* self) {
    return read<R>(self, [](const R& v) {
        return to_py(base::fmt::format("PyOptimizationResult(turnover={}, cash={}, vol_annualized={}, status={})",
                                       base::fmt::fixed(v.turnover, 4), base::fmt::fixed(v.cash, 4),
                                       base::fmt::fixed(v.vol_annualized, 4), v.solver_status))
            .release();
    });
}

constexpr auto kWeights = method<copied_array<&R::weights>>("OptimizationResult.weights", kArray,
                                                            "The new book after snapping, one weight per asset.");
constexpr auto kTrades = method<copied_array<&R::trades>>("OptimizationResult.trades", kArray,
                                                          "The new weights minus the current ones, per asset.");

PyMethodDef kResultMethods[] = {
    noargs<kWeights>(),
    noargs<kTrades>(),
    kMethodEnd,
};

PyGetSetDef kResultGetSet[] = {
    read_only<&R::snapped>("snapped"),
    read_only<&R::cash>("cash"),
    read_only<&R::gross_exposure>("gross_exposure"),
    read_only<&R::net_exposure>("net_exposure"),
    read_only<&R::turnover>("turnover"),
    read_only<&R::objective>("objective"),
    read_only<&R::vol_annualized>("vol_annualized"),
    read_only<&R::solver_status>("solver_status"),
    read_only<&R::iterations>("iterations"),
    kGetSetEnd,
};

PyType_Slot kResultSlots[] = {
    {Py_tp_doc, const_cast<char*>("Result of one optimization.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<R>)},
    {Py_tp_methods, kResultMethods},
    {Py_tp_getset, kResultGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<result_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// RiskContributions

using RC = RiskContributions;

constexpr auto kMarginal = method<copied_array<&RC::marginal>>("RiskContributions.marginal", kArray,
                                                               "d sigma / d w_i per asset (per period).");
constexpr auto kContribution = method<copied_array<&RC::contribution>>(
    "RiskContributions.contribution", kArray, "w_i times the marginal contribution; sums to sigma.");
constexpr auto kPctContribution = method<copied_array<&RC::pct_contribution>>(
    "RiskContributions.pct_contribution", kArray, "Each contribution as a fraction of sigma; sums to 1.");

PyMethodDef kContribMethods[] = {
    noargs<kMarginal>(),
    noargs<kContribution>(),
    noargs<kPctContribution>(),
    kMethodEnd,
};

PyGetSetDef kContribGetSet[] = {
    read_only<&RC::total_vol_annualized>("total_vol_annualized"),
    kGetSetEnd,
};

PyType_Slot kContribSlots[] = {
    {Py_tp_doc, const_cast<char*>("Euler decomposition of portfolio volatility.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<RC>)},
    {Py_tp_methods, kContribMethods},
    {Py_tp_getset, kContribGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// OptimizeItem

OptimizeItem construct_item(std::string item_id, ArrayF64 alpha, ArrayF64 w_current,
                            std::optional<double> portfolio_value) {
    return {std::move(item_id), std::move(alpha.data), std::move(w_current.data), portfolio_value};
}

constexpr auto kItemNew = constructor<construct_item>(
    "OptimizeItem.__new__", {"item_id", "alpha", "w_current", {"portfolio_value", None}}, Returns{"OptimizeItem"},
    "One user's book for `batch_optimize_portfolios`.\n\n"
    "The arrays are copied eagerly under the GIL at construction, so the\n"
    "batch loop can release the GIL.");

PyType_Slot kItemSlots[] = {
    doc_slot<kItemNew>(),
    new_slot<kItemNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<OptimizeItem>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Functions

// Read in place: the estimator copies the panel into its own layout in its first pass.
RiskModel estimate_covariance(const PanelView& returns, std::vector<std::string> asset_ids,
                              double periods_per_year) {
    return unwrap(analytics::covariance::estimate(returns.data(), returns.rows(), returns.cols(),
                                                  std::move(asset_ids), periods_per_year));
}

constexpr auto kEstimate = function<estimate_covariance>(
    "estimate_covariance", {"returns", "asset_ids", "periods_per_year"}, Returns{"RiskModel"},
    "Estimate a Ledoit-Wolf constant-correlation shrunk covariance.\n\n"
    "`returns` is `n_obs x n_assets` per-period simple returns.\n"
    "`periods_per_year` is required -- annualization is never inferred.");

// The model is read where it lies, held and borrowed from its conversion on.
OptimizationResult optimize_portfolio(const Held<RiskModel>& model, const Column<double>& alpha,
                                      const Column<double>& w_current, const std::vector<std::string>& asset_ids,
                                      const OptimizerConfig& config) {
    unwrap(analytics::check_asset_alignment(model.value(), asset_ids));
    return unwrap(analytics::optimize_book(model.value(), alpha.span(), w_current.span(), config));
}

constexpr auto kOptimize = function<optimize_portfolio>(
    "optimize_portfolio", {"model", "alpha", "w_current", "asset_ids", "config"}, Returns{"OptimizationResult"},
    "Optimize one long-only book seeded from current holdings.\n\n"
    "`asset_ids` must match the model's ordering exactly -- a reordered\n"
    "universe is an error, not a silently wrong result.");

// Everything the workers read is copied, while the lock is held.
Ref batch_optimize_portfolios(const RiskModel& model, const std::vector<OptimizeItem>& items,
                              const OptimizerConfig& config) {
    auto results = [&] {
        WithoutGil released;
        return analytics::optimize_batch(model, items, config);
    }();
    if (!results.ok()) {
        const auto& [index, error] = results.error();
        raise(PyExc_ValueError, base::fmt::format("item '{}': {}", items[index].item_id, error.message()));
    }

    std::vector<OptimizationResult>& books = results.value();
    return list_of(books.size(), [&](std::size_t i) {
        return pair_of(to_py(items[i].item_id), wrap(std::move(books[i])));
    });
}

constexpr auto kBatch = function<batch_optimize_portfolios>(
    "batch_optimize_portfolios", {"model", "items", "config"}, Returns{"list[tuple[str, OptimizationResult]]"},
    "Optimize many books against one risk model, in parallel.\n\n"
    "Deterministic: results are identical to a serial loop, order-preserving\n"
    "by item. A per-item error aborts the whole batch with that item named --\n"
    "a batch with one silently missing user is worse than a failed batch.");

RiskContributions compute_risk_contributions(const Held<RiskModel>& model, const ArrayF64& weights,
                                             const std::vector<std::string>& asset_ids) {
    unwrap(analytics::check_asset_alignment(model.value(), asset_ids));
    return unwrap(analytics::risk_contributions(model.value(), weights.data));
}

constexpr auto kContrib = function<compute_risk_contributions>(
    "compute_risk_contributions", {"model", "weights", "asset_ids"}, Returns{"RiskContributions"},
    "Risk contributions of `weights` under `model`.");

}  // namespace

PyTypeObject* Bound<analytics::RiskModel>::type() {
    return record_type<RiskModel>("builtins.RiskModel", kRiskModelSlots);
}
PyTypeObject* Bound<analytics::OptimizerConfig>::type() {
    return record_type<C>("builtins.OptimizerConfig", kConfigSlots);
}
PyTypeObject* Bound<analytics::OptimizationResult>::type() {
    return record_type<R>("builtins.OptimizationResult", kResultSlots);
}
PyTypeObject* Bound<analytics::RiskContributions>::type() {
    return record_type<RC>("builtins.RiskContributions", kContribSlots);
}
PyTypeObject* Bound<analytics::OptimizeItem>::type() {
    return record_type<OptimizeItem>("builtins.OptimizeItem", kItemSlots);
}

Registrations portfolio_analytics_class_rows() {
    static constexpr Registration rows[] = {
        class_row<analytics::RiskModel>(),
        class_row<analytics::OptimizerConfig>(),
        class_row<analytics::OptimizationResult>(),
        class_row<analytics::RiskContributions>(),
        class_row<analytics::OptimizeItem>(),
    };
    return rows;
}

Registrations portfolio_analytics_function_rows() {
    static constexpr Registration rows[] = {
        function_row<kEstimate>(),
        function_row<kOptimize>(),
        function_row<kBatch>(),
        function_row<kContrib>(),
    };
    return rows;
}

}  // namespace tarnwick::python
