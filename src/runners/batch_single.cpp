#include "runners/batch_single.h"

#include <algorithm>

#include "base/format.h"
#include "base/pool.h"
#include "domain/direction.h"
#include "metrics/annualization.h"

namespace tarnwick::runners::batch_single {

using base::CoreError;
using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using engine::RunOutput;

using single::BarSeries;

Status<OwnError> check_series(const BarSeries& bars) {
    const std::size_t n = bars.bars();
    const std::size_t columns[] = {bars.timestamps.size(), bars.open.size(), bars.high.size(), bars.low.size(),
                                   bars.volume.size()};
    for (const std::size_t len : columns) {
        if (len < n) return err(OwnError{CoreError::data_length_mismatch(n, len).message()});
    }
    return Unit{};
}

Status<OwnError> check_item(const PreparedSingleItem& item, std::size_t bars) {
    if (item.entries.size() != bars || item.exits.size() != item.entries.size()) {
        return err(OwnError{
            base::fmt::format("item '{}': entries ({}) and exits ({}) must match the shared price series length ({})",
                              item.item_id, item.entries.size(), item.exits.size(), bars)});
    }
    if (item.position_sizes && item.position_sizes->size() != bars) {
        return err(
            OwnError{base::fmt::format("item '{}': position_sizes ({}) must match the shared price series length ({})",
                                       item.item_id, item.position_sizes->size(), bars)});
    }
    if (auto direction = domain::checked_direction(item.direction); !direction) {
        return err(OwnError{base::fmt::format("item '{}': {}", item.item_id, direction.error().message())});
    }
    return Unit{};
}

Result<RunOutput, OwnError> run_item(const PreparedSingleItem& item, const BarSeries& bars) {
    single::SignalInput signals;
    signals.symbol = item.symbol;
    signals.entries = item.entries;
    signals.exits = item.exits;
    signals.position_sizes = item.position_sizes;
    signals.weight = item.weight;
    signals.direction = item.direction < 0 ? std::int8_t{-1} : std::int8_t{1};
    return single::run_backtest(single::SingleRunConfig::from(item.config), bars, signals, item.instrument_config);
}

Result<std::vector<RunOutput>, std::pair<std::size_t, OwnError>> run_all(std::span<const PreparedSingleItem> items,
                                                                         const BarSeries& bars) {
    metrics::annualization::SharedInference annualisation(bars.timestamps.first(std::min(bars.timestamps.size(), bars.bars())));
    std::vector<std::optional<double>> periods(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) periods[i] = annualisation.for_config(items[i].config);
    return base::pool::parallel_map<RunOutput, OwnError>(items.size(),
                                                         [&](std::size_t i) -> Result<RunOutput, OwnError> {
                                                             if (!periods[i]) return run_item(items[i], bars);
                                                             PreparedSingleItem item = items[i];
                                                             item.config.periods_per_year = periods[i];
                                                             return run_item(item, bars);
                                                         });
}

}  // namespace tarnwick::runners::batch_single
