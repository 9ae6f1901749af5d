// Single-instrument array backtests from Python: run_single_backtest, the batch item
// classes and batch_single_backtest.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "engine/backtest_result.h"
#include "python/batch_item_records.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
#include "python/direction.h"
#include "python/fields.h"
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/spread_leg_converter.h"
#include "python/strategy_converters.h"
#include "python/without_gil.h"
#include "runners/batch_output_size.h"
#include "runners/batch_single.h"
#include "runners/single_driver.h"

namespace tarnwick::python {

using domain::BacktestConfig;
using domain::InstrumentConfig;
using engine::RunOutput;

namespace {

using runners::single::BarSeries;
using runners::BatchSingleItem;
using runners::BatchSpreadItem;

// ---------------------------------------------------------------------------
// run_single_backtest

// The prices are read where they lie: the interpreter lock is held for the whole run.
Ref run_single_backtest(const BarColumns& columns, const ArrayBool& entries, const ArrayBool& exits,
                        std::int32_t direction, double weight, std::string symbol,
                        std::optional<BacktestConfig>&& config, const std::optional<ArrayF64>& sizes,
                        const std::optional<InstrumentConfig>& instrument) {
    runners::single::SignalInput signals;
    signals.direction = checked_direction(direction);
    signals.symbol = std::move(symbol);
    signals.entries = entries.data;
    signals.exits = exits.data;
    if (sizes) signals.position_sizes = std::span<const double>(sizes->data);
    signals.weight = weight;

    RunOutput run = unwrap(runners::single::run_backtest(
        runners::single::SingleRunConfig::from(std::move(config).value_or(BacktestConfig{})), columns.series(), signals,
        instrument));
    return new_run_result(std::move(run));
}

constexpr auto kRun = function<run_single_backtest>(
    "run_single_backtest", {"timestamps", "open", "high", "low", "close", "volume", "entries", "exits",
                            {"direction", 1}, {"weight", 1.0}, {"symbol", "UNKNOWN"}, {"config", None},
                            {"position_sizes", None}, {"instrument_config", None}},
    Returns{"BacktestResult"},
    "Run single instrument backtest.\n\n"
    "Note: the array-based runners (precomputed boolean entry/exit signals)\n"
    "are the legacy strategy path. For new strategies prefer driving a\n"
    "`KernelSession` bar by bar, which shares the same execution core and\n"
    "result types. Array runners remain supported and will only be\n"
    "deprecated in a future major release.\n\n"
    "position_sizes, when given, holds one fraction per bar: the entry\n"
    "signalled on bar i spends position_sizes[i] of the available capital. A\n"
    "fraction outside (0, 1], or NaN, makes that entry open nothing, without\n"
    "an error: 1.0001 and 2.0 give no trade, as do 0.0 and -0.5.");

// ---------------------------------------------------------------------------
// BatchSingleItem

BatchSingleItem construct_single_item(std::string item_id, ArrayBool entries, ArrayBool exits,
                                      std::int32_t direction, double weight, std::string symbol,
                                      std::optional<BacktestConfig>&& config, std::optional<ArrayF64> sizes,
                                      std::optional<InstrumentConfig> instrument_config) {
    BatchSingleItem item;
    item.item_id = std::move(item_id);
    item.entries = std::move(entries.data);
    item.exits = std::move(exits.data);
    item.direction = direction;
    item.weight = weight;
    item.symbol = std::move(symbol);
    item.config = std::move(config);
    if (sizes) item.position_sizes = std::move(sizes->data);
    item.instrument_config = std::move(instrument_config);
    return item;
}

constexpr auto kSingleItemNew = constructor<construct_single_item>(
    "BatchSingleItem.__new__", {"item_id", "entries", "exits", {"direction", 1}, {"weight", 1.0},
                                {"symbol", "UNKNOWN"}, {"config", None}, {"position_sizes", None},
                                {"instrument_config", None}},
    Returns{"BatchSingleItem"},
    "One signal set for `batch_single_backtest`.\n\n"
    "Eagerly copies its arrays under the GIL at construction, so the item holds\n"
    "no GIL-bound types and the batch loop can release the GIL (same pattern as\n"
    "`BatchSpreadItem`).\n\n"
    "position_sizes, when given, holds one fraction per bar: the entry\n"
    "signalled on bar i spends position_sizes[i] of the available capital. A\n"
    "fraction outside (0, 1], or NaN, makes that entry open nothing, without\n"
    "an error: 1.0001 and 2.0 give no trade, as do 0.0 and -0.5.");

using SI = BatchSingleItem;
PyGetSetDef kSingleItemGetSet[] = {
    read_write<&SI::item_id>("item_id"),
    read_write<&SI::direction>("direction"),
    read_write<&SI::weight>("weight"),
    read_write<&SI::symbol>("symbol"),
    kGetSetEnd,
};

PyType_Slot kSingleItemSlots[] = {
    doc_slot<kSingleItemNew>(),
    new_slot<kSingleItemNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<SI>)},
    {Py_tp_getset, kSingleItemGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// BatchSpreadItem

BatchSpreadItem construct_spread_item(std::string strategy_id, std::vector<ArrayF64> legs_premiums,
                                      std::vector<runners::SpreadLegInput> leg_configs, ArrayBool entries,
                                      ArrayBool exits, std::string spread_type, std::optional<double> max_loss,
                                      std::optional<double> target_profit,
                                      std::optional<std::vector<ArrayF64>> legs_open_premiums) {
    BatchSpreadItem item;
    item.strategy_id = std::move(strategy_id);
    item.legs_premiums = owned_series(std::move(legs_premiums));
    item.leg_configs = std::move(leg_configs);
    item.entries = std::move(entries.data);
    item.exits = std::move(exits.data);
    item.spread_type = std::move(spread_type);
    item.max_loss = max_loss;
    item.target_profit = target_profit;
    if (legs_open_premiums) item.legs_open_premiums = owned_series(std::move(*legs_open_premiums));
    return item;
}

constexpr auto kSpreadItemNew = constructor<construct_spread_item>(
    "BatchSpreadItem.__new__", {"strategy_id", "legs_premiums", "leg_configs", "entries", "exits",
                                {"spread_type", "custom"}, {"max_loss", None}, {"target_profit", None},
                                {"legs_open_premiums", None}},
    Returns{"BatchSpreadItem"}, "A single spread backtest item for batch execution.");

using SP = BatchSpreadItem;
PyGetSetDef kSpreadItemGetSet[] = {
    read_write<&SP::strategy_id>("strategy_id"),
    read_write<&SP::spread_type>("spread_type"),
    read_write<&SP::max_loss>("max_loss"),
    read_write<&SP::target_profit>("target_profit"),
    kGetSetEnd,
};

PyType_Slot kSpreadItemSlots[] = {
    doc_slot<kSpreadItemNew>(),
    new_slot<kSpreadItemNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<SP>)},
    {Py_tp_getset, kSpreadItemGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// batch_single_backtest

// Everything the runs read is copied out of Python here, once, while the lock is held. The
// items already own copies of their arrays (taken when they were made); they are read in
// place, held and borrowed until the runs are over.
Ref batch_single_backtest(const BarColumns& columns, const std::vector<Held<BatchSingleItem>>& items,
                          std::optional<BacktestConfig>&& config) {
    using runners::batch_single::PreparedSingleItem;
    runners::batch_single::SharedSeries series;
    auto copy = [](auto& into, const auto& column) { into.assign(column.span().begin(), column.span().end()); };
    copy(series.timestamps, columns.timestamps);
    copy(series.open, columns.open);
    copy(series.high, columns.high);
    copy(series.low, columns.low);
    copy(series.close, columns.close);
    copy(series.volume, columns.volume);
    const BacktestConfig shared = std::move(config).value_or(BacktestConfig{});

    const BarSeries bars = series.view();
    unwrap(runners::batch_single::check_series(bars));
    runners::check_batch_output_size(items.size(), bars.bars());
    std::vector<PreparedSingleItem> prepared;
    prepared.reserve(items.size());
    for (const Held<BatchSingleItem>& held : items) {
        const BatchSingleItem& item = held.value();
        PreparedSingleItem p;
        p.item_id = item.item_id;
        // An item's own configuration replaces the batch's as a whole.
        p.config = item.config ? *item.config : shared;
        p.instrument_config = item.instrument_config;
        p.symbol = item.symbol;
        p.entries = item.entries;
        p.exits = item.exits;
        if (item.position_sizes) p.position_sizes = std::span<const double>(*item.position_sizes);
        p.weight = item.weight;
        p.direction = item.direction;
        unwrap(runners::batch_single::check_item(p, bars.bars()));
        prepared.push_back(std::move(p));
    }

    auto outputs = [&] {
        WithoutGil released;
        return runners::batch_single::run_all(prepared, bars);
    }();
    if (!outputs.ok()) raise_value_error(outputs.error().second);

    std::vector<RunOutput>& runs = outputs.value();
    return list_of(runs.size(), [&](std::size_t i) {
        return pair_of(to_py(prepared[i].item_id), new_run_result(std::move(runs[i])));
    });
}

constexpr auto kBatch = function<batch_single_backtest>(
    "batch_single_backtest", {"timestamps", "open", "high", "low", "close", "volume", "items", {"config", None}},
    Returns{"list[tuple[str, BacktestResult]]"},
    "Run many single-instrument backtests over one price series, in parallel.\n\n"
    "Each item runs exactly as `run_single_backtest` would run it alone, with\n"
    "its own `config` when set, else the batch `config`, else the defaults.\n"
    "Returns a list of `(item_id, BacktestResult)` tuples in input order.");

}  // namespace

PyTypeObject* batch_single_item_type() {
    return record_type<BatchSingleItem>("builtins.BatchSingleItem", kSingleItemSlots);
}
PyTypeObject* batch_spread_item_type() {
    return record_type<BatchSpreadItem>("builtins.BatchSpreadItem", kSpreadItemSlots);
}

Registrations single_run_rows() {
    static constexpr Registration rows[] = {function_row<kRun>()};
    return rows;
}

Registrations spread_batch_item_rows() {
    static constexpr Registration rows[] = {class_row<runners::BatchSpreadItem>()};
    return rows;
}

Registrations single_batch_rows() {
    static constexpr Registration rows[] = {
        class_row<runners::BatchSingleItem>(),
        function_row<kBatch>(),
    };
    return rows;
}

}  // namespace tarnwick::python
