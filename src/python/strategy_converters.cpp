#include "python/strategy_converters.h"

#include "base/format.h"
#include "domain/direction.h"

namespace tarnwick::python {

using base::OwnError;
using base::Result;
using base::err;

namespace {

PyObject* tuple_of(PyObject* o, Py_ssize_t want) {
    if (!PyTuple_Check(o)) refuse(o, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (n != want) {
        raise(PyExc_TypeError, base::fmt::format("expected tuple of length {}, but got tuple of length {}", want, n));
    }
    return o;
}

template <class T>
T item(PyObject* t, Py_ssize_t i) {
    return from_py<T>(PyTuple_GET_ITEM(t, i));
}

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

BasketTuple Converter<BasketTuple>::from(PyObject* o) {
    PyObject* t = tuple_of(o, 11);
    BasketTuple b;
    b.timestamps = item<Column<std::int64_t>>(t, 0);
    b.open = item<Column<double>>(t, 1);
    b.high = item<Column<double>>(t, 2);
    b.low = item<Column<double>>(t, 3);
    b.close = item<Column<double>>(t, 4);
    b.volume = item<Column<double>>(t, 5);
    b.entries = item<Column<std::uint8_t>>(t, 6);
    b.exits = item<Column<std::uint8_t>>(t, 7);
    b.direction = item<std::int32_t>(t, 8);
    b.weight = item<double>(t, 9);
    b.symbol = item<std::string>(t, 10);
    return b;
}

StrategyTuple Converter<StrategyTuple>::from(PyObject* o) {
    PyObject* t = tuple_of(o, 5);
    StrategyTuple s;
    s.entries = item<ArrayBool>(t, 0);
    s.exits = item<ArrayBool>(t, 1);
    s.direction = item<std::int32_t>(t, 2);
    s.weight = item<double>(t, 3);
    s.name = item<std::string>(t, 4);
    return s;
}

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
