#include "data/feed/stream_columns.h"

namespace tarnwick::data {

using base::Matrix;
using base::OwnError;
using base::Result;
using base::err;
using domain::OhlcvBar;

Result<std::vector<OhlcvBar>, OwnError> bars_from_columns(const std::vector<std::int64_t>& timestamps,
                                                          const std::vector<double>& open,
                                                          const std::vector<double>& high,
                                                          const std::vector<double>& low,
                                                          const std::vector<double>& close,
                                                          const std::vector<double>& volume) {
    const std::size_t n = timestamps.size();
    if (open.size() != n || high.size() != n || low.size() != n || close.size() != n || volume.size() != n) {
        return err(OwnError{"all bar arrays must share one length"});
    }
    std::vector<OhlcvBar> bars;
    bars.reserve(n);
    for (std::size_t i = 0; i < n; ++i) bars.push_back({timestamps[i], open[i], high[i], low[i], close[i], volume[i]});
    return bars;
}

Result<TickColumns, OwnError> tick_columns(std::vector<std::int64_t> timestamps, std::vector<double> ltp,
                                           OptionalTickColumns optional) {
    const std::size_t n = timestamps.size();
    const OwnError mismatch{"all tick arrays must share one length"};
    if (ltp.size() != n) return err(mismatch);
    std::optional<std::vector<double>>* given[] = {&optional.bid,     &optional.ask,           &optional.buy_qty_delta,
                                                   &optional.sell_qty_delta, &optional.oi, &optional.ltq,
                                                   &optional.bid_qty, &optional.ask_qty};
    for (auto* column : given) {
        if (*column && (*column)->size() != n) return err(mismatch);
    }
    auto take = [n](std::optional<std::vector<double>>& c) {
        return c ? std::move(*c) : std::vector<double>(n, 0.0);
    };
    TickColumns t;
    t.timestamps = std::move(timestamps);
    t.ltp = std::move(ltp);
    t.bid = take(optional.bid);
    t.ask = take(optional.ask);
    t.buy_qty_delta = take(optional.buy_qty_delta);
    t.sell_qty_delta = take(optional.sell_qty_delta);
    t.oi = take(optional.oi);
    t.ltq = take(optional.ltq);
    t.bid_qty = take(optional.bid_qty);
    t.ask_qty = take(optional.ask_qty);
    return t;
}

Result<std::vector<DepthSnapshot>, OwnError> depth_snapshots(const std::vector<std::int64_t>& timestamps,
                                                             const Matrix& bid_prices, const Matrix& bid_sizes,
                                                             const Matrix& ask_prices, const Matrix& ask_sizes) {
    const std::size_t n = timestamps.size();
    if (bid_prices.rows != n || bid_sizes.rows != n || ask_prices.rows != n || ask_sizes.rows != n) {
        return err(OwnError{"depth arrays must have one row per timestamp"});
    }
    if (bid_prices.cols != bid_sizes.cols || ask_prices.cols != ask_sizes.cols) {
        return err(OwnError{"price and size arrays must have the same level count"});
    }
    std::vector<DepthSnapshot> out;
    out.reserve(n);
    for (std::size_t r = 0; r < n; ++r) {
        DepthSnapshot s;
        s.ts = timestamps[r];
        for (std::size_t j = 0; j < bid_prices.cols; ++j) s.offer_bid(bid_prices(r, j), bid_sizes(r, j));
        for (std::size_t j = 0; j < ask_prices.cols; ++j) s.offer_ask(ask_prices(r, j), ask_sizes(r, j));
        out.push_back(s);
    }
    return out;
}

}  // namespace tarnwick::data
