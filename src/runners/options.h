// One option contract traded from entry and exit signals, in a bar loop of its own.
//
// The caller's premium series is the traded contract: positions open by buying whole
// contracts of `lot_size` units at a bar's premium, are marked at the closing premium and
// close on an exit signal or at the end of the data. Nothing here prices an option: the
// right, the strike choice and the strike grid are carried for the caller but select
// nothing. A long position (direction 1) pays the premium at its entry and receives it at
// its exit; a short one (-1) receives it at its entry and pays it back at its exit, so it
// gains as the premium falls and is marked at cash - premium x units. The direction also
// decides which side of each fill the Indian cost schedules see.
//
// Premiums that are not tradable (NaN, infinite, 0 or below) take no fill: an entry on
// such a bar opens nothing, an exit waits for the next bar with a tradable premium, and the
// mark and an end-of-data close use the last tradable closing premium.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "domain/instrument_spec.h"
#include "engine/core_session.h"
#include "runners/single_driver.h"

namespace tarnwick::runners::options {

using single::BarSeries;
using single::SignalInput;

// "call"/"ce"/"c" or "put"/"pe"/"p", any ASCII case.
// Fails with "unknown option_type {lower-cased}; expected call/ce/c or put/pe/p".
base::Result<domain::OptionRight, base::OwnError> parse_option_type(std::string_view text);

// Which strike a run would trade: at the money, or one or two strikes in or out of it.
struct StrikeSelection {
    enum class Kind : std::uint8_t { Atm, Itm, Otm };
    Kind kind = Kind::Atm;
    std::uint8_t level = 0;  // 1 or 2; 0 at the money
};
// "atm", "itm1", "itm2", "otm1", "otm2", any ASCII case.
base::Result<StrikeSelection, base::OwnError> parse_strike_selection(std::string_view text);
std::string_view name(StrikeSelection s) noexcept;

// How many contracts an entry buys.
enum class SizeKind : std::uint8_t {
    Contracts,  // a fixed count
    Percent,    // a fraction of the cash (1.0 is all of it)
    Notional,   // an amount of money
    Risk,       // a fraction of the cash, sized like Percent
};
std::string_view name(SizeKind kind) noexcept;

struct SizeType {
    SizeKind kind = SizeKind::Percent;
    double value = 1.0;       // fraction or amount; unused by Contracts
    std::uint64_t count = 0;  // Contracts only: the value truncated, saturating, negative/NaN 0

    // Contracts bought at `premium` per unit with `cash` available. Quotients are truncated
    // toward zero and saturate: negative or NaN gives 0, beyond the range the largest count.
    std::uint64_t contracts(double cash, double premium, std::uint64_t lot_size) const noexcept;
};
// "contracts", "percent", "notional", "risk", any ASCII case, with the size value.
base::Result<SizeType, base::OwnError> parse_size_type(std::string_view text, double size_value);

struct OptionsRunConfig {
    domain::BacktestConfig config;
    SizeType size;
    StrikeSelection strike_selection;
    std::uint64_t lot_size = 1;  // units per contract
    double strike_interval = 50.0;
    domain::OptionRight option_type = domain::OptionRight::Call;
    domain::FeeModel fee_model = domain::FeeModel::fraction(0.001);
};

// The configuration with the fee model its BacktestConfig resolves to (a segment text
// naming no known exchange charges the flat `fees` fraction).
OptionsRunConfig attach_fee_model(OptionsRunConfig run);

// The cost of one fill of `contracts` at `premium`. Under a cost segment the fill is a
// buy when a long position enters or a short one exits, and the six lines come back
// itemised; any other fee model charges through FeeModel::fee with no breakdown.
domain::FillCharge leg_costs(const OptionsRunConfig& run, std::uint64_t contracts, std::int8_t direction, bool entering,
                             double premium) noexcept;

// Every length the run relies on, checked before anything is read: the close column and
// the entries against the premiums, the opening premiums when given, the exits against
// the entries, and the timestamps, which may be longer but not shorter.
base::Status<base::OwnError> check_lengths(const BarSeries& bars, std::span<const double> option_prices,
                                           std::optional<std::span<const double>> option_open_prices,
                                           const SignalInput& signals);

// The whole run. An entry sized to no contract opens nothing. The only errors are those
// of `check_lengths`.
base::Result<engine::RunOutput, base::OwnError> run(const OptionsRunConfig& run, const BarSeries& bars,
                                                    std::span<const double> option_prices,
                                                    std::optional<std::span<const double>> option_open_prices,
                                                    const SignalInput& signals);

}  // namespace tarnwick::runners::options
