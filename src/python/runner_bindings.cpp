// The multi-instrument and multi-strategy array backtests from Python: run_basket_backtest,
// run_portfolio_backtest and run_multi_backtest. Bar columns are read where they lie (the
// interpreter lock is held for the whole run), and so are the instruments' signals; the
// strategies' signals of run_multi_backtest are copied.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "domain/backtest_config.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/strategy_converters.h"
#include "runners/basket.h"
#include "runners/instrument_series.h"
#include "runners/multi.h"
#include "runners/portfolio.h"
#include "runners/portfolio_result.h"
#include "signals/synchronizer.h"

namespace tarnwick::python {

using domain::BacktestConfig;
using domain::InstrumentConfig;

// instrument_configs: a dict of symbol to InstrumentConfig, each value copied.
template <>
struct Converter<runners::InstrumentConfigs> {
    static runners::InstrumentConfigs from(PyObject* o) {
        if (!PyDict_Check(o)) refuse(o, "PyDict");
        runners::InstrumentConfigs out;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(o, &pos, &key, &value)) {
            out.insert_or_assign(from_py<std::string>(key), from_py<InstrumentConfig>(value));
        }
        return out;
    }
};

template <>
struct Annotation<runners::InstrumentConfigs> {
    static std::string text() { return "dict[str, InstrumentConfig]"; }
};

namespace {

using runners::single::SignalInput;

// Engine views of converted instruments; valid while `inputs` lives.
std::vector<runners::InstrumentSeries> series_of(const std::vector<InstrumentInput>& inputs) {
    std::vector<runners::InstrumentSeries> out;
    out.reserve(inputs.size());
    for (const InstrumentInput& in : inputs) {
        SignalInput s;
        s.symbol = in.symbol;
        s.entries = in.entries.span();
        s.exits = in.exits.span();
        s.weight = in.weight;
        s.direction = in.direction;
        out.push_back({in.bars(), std::move(s)});
    }
    return out;
}

constexpr Returns kResult{"BacktestResult"};

// ---------------------------------------------------------------------------
// run_basket_backtest

Ref run_basket_backtest(std::vector<BasketTuple> instruments, std::optional<BacktestConfig>&& config,
                        const std::string& sync_mode, std::optional<runners::InstrumentConfigs> instrument_configs) {
    const std::vector<InstrumentInput> inputs = unwrap(convert_basket_instruments(std::move(instruments)));
    const auto run = runners::basket::BasketRunConfig::from(
        std::move(config).value_or(BacktestConfig{}),
        std::move(instrument_configs).value_or(runners::InstrumentConfigs{}), signals::synchronizer::parse(sync_mode));
    const std::vector<runners::InstrumentSeries> series = series_of(inputs);
    return new_run_result(unwrap(runners::basket::run(run, series)));
}

constexpr auto kBasket = function<run_basket_backtest>(
    "run_basket_backtest", {"instruments", {"config", None}, {"sync_mode", "all"}, {"instrument_configs", None}},
    kResult,
    "Run basket/collective backtest.\n\n"
    "The instruments are matched by bar number, not by time: bar i of each is\n"
    "taken to be the same moment. Only their bar counts are compared, never\n"
    "their timestamps, so an instrument whose stamps run a year late trades\n"
    "exactly as if they did not. Instrument 0's timestamps date the curves (one\n"
    "value per bar) and give the Sharpe and Sortino ratios their periods per\n"
    "year; each trade carries its own instrument's stamps. Align the\n"
    "instruments' bars on common timestamps before the call (keep the stamps\n"
    "all of them have, or fill each one's missing bars).");

// ---------------------------------------------------------------------------
// run_portfolio_backtest

Ref run_portfolio_backtest(std::vector<BasketTuple> instruments, std::optional<BacktestConfig>&& config,
                           const std::string& allocation,
                           std::optional<runners::InstrumentConfigs> instrument_configs) {
    runners::portfolio::PortfolioRunConfig run;
    run.config = std::move(config).value_or(BacktestConfig{});
    run.instrument_configs = std::move(instrument_configs).value_or(runners::InstrumentConfigs{});

    const std::vector<InstrumentInput> inputs = unwrap(convert_portfolio_instruments(std::move(instruments)));
    const std::vector<runners::InstrumentSeries> series = series_of(inputs);
    return new_portfolio_result(unwrap(runners::portfolio::run(run, allocation, series)));
}

constexpr auto kPortfolio = function<run_portfolio_backtest>(
    "run_portfolio_backtest",
    {"instruments", {"config", None}, {"allocation", "equal_weight"}, {"instrument_configs", None}},
    Returns{"PortfolioResult"},
    "Run a shared-capital portfolio backtest.\n\n"
    "Simulates every instrument against one cash pool, with `max_positions` and\n"
    "the drawdown kill-switch (set on `config`) gating each entry *before* it\n"
    "opens -- so the reported metrics describe the constrained run.\n\n"
    "This is not the same as running one backtest per symbol and summing the\n"
    "equity curves: there each symbol gets its own private capital, so N symbols\n"
    "deploy N times the account and no cross-symbol limit can be applied.\n\n"
    "`allocation`: \"equal_weight\" (default) divides the pool across the slots\n"
    "that could still open; \"full\" lets each entry take the whole remaining pool.\n\n"
    "The instruments are matched by bar number, not by time: bar i of each is\n"
    "taken to be the same moment. Only their bar counts are compared, never\n"
    "their timestamps, so an instrument whose stamps run a year late trades\n"
    "exactly as if they did not. Instrument 0's timestamps date the curves (one\n"
    "value per bar) and give the metrics their periods per year and the\n"
    "drawdown's duration in seconds; each trade carries its own instrument's\n"
    "stamps, and so does its holding time. Align the instruments' bars on\n"
    "common timestamps before the call (keep the stamps all of them have, or\n"
    "fill each one's missing bars).");

// ---------------------------------------------------------------------------
// run_multi_backtest

Ref run_multi_backtest(const BarColumns& bars, std::vector<StrategyTuple> strategies,
                       std::optional<BacktestConfig>&& config, const std::string& combine_mode) {
    const std::vector<StrategyInput> inputs = unwrap(convert_multi_strategies(std::move(strategies)));
    std::vector<SignalInput> signals;
    signals.reserve(inputs.size());
    for (const StrategyInput& s : inputs) {
        SignalInput in;
        in.symbol = s.name;
        in.entries = s.entries;
        in.exits = s.exits;
        in.weight = s.weight;
        in.direction = s.direction;
        signals.push_back(std::move(in));
    }
    return new_run_result(unwrap(runners::multi::run(std::move(config).value_or(BacktestConfig{}), bars.series(),
                                                     signals, runners::multi::parse(combine_mode))));
}

constexpr auto kMulti = function<run_multi_backtest>(
    "run_multi_backtest",
    {"timestamps", "open", "high", "low", "close", "volume", "strategies", {"config", None}, {"combine_mode", "any"}},
    kResult, "Run multi-strategy backtest.");

}  // namespace

Registrations basket_portfolio_run_rows() {
    static constexpr Registration rows[] = {
        function_row<kBasket>(),
        function_row<kPortfolio>(),
    };
    return rows;
}

Registrations multi_run_rows() {
    static constexpr Registration rows[] = {function_row<kMulti>()};
    return rows;
}

}  // namespace tarnwick::python
