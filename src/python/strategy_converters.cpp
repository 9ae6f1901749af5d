#include "python/strategy_converters.h"

#include "domain/direction.h"

namespace tarnwick::python {

using base::OwnError;
using base::Result;
using base::err;

namespace {

Result<std::vector<InstrumentInput>, OwnError> convert_instruments(std::vector<BasketTuple>&& list) {
    std::vector<InstrumentInput> out;
    out.reserve(list.size());
    for (BasketTuple& t : list) {
        auto direction = domain::checked_direction(t.direction);
        if (!direction.ok()) return err(std::move(direction).error());
        InstrumentInput in;
        in.timestamps = std::move(t.timestamps);
        in.open = std::move(t.open);
        in.high = std::move(t.high);
        in.low = std::move(t.low);
        in.close = std::move(t.close);
        in.volume = std::move(t.volume);
        in.symbol = std::move(t.symbol);
        in.entries = std::move(t.entries);
        in.exits = std::move(t.exits);
        in.weight = t.weight;
        in.direction = direction.value();
        out.push_back(std::move(in));
    }
    return out;
}

}  // namespace

Result<std::vector<InstrumentInput>, OwnError> convert_basket_instruments(std::vector<BasketTuple>&& list) {
    return convert_instruments(std::move(list));
}

Result<std::vector<InstrumentInput>, OwnError> convert_portfolio_instruments(std::vector<BasketTuple>&& list) {
    return convert_instruments(std::move(list));
}

Result<std::vector<StrategyInput>, OwnError> convert_multi_strategies(std::vector<StrategyTuple>&& list) {
    std::vector<StrategyInput> out;
    out.reserve(list.size());
    for (StrategyTuple& t : list) {
        auto direction = domain::checked_direction(t.direction);
        if (!direction.ok()) return err(std::move(direction).error());
        out.push_back({std::move(t.name), std::move(t.entries.data), std::move(t.exits.data), t.weight,
                       direction.value()});
    }
    return out;
}

}  // namespace tarnwick::python
