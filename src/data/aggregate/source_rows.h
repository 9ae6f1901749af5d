// Runs of source records as the builders read them: one field of one row at a time, so
// that a builder's loop reads only the columns it uses.
//
// A row source answers present(i) (whether row i carries a record) and, for a row that
// does, timestamp(i), open(i), high(i), low(i), close(i), volume(i) and signed_size(i);
// OneRecord (bar_builder.h) is the source of a single pushed record. The whole-array
// sources also answer flow(i), the fields of row i that order flow reads, in one go
// (read by the pool, many cores at once, where asking for the rows ahead gains nothing).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::data::aggregate {

// Element i of a column, with the element a few kilobytes further on asked for at the
// same time: a one-pass loop over the rows otherwise waits on memory for much of its
// time, the hardware fetching ahead too little for one core reading one or two columns.
template <class T>
inline T ahead(const T* column, std::size_t i) noexcept {
    // Past the end the hint is harmless (a prefetch never faults); the address is formed
    // as an integer so that no pointer leaves its array.
    constexpr std::size_t kAhead = 2048;  // bytes
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(column + i) + kAhead));
    return column[i];
}

// Row i as order flow reads it; close, volume and signed size mean nothing when absent.
struct FlowFields {
    bool present;
    double close;
    double volume;
    double signed_size;
};

struct BarColumns {
    std::span<const std::int64_t> timestamps;  // nanoseconds since the Unix epoch
    std::span<const double> open, high, low, close, volume;
};

// Finer bars: every row is a record with no signed size.
struct BarRows {
    const std::int64_t* ts;
    const double *o, *h, *l, *c, *v;

    explicit BarRows(const BarColumns& b)
        : ts(b.timestamps.data()),
          o(b.open.data()),
          h(b.high.data()),
          l(b.low.data()),
          c(b.close.data()),
          v(b.volume.data()) {}

    bool present(std::size_t) const noexcept { return true; }
    std::int64_t timestamp(std::size_t i) const noexcept { return ahead(ts, i); }
    double open(std::size_t i) const noexcept { return ahead(o, i); }
    double high(std::size_t i) const noexcept { return ahead(h, i); }
    double low(std::size_t i) const noexcept { return ahead(l, i); }
    double close(std::size_t i) const noexcept { return ahead(c, i); }
    double volume(std::size_t i) const noexcept { return ahead(v, i); }
    double signed_size(std::size_t) const noexcept { return 0.0; }
    FlowFields flow(std::size_t i) const noexcept { return {true, c[i], v[i], 0.0}; }
};

// Tick rows: last traded price and the buy- and sell-initiated quantity traded since the
// previous row (deltas, not running totals).
struct TickRows {
    std::span<const std::int64_t> timestamps;
    std::span<const double> ltp, buy_qty_delta, sell_qty_delta;
};

// The trade prints of tick rows, by the feed's rule for rows without quotes, ltq or oi: a
// row is a print only where its price is positive, of size |buy| + |sell| and signed
// size |buy| - |sell|; a row with no price (zero, negative or NaN) carries none.
struct TickPrints {
    const std::int64_t* ts;
    const double *ltp, *buy, *sell;

    explicit TickPrints(const TickRows& t)
        : ts(t.timestamps.data()), ltp(t.ltp.data()), buy(t.buy_qty_delta.data()), sell(t.sell_qty_delta.data()) {}

    bool present(std::size_t i) const noexcept { return ahead(ltp, i) > 0.0; }
    std::int64_t timestamp(std::size_t i) const noexcept { return ahead(ts, i); }
    double open(std::size_t i) const noexcept { return ltp[i]; }
    double high(std::size_t i) const noexcept { return ltp[i]; }
    double low(std::size_t i) const noexcept { return ltp[i]; }
    double close(std::size_t i) const noexcept { return ltp[i]; }
    double volume(std::size_t i) const noexcept { return std::fabs(ahead(buy, i)) + std::fabs(ahead(sell, i)); }
    double signed_size(std::size_t i) const noexcept { return std::fabs(ahead(buy, i)) - std::fabs(ahead(sell, i)); }
    FlowFields flow(std::size_t i) const noexcept {
        const double price = ltp[i];
        const double b = std::fabs(buy[i]);
        const double s = std::fabs(sell[i]);
        return {price > 0.0, price, b + s, b - s};
    }
};

}  // namespace tarnwick::data::aggregate
