// The option-contract and pairs array backtests from Python: run_options_backtest and
// run_pairs_backtest. The bar columns are read where they lie (the interpreter lock is
// held for the whole run); premiums and signals are copied.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/format.h"
#include "engine/backtest_result.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
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

constexpr Returns kResult{"BacktestResult"};

// ---------------------------------------------------------------------------
// run_options_backtest

Ref run_options_backtest(const BarColumns& bars, const ArrayF64& premiums, const ArrayBool& entries,
                         const ArrayBool& exits, std::int32_t direction, std::string symbol,
                         std::optional<BacktestConfig>&& config, const std::string& option_type,
                         const std::string& strike_selection, const std::string& size_type, double size_value,
                         std::uint64_t lot_size, double strike_interval, const std::optional<ArrayF64>& open_premiums) {
    namespace opt = runners::options;
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
    run.config = std::move(config).value_or(BacktestConfig{});
    run.lot_size = lot_size;
    run.strike_interval = strike_interval;
    run = opt::attach_fee_model(std::move(run));

    std::optional<std::span<const double>> open_view;
    if (open_premiums) open_view = std::span<const double>(open_premiums->data);
    RunOutput out = unwrap(opt::run(run, bars.series(), premiums.data, open_view, signals));
    return new_run_result(std::move(out));
}

constexpr auto kOptions = function<run_options_backtest>(
    "run_options_backtest", {"timestamps", "open", "high", "low", "close", "volume", "option_prices", "entries",
                             "exits", {"direction", 1}, {"symbol", "OPTION"}, {"config", None},
                             {"option_type", "call"}, {"strike_selection", "atm"}, {"size_type", "percent"},
                             {"size_value", 1.0}, {"lot_size", 1}, {"strike_interval", 50.0},
                             {"option_open_prices", None}},
    kResult, "Run options backtest.");

// ---------------------------------------------------------------------------
// run_pairs_backtest

Ref run_pairs_backtest(const BarColumns& leg1, const BarColumns& leg2, const ArrayBool& entries,
                       const ArrayBool& exits, std::int32_t direction, std::string symbol,
                       std::optional<BacktestConfig>&& config, double hedge_ratio, bool dynamic_hedge) {
    namespace pairs = runners::pairs;
    const SignalInput signals = signal_input(direction, std::move(symbol), entries, exits);

    pairs::PairsRunConfig run;
    run.config = std::move(config).value_or(BacktestConfig{});
    run.hedge_ratio = hedge_ratio;
    run.dynamic_hedge = dynamic_hedge;
    RunOutput out = unwrap(pairs::run(run, leg1.series(), leg2.series(), signals));
    return new_run_result(std::move(out));
}

constexpr auto kPairs = function<run_pairs_backtest>(
    "run_pairs_backtest", {"leg1_timestamps", "leg1_open", "leg1_high", "leg1_low", "leg1_close", "leg1_volume",
                           "leg2_timestamps", "leg2_open", "leg2_high", "leg2_low", "leg2_close", "leg2_volume",
                           "entries", "exits", {"direction", 1}, {"symbol", "PAIR"}, {"config", None},
                           {"hedge_ratio", 1.0}, {"dynamic_hedge", false}},
    kResult, "Run pairs trading backtest.");

}  // namespace

Registrations options_pairs_run_rows() {
    static constexpr Registration rows[] = {
        function_row<kOptions>(),
        function_row<kPairs>(),
    };
    return rows;
}

}  // namespace tarnwick::python
