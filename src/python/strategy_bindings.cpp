// Single-instrument array backtests from Python: run_single_backtest, the batch item
// classes and batch_single_backtest.
#include <cstddef>
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
#include "python/direction.h"
#include "python/fields.h"
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/spread_leg_converter.h"
#include "python/strategy_converters.h"
#include "python/without_gil.h"
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

constexpr auto kRun = function(
    "run_single_backtest", {"timestamps", "open", "high", "low", "close", "volume", "entries", "exits",
                            {"direction", "1"}, {"weight", "1.0"}, {"symbol", "\"UNKNOWN\""}, {"config", "None"},
                            {"position_sizes", "None"}, {"instrument_config", "None"}},
    "Run single instrument backtest.\n\n"
    "Note: the array-based runners (precomputed boolean entry/exit signals)\n"
    "are the legacy strategy path. For new strategies prefer driving a\n"
    "`KernelSession` bar by bar, which shares the same execution core and\n"
    "result types. Array runners remain supported and will only be\n"
    "deprecated in a future major release.");

PyObject* run_single_backtest(PyObject*, const Args& a) {
    // The prices are read where they lie: the interpreter lock is held for the whole run.
    const BarColumns columns = BarColumns::from(a, 0);
    const ArrayBool entries = a.get<ArrayBool>(6);
    const ArrayBool exits = a.get<ArrayBool>(7);
    const auto direction = a.get_or<std::int32_t>(8, 1);
    const double weight = a.get_or<double>(9, 1.0);
    std::string symbol = a.get_or<std::string>(10, "UNKNOWN");
    const BacktestConfig config = a.opt<BacktestConfig>(11).value_or(BacktestConfig{});
    const std::optional<ArrayF64> sizes = a.opt<ArrayF64>(12);
    const std::optional<InstrumentConfig> instrument = a.opt<InstrumentConfig>(13);

    runners::single::SignalInput signals;
    signals.direction = checked_direction(direction);
    signals.symbol = std::move(symbol);
    signals.entries = entries.data;
    signals.exits = exits.data;
    if (sizes) signals.position_sizes = std::span<const double>(sizes->data);
    signals.weight = weight;

    RunOutput run = unwrap(runners::single::run_backtest(runners::single::SingleRunConfig::from(config),
                                                         columns.series(), signals, instrument));
    return new_run_result(std::move(run)).release();
}

// ---------------------------------------------------------------------------
// BatchSingleItem

constexpr auto kSingleItemNew = constructor(
    "BatchSingleItem.__new__", {"item_id", "entries", "exits", {"direction", "1"}, {"weight", "1.0"},
                                {"symbol", "\"UNKNOWN\""}, {"config", "None"}, {"position_sizes", "None"},
                                {"instrument_config", "None"}},
    "One signal set for `batch_single_backtest`.\n\n"
    "Eagerly copies its arrays under the GIL at construction, so the item holds\n"
    "no GIL-bound types and the batch loop can release the GIL (same pattern as\n"
    "`BatchSpreadItem`).");

PyObject* construct_single_item(PyTypeObject*, const Args& a) {
    BatchSingleItem item;
    item.item_id = a.get<std::string>(0);
    item.entries = a.get<ArrayBool>(1).data;
    item.exits = a.get<ArrayBool>(2).data;
    item.direction = a.get_or<std::int32_t>(3, 1);
    item.weight = a.get_or<double>(4, 1.0);
    item.symbol = a.get_or<std::string>(5, "UNKNOWN");
    item.config = a.opt<BacktestConfig>(6);
    if (auto sizes = a.opt<ArrayF64>(7)) item.position_sizes = std::move(sizes->data);
    item.instrument_config = a.opt<InstrumentConfig>(8);
    return wrap(std::move(item)).release();
}

using SI = BatchSingleItem;
PyGetSetDef kSingleItemGetSet[] = {
    read_write<&SI::item_id>("item_id"),
    read_write<&SI::direction>("direction"),
    read_write<&SI::weight>("weight"),
    read_write<&SI::symbol>("symbol"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSingleItemSlots[] = {
    {Py_tp_doc, class_doc<kSingleItemNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kSingleItemNew, construct_single_item>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<SI>)},
    {Py_tp_getset, kSingleItemGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// BatchSpreadItem

constexpr auto kSpreadItemNew = constructor(
    "BatchSpreadItem.__new__", {"strategy_id", "legs_premiums", "leg_configs", "entries", "exits",
                                {"spread_type", "\"custom\""}, {"max_loss", "None"}, {"target_profit", "None"},
                                {"legs_open_premiums", "None"}}, "A single spread backtest item for batch execution.");

PyObject* construct_spread_item(PyTypeObject*, const Args& a) {
    BatchSpreadItem item;
    item.strategy_id = a.get<std::string>(0);
    item.legs_premiums = owned_series(a.get<std::vector<ArrayF64>>(1));
    item.leg_configs = a.get<std::vector<runners::SpreadLegInput>>(2);
    item.entries = a.get<ArrayBool>(3).data;
    item.exits = a.get<ArrayBool>(4).data;
    item.spread_type = a.get_or<std::string>(5, "custom");
    item.max_loss = a.opt<double>(6);
    item.target_profit = a.opt<double>(7);
    if (auto open = a.opt<std::vector<ArrayF64>>(8)) item.legs_open_premiums = owned_series(std::move(*open));
    return wrap(std::move(item)).release();
}

using SP = BatchSpreadItem;
PyGetSetDef kSpreadItemGetSet[] = {
    read_write<&SP::strategy_id>("strategy_id"),
    read_write<&SP::spread_type>("spread_type"),
    read_write<&SP::max_loss>("max_loss"),
    read_write<&SP::target_profit>("target_profit"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSpreadItemSlots[] = {
    {Py_tp_doc, class_doc<kSpreadItemNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kSpreadItemNew, construct_spread_item>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<SP>)},
    {Py_tp_getset, kSpreadItemGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// batch_single_backtest

constexpr auto kBatch = function(
    "batch_single_backtest", {"timestamps", "open", "high", "low", "close", "volume", "items", {"config", "None"}},
    "Run many single-instrument backtests over one price series, in parallel.\n\n"
    "Each item runs exactly as `run_single_backtest` would run it alone, with\n"
    "its own `config` when set, else the batch `config`, else the defaults.\n"
    "Returns a list of `(item_id, BacktestResult)` tuples in input order.");

PyObject* batch_single_backtest(PyObject*, const Args& a) {
    using runners::batch_single::PreparedSingleItem;
    // Everything the runs read is copied out of Python here, once, while the lock is held.
    runners::batch_single::SharedSeries series;
    auto copy = [](auto& into, const auto& column) { into.assign(column.span().begin(), column.span().end()); };
    copy(series.timestamps, a.get<Column<std::int64_t>>(0));
    copy(series.open, a.get<Column<double>>(1));
    copy(series.high, a.get<Column<double>>(2));
    copy(series.low, a.get<Column<double>>(3));
    copy(series.close, a.get<Column<double>>(4));
    copy(series.volume, a.get<Column<double>>(5));
    // The items already own copies of their arrays (taken when they were made); they are
    // read in place, held and borrowed until the runs are over.
    const std::vector<Held<BatchSingleItem>> items = a.get<std::vector<Held<BatchSingleItem>>>(6);
    const BacktestConfig shared = a.opt<BacktestConfig>(7).value_or(BacktestConfig{});

    const BarSeries bars = series.view();
    unwrap(runners::batch_single::check_series(bars));
    runners::batch_single::check_output_size(items.size(), bars.bars());
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
    }).release();
}

}  // namespace

PyTypeObject* batch_single_item_type() {
    return record_type<BatchSingleItem>("builtins.BatchSingleItem", kSingleItemSlots);
}
PyTypeObject* batch_spread_item_type() {
    return record_type<BatchSpreadItem>("builtins.BatchSpreadItem", kSpreadItemSlots);
}

Registrations single_run_rows() {
    static constexpr Registration rows[] = {function_row<kRun, run_single_backtest>()};
    return rows;
}

Registrations spread_batch_item_rows() {
    static constexpr Registration rows[] = {class_row<runners::BatchSpreadItem>()};
    return rows;
}

Registrations single_batch_rows() {
    static constexpr Registration rows[] = {
        class_row<runners::BatchSingleItem>(),
        function_row<kBatch, batch_single_backtest>(),
    };
    return rows;
}

}  // namespace tarnwick::python
