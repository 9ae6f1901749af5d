// Multi-leg option spreads: one position of several legs, each with its own premium
// series, opened together on an entry signal, marked to market every bar, settled leg
// by leg at the legs' expiries and closed as a whole. The engine runs its own loop (no
// kernel) and charges every leg fill through the run's fee model. It touches nothing
// outside its arguments, so many runs can go on at once on different threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "domain/instrument_spec.h"
#include "domain/trade_record.h"
#include "engine/core_session.h"
#include "runners/batch_items.h"

namespace tarnwick::runners::spreads {

// The label a caller gives a spread. It is carried with the run and never changes it.
enum class SpreadType : std::uint8_t {
    Straddle = 0,
    Strangle = 1,
    VerticalCall = 2,
    VerticalPut = 3,
    IronCondor = 4,
    IronButterfly = 5,
    ButterflyCall = 6,
    ButterflyPut = 7,
    Calendar = 8,
    Diagonal = 9,
    LongCall = 10,
    LongPut = 11,
    NakedCall = 12,
    NakedPut = 13,
    Custom = 14,
};

std::string_view name(SpreadType type) noexcept;  // "straddle", "iron_condor", ...
// Lower-cased, then matched exactly against the names and their forms without the
// underscore ("ironcondor"); every other text is Custom, never an error.
SpreadType parse_spread_type(std::string_view text);

struct SpreadLegConfig {
    domain::OptionRight right = domain::OptionRight::Call;  // carried; no intrinsic value is computed
    double strike = 0.0;                    // carried
    std::int32_t quantity = 0;              // positive bought, negative sold
    std::uint64_t lot_size = 0;             // units per lot
};

// How an unknown option type is reported: the single run explains why it refuses to
// guess, the batch keeps to the short form.
enum class LegMessage : std::uint8_t { Single, Batch };

// One leg as written ("CE", "call", "p", ... in any case) into its engine form. Fails with
// "unknown option type {} for the leg at strike {}; expected ..." quoting the text as given.
base::Result<SpreadLegConfig, base::OwnError> parse_leg(const SpreadLegInput& leg, LegMessage message);

// Every leg in order; the first unknown option type ends the walk.
base::Result<std::vector<SpreadLegConfig>, base::OwnError> parse_legs(const std::vector<SpreadLegInput>& legs,
                                                                      LegMessage message);

// What run_spread_backtest refuses before anything runs. Open premiums must mirror the
// premiums exactly: as many series, each as long as its partner.
base::Status<base::OwnError> check_open_premiums(std::span<const std::vector<double>> premiums,
                                                 std::span<const std::vector<double>> open_premiums);
// One expiry per leg tuple.
base::Status<base::OwnError> check_expiry_count(std::size_t expiries, std::size_t legs);

struct SpreadRunConfig {
    domain::BacktestConfig config;        // initial_capital, fill timing, squareoff and the metrics' fields
    std::optional<double> max_loss;       // money, given as a positive amount
    std::optional<double> target_profit;  // money
    std::vector<SpreadLegConfig> legs;
    std::optional<std::vector<std::int64_t>> leg_expiries;  // nanoseconds, one per leg
    SpreadType spread_type = SpreadType::Custom;
    domain::FeeModel fee_model = domain::FeeModel::fraction(0.001);
};

// The market a run reads, owned by the caller. Signal bytes: non-zero is set.
struct SpreadMarket {
    std::span<const std::int64_t> timestamps;  // nanoseconds; its length is the bar count
    std::span<const std::vector<double>> legs_premiums;
    std::optional<std::span<const std::vector<double>>> legs_open_premiums;  // premium at each bar's open
    std::span<const std::uint8_t> entries;
    std::span<const std::uint8_t> exits;
};

// One leg of the open position.
struct SpreadLegState {
    std::optional<std::uint64_t> settled;  // the settlement bar once the leg has settled
    double strike = 0.0;
    std::uint64_t lot_size = 0;
    std::int32_t quantity = 0;
    domain::OptionRight right = domain::OptionRight::Call;
    double entry_premium = 0.0;
    std::uint64_t entry_idx = 0;
    double current_premium = 0.0;  // follows the series while live, frozen once settled
};

// One flag per bar when squareoff_time_minutes is set (none otherwise): in each local
// day (timestamp + session_tz_offset_ns, floor-divided), the first bar whose minute of
// day is at or after the squareoff minute. Later bars of that day are not flagged.
std::vector<std::uint8_t> squareoff_flags(std::span<const std::int64_t> timestamps,
                                          const domain::BacktestConfig& config);

// The costs of one fill of every chargeable leg (quantity not 0; on an exit, live only):
// the entry buys the bought legs and sells the sold ones, an exit the opposite. Under a
// cost segment each leg is itemised and the lines are summed over the legs; under any
// other model each leg costs the model's fee and there is no breakdown.
domain::FillCharge segment_cost_breakdown(const SpreadRunConfig& config, std::span<const SpreadLegState> legs,
                                          bool entering);

// Every array of the market against the run, before anything is read, in this order: one
// premium series per leg ("legs_premiums has 2 series, leg_configs has 3"), each series as
// long as the timestamps ("legs_premiums[1] has 3 values, timestamps has 5"), the open
// premiums mirroring the premiums when given, then the entries and the exits as long as
// the timestamps.
base::Status<base::OwnError> check_market(std::size_t legs, const SpreadMarket& market);

// The whole run. The position opens and closes as a whole at tradable premiums (finite,
// above 0) on every leg it fills: an entry on a bar where one is missing opens nothing,
// an exit due there (signal, squareoff, loss limit or target) waits for the next bar where
// every live leg has one, and a leg without one is marked, settled and closed at the end
// of the data at its last tradable premium. Inconsistent shapes (premium series or expiries not one per leg, a series
// or a signal array shorter than the bars) give the flat result: equity at
// initial_capital on every bar, zero returns and drawdown, no trades, zeroed metrics.
engine::RunOutput run(const SpreadRunConfig& config, const SpreadMarket& market);

// A batch item ready for a worker. Its settings are its own; its series are read where
// they lie, in the item it was prepared from, which the caller keeps alive and unchanged
// until the run is over.
struct PreparedSpreadItem {
    SpreadRunConfig run;  // no leg expiries; the fee model is resolved by the job
    std::string strategy_id;
    std::span<const std::vector<double>> legs_premiums;
    std::optional<std::span<const std::vector<double>>> legs_open_premiums;
    std::span<const std::uint8_t> entries;
    std::span<const std::uint8_t> exits;
};

// Parses the item's legs and spread type, checks its arrays against the shared timestamps
// as `check_market` does, and gives it a copy of the batch configuration and views of its
// series. Fails on an unknown option type (batch wording, naming no item) or on an array
// of the wrong length ("item '{id}': entries has 3 values, timestamps has 5").
base::Result<PreparedSpreadItem, base::OwnError> prepare_batch_item(const BatchSpreadItem& item,
                                                                    const domain::BacktestConfig& config,
                                                                    std::span<const std::int64_t> timestamps);

// The run of one prepared item over the shared timestamps; resolves its fee model first.
engine::RunOutput batch_spread_job(PreparedSpreadItem& item, std::span<const std::int64_t> timestamps);

// Every item on the worker pool, outputs in item order whatever the worker count. The
// periods per year the items' metrics infer from the shared timestamps are worked out
// once, up front.
std::vector<engine::RunOutput> run_batch(std::span<PreparedSpreadItem> items, std::span<const std::int64_t> timestamps);

}  // namespace tarnwick::runners::spreads
