#include "data/aggregate/bar_aggregator.h"

#include <utility>

#include "data/aggregate/bar_builder_factory.h"

namespace tarnwick::data::aggregate {

using base::AggregateError;
using base::Result;
using base::err;
using domain::OhlcvBar;

Result<BarAggregator, AggregateError> BarAggregator::create(std::uint32_t step, std::string unit,
                                                            std::int64_t tz_offset_ns, double brick_size) {
    auto built = bar_builder_from_spec({step, unit, tz_offset_ns, brick_size});
    if (!built.ok()) return err(std::move(built).error());
    return BarAggregator(step, std::move(unit), std::move(built).value());
}

std::optional<OhlcvBar> BarAggregator::push_bar(std::int64_t timestamp, double open, double high, double low,
                                                double close, double volume) {
    return builder_->push({timestamp, open, high, low, close, volume, 0.0});
}

std::optional<OhlcvBar> BarAggregator::push_trade(std::int64_t timestamp, double price, double size,
                                                  double signed_size) {
    return builder_->push({timestamp, price, price, price, price, size, signed_size});
}

}  // namespace tarnwick::data::aggregate
