// Tick rows as a session stores them, and the one rule that turns a row into events: a
// positive last price makes a trade print, a positive bid and ask make a quote, and the
// print comes first since it is what that book state followed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "data/events/feed_event.h"

namespace tarnwick::data {

// One instrument's ticks as ten owned columns of one length; a column the caller did not
// supply holds zeros. Quantities are per-row deltas, not running totals.
struct TickColumns {
    std::vector<std::int64_t> timestamps;  // nanoseconds since the Unix epoch
    std::vector<double> ltp;
    std::vector<double> bid;
    std::vector<double> ask;
    std::vector<double> buy_qty_delta;
    std::vector<double> sell_qty_delta;
    std::vector<double> oi;
    std::vector<double> ltq;
    std::vector<double> bid_qty;
    std::vector<double> ask_qty;

    // Rows every column can answer for (all columns share one length when built by the
    // session, so this is the length of `ltp` there).
    std::size_t rows() const noexcept;
};

// One row's values, whichever way the row arrived (stored columns or a live push).
struct TickRow {
    double ltp = 0.0;
    double bid = 0.0;
    double ask = 0.0;
    double buy_qty_delta = 0.0;
    double sell_qty_delta = 0.0;
    double ltq = 0.0;
    double bid_qty = 0.0;
    double ask_qty = 0.0;
    double oi = 0.0;
};

// price, size, signed_size, oi when ltp > 0 (NaN fails): size is ltq when above 0, else
// the sum of the absolute deltas; signed_size the absolute buy delta less the absolute sell.
std::optional<EventPayload> trade_payload(const TickRow& row) noexcept;
// bid, ask, bid_size, ask_size when bid > 0 and ask > 0 (NaN fails); a displayed quantity
// that is not above 0 becomes NaN.
std::optional<EventPayload> quote_payload(const TickRow& row) noexcept;

TickRow tick_row(const TickColumns& columns, std::size_t i) noexcept;

// At most two events per row, in row order; trades carry `trade_stream`, quotes
// `quote_stream`, both `instrument`.
std::vector<FeedEvent> tick_events_from_columns(const TickColumns& columns, std::uint32_t instrument,
                                                std::uint32_t trade_stream, std::uint32_t quote_stream);

}  // namespace tarnwick::data
