#include "data/events/tick_expansion.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwick::data {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double displayed(double qty) noexcept { return qty > 0.0 ? qty : kNaN; }

}  // namespace

std::size_t TickColumns::rows() const noexcept {
    return std::min({timestamps.size(), ltp.size(), bid.size(), ask.size(), buy_qty_delta.size(),
                     sell_qty_delta.size(), oi.size(), ltq.size(), bid_qty.size(), ask_qty.size()});
}

std::optional<EventPayload> trade_payload(const TickRow& r) noexcept {
    if (!(r.ltp > 0.0)) return std::nullopt;
    const double buy = std::fabs(r.buy_qty_delta);
    const double sell = std::fabs(r.sell_qty_delta);
    const double size = r.ltq > 0.0 ? r.ltq : buy + sell;
    return EventPayload{r.ltp, size, buy - sell, r.oi, 0.0};
}

std::optional<EventPayload> quote_payload(const TickRow& r) noexcept {
    if (!(r.bid > 0.0 && r.ask > 0.0)) return std::nullopt;
    return EventPayload{r.bid, r.ask, displayed(r.bid_qty), displayed(r.ask_qty), 0.0};
}

TickRow tick_row(const TickColumns& c, std::size_t i) noexcept {
    return TickRow{c.ltp[i],     c.bid[i], c.ask[i],     c.buy_qty_delta[i], c.sell_qty_delta[i],
                   c.ltq[i],     c.bid_qty[i], c.ask_qty[i], c.oi[i]};
}

std::vector<FeedEvent> tick_events_from_columns(const TickColumns& columns, std::uint32_t instrument,
                                                std::uint32_t trade_stream, std::uint32_t quote_stream) {
    const std::size_t n = columns.rows();
    std::vector<FeedEvent> out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const TickRow row = tick_row(columns, i);
        const std::int64_t ts = columns.timestamps[i];
        if (auto p = trade_payload(row)) out.push_back({FeedEventKind::Trade, ts, *p, instrument, trade_stream});
        if (auto p = quote_payload(row)) out.push_back({FeedEventKind::Quote, ts, *p, instrument, quote_stream});
    }
    return out;
}

}  // namespace tarnwick::data
