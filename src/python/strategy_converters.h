// The arguments of the array runners: the six bar columns of an instrument, and the lists
// of fixed-length tuples of the multi-instrument and multi-strategy runners, bound first
// (shape and type refusals as TypeError naming the argument) and then converted
// (directions checked; bars viewed, and the signals of the multi-instrument runners too).
// An instrument tuple's arrays are viewed only after the call's last conversion, as every
// view is (python/convert.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "python/annotation.h"
#include "python/convert.h"
#include "python/listing.h"
#include "python/numpy_bridge.h"
#include "runners/single_driver.h"

namespace tarnwick::python {

// The six bar columns of one instrument, consecutive parameters of every runner that takes
// bars (declared as timestamps, open, high, low, close, volume, or with a prefix); the
// interpreter lock is held while the views are read.
struct BarColumns {
    Column<std::int64_t> timestamps;
    Column<double> open, high, low, close, volume;

    static constexpr auto members = std::tuple{&BarColumns::timestamps, &BarColumns::open,  &BarColumns::high,
                                               &BarColumns::low,        &BarColumns::close, &BarColumns::volume};

    runners::single::BarSeries series() const {
        return {timestamps.span(), open.span(), high.span(), low.span(), close.span(), volume.span()};
    }
};

// One bound (timestamps, open, high, low, close, volume, entries, exits, direction,
// weight, symbol) tuple of run_basket_backtest / run_portfolio_backtest.
struct BasketTuple {
    Column<std::int64_t> timestamps;
    Column<double> open, high, low, close, volume;
    Column<std::uint8_t> entries, exits;  // any non-zero byte is set
    std::int32_t direction = 1;
    double weight = 1.0;
    std::string symbol;

    static constexpr auto items =
        std::tuple{&BasketTuple::timestamps, &BasketTuple::open,      &BasketTuple::high,    &BasketTuple::low,
                   &BasketTuple::close,      &BasketTuple::volume,    &BasketTuple::entries, &BasketTuple::exits,
                   &BasketTuple::direction,  &BasketTuple::weight,    &BasketTuple::symbol};
};

// One bound (entries, exits, direction, weight, name) tuple of run_multi_backtest.
struct StrategyTuple {
    ArrayBool entries, exits;
    std::int32_t direction = 1;
    double weight = 1.0;
    std::string name;

    static constexpr auto items = std::tuple{&StrategyTuple::entries, &StrategyTuple::exits,
                                             &StrategyTuple::direction, &StrategyTuple::weight, &StrategyTuple::name};
};

// A converted instrument: its bars and signals viewed for the length of the call (the
// runners read the signals once, into columns or signal bars of their own).
struct InstrumentInput {
    Column<std::int64_t> timestamps;
    Column<double> open, high, low, close, volume;
    std::string symbol;
    Column<std::uint8_t> entries, exits;  // any non-zero byte is set
    double weight = 1.0;
    std::int8_t direction = 1;

    runners::single::BarSeries bars() const {
        return {timestamps.span(), open.span(), high.span(), low.span(), close.span(), volume.span()};
    }
};

struct StrategyInput {
    std::string name;
    std::vector<std::uint8_t> entries, exits;
    double weight = 1.0;
    std::int8_t direction = 1;
};

// In list order; the first direction other than 1 or -1 fails the whole list with
// "direction must be 1 (long) or -1 (short), got {}". No lengths are compared here.
base::Result<std::vector<InstrumentInput>, base::OwnError> convert_basket_instruments(std::vector<BasketTuple>&& list);
base::Result<std::vector<InstrumentInput>, base::OwnError> convert_portfolio_instruments(
    std::vector<BasketTuple>&& list);
base::Result<std::vector<StrategyInput>, base::OwnError> convert_multi_strategies(std::vector<StrategyTuple>&& list);

template <>
struct Annotation<BasketTuple> {
    static std::string text() {
        return alias("_BasketInstrument",
                     "tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], "
                     "NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], int, float, "
                     "str]");
    }
};
template <>
struct Annotation<StrategyTuple> {
    static std::string text() {
        return alias("_MultiStrategy", "tuple[NDArray[np.bool_], NDArray[np.bool_], int, float, str]");
    }
};

}  // namespace tarnwick::python
