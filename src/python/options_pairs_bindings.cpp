// The option-contract and pairs array backtests from Python: run_options_backtest and
// run_pairs_backtest. The bar columns are read where they lie (the interpreter lock is
// held for the whole run); premiums and signals are copied.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/format.h"
#include "engine/backtest_result.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/direction.h"
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/strategy_converters.h"
#include "runners/options.h"
#include "runners/pairs.h"

namespace tarnwick::python {

using domain::BacktestConfig;
using engine::RunOutput;

namespace {

using runners::single::SignalInput;

// The signals of a run over the copied flags, its direction checked.
SignalInput signal_input(std::int32_t direction, std::string symbol, const ArrayBool& entries,
                         const ArrayBool& exits) {
    SignalInput s;
    s.direction = checked_direction(direction);
    s.symbol = std::move(symbol);
    s.entries = entries.data;
    s.exits = exits.data;
    return s;
}

// ---------------------------------------------------------------------------
// run_options_backtest

constexpr auto kOptions = function(
    "run_options_backtest", {"timestamps", "open", "high", "low", "close", "volume", "option_prices", "entries",
                             "exits", {"direction", "1"}, {"symbol", "\"OPTION\""}, {"config", "None"},
                             {"option_type", "\"call\""}, {"strike_selection", "\"atm\""}, {"size_type", "\"percent\""},
                             {"size_value", "1.0"}, {"lot_size", "1"}, {"strike_interval", "50.0"},
                             {"option_open_prices", "None"}}, "Run options backtest.");

PyObject* run_options_backtest(PyObject*, const Args& a) {
    namespace opt = runners::options;
    // Every argument is bound and converted first, in parameter order.
    const BarColumns bars = BarColumns::from(a, 0);
    const ArrayF64 premiums = a.get<ArrayF64>(6);
    const ArrayBool entries = a.get<ArrayBool>(7);
    const ArrayBool exits = a.get<ArrayBool>(8);
    const auto direction = a.get_or<std::int32_t>(9, 1);
    std::string symbol = a.get_or<std::string>(10, "OPTION");
    std::optional<BacktestConfig> config = a.opt<BacktestConfig>(11);
    const std::string option_type = a.get_or<std::string>(12, "call");
    const std::string strike_selection = a.get_or<std::string>(13, "atm");
    const std::string size_type = a.get_or<std::string>(14, "percent");
    const double size_value = a.get_or<double>(15, 1.0);
    const auto lot_size = a.get_or<std::uint64_t>(16, 1);
    const double strike_interval = a.get_or<double>(17, 50.0);
    const std::optional<ArrayF64> open_premiums = a.opt<ArrayF64>(18);

    if (open_premiums && open_premiums->data.size() != premiums.data.size()) {
        raise(PyExc_ValueError,
              base::fmt::format("option_open_prices has {} entries but option_prices has {}; the two series must cover "
                                "the same bars",
                                open_premiums->data.size(), premiums.data.size()));
    }
    const SignalInput signals = signal_input(direction, std::move(symbol), entries, exits);

    opt::OptionsRunConfig run;
    run.option_type = unwrap(opt::parse_option_type(option_type));
    run.strike_selection = unwrap(opt::parse_strike_selection(strike_selection));
    run.size = unwrap(opt::parse_size_type(size_type, size_value));
    run.config = config ? std::move(*config) : BacktestConfig{};
    run.lot_size = lot_size;
    run.strike_interval = strike_interval;
    run = opt::attach_fee_model(std::move(run));

    std::optional<std::span<const double>> open_view;
    if (open_premiums) open_view = std::span<const double>(open_premiums->data);
    RunOutput out = unwrap(opt::run(run, bars.series(), premiums.data, open_view, signals));
    return new_run_result(std::move(out)).release();
}

// ---------------------------------------------------------------------------
// run_pairs_backtest

constexpr auto kPairs = function(
    "run_pairs_backtest", {"leg1_timestamps", "leg1_open", "leg1_high", "leg1_low", "leg1_close", "leg1_volume",
                           "leg2_timestamps", "leg2_open", "leg2_high", "leg2_low", "leg2_close", "leg2_volume",
                           "entries", "exits", {"direction", "1"}, {"symbol", "\"PAIR\""}, {"config", "None"},
                           {"hedge_ratio", "1.0"}, {"dynamic_hedge", "False"}}, "Run pairs trading backtest.");

PyObject* run_pairs_backtest(PyObject*, const Args& a) {
    namespace pairs = runners::pairs;
    const BarColumns leg1 = BarColumns::from(a, 0);
    const BarColumns leg2 = BarColumns::from(a, 6);
    const ArrayBool entries = a.get<ArrayBool>(12);
    const ArrayBool exits = a.get<ArrayBool>(13);
    const auto direction = a.get_or<std::int32_t>(14, 1);
    std::string symbol = a.get_or<std::string>(15, "PAIR");
    std::optional<BacktestConfig> config = a.opt<BacktestConfig>(16);
    const double hedge_ratio = a.get_or<double>(17, 1.0);
    const bool dynamic_hedge = a.get_or<bool>(18, false);

    const SignalInput signals = signal_input(direction, std::move(symbol), entries, exits);

    pairs::PairsRunConfig run;
    run.config = config ? std::move(*config) : BacktestConfig{};
    run.hedge_ratio = hedge_ratio;
    run.dynamic_hedge = dynamic_hedge;
    RunOutput out = unwrap(pairs::run(run, leg1.series(), leg2.series(), signals));
    return new_run_result(std::move(out)).release();
}

}  // namespace

Registrations options_pairs_run_rows() {
    static constexpr Registration rows[] = {
        function_row<kOptions, run_options_backtest>(),
        function_row<kPairs, run_pairs_backtest>(),
    };
    return rows;
}

}  // namespace tarnwick::python
