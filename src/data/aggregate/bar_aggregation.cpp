#include "data/aggregate/bar_aggregation.h"

#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "base/format.h"
#include "base/output_size.h"
#include "base/pool.h"
#include "data/aggregate/split_feed.h"

namespace tarnwick::data::aggregate {

using base::OwnError;
using base::Result;
using base::err;

namespace {

constexpr const char* kLengthMismatch = "all input arrays must share one length";

// One builder over rows 0 .. n - 1, then one flush; held-back Renko bricks come out in
// order.
template <class Rows>
Result<OhlcvColumns, OwnError> drive(std::size_t n, const BuilderSpec& spec, const RowSplit& split, const Rows& rows) {
    auto built = make_bar_builder(spec);
    if (!built.ok()) return err(OwnError{built.error().message()});
    return std::visit([&](const auto& fresh) { return split::feed_rows(fresh, rows, n, split); }, built.value());
}

bool same_length(std::size_t n, std::initializer_list<std::size_t> lengths) {
    for (std::size_t len : lengths) {
        if (len != n) return false;
    }
    return true;
}

}  // namespace

OhlcvColumns brick_columns(std::uint64_t bricks) {
    constexpr std::size_t kBarBytes = sizeof(std::int64_t) + 5 * sizeof(double);  // a stamp and five prices
    const base::SizeFactor factors[] = {bricks, kBarBytes};
    const std::string what = base::fmt::format("the bars ({} renko bricks)", bricks);
    const std::size_t n = base::check_total(factors, what) / kBarBytes;
    try {
        OhlcvColumns out;  // let go of before the handler runs
        out.timestamps.resize(n);
        for (auto* column : {&out.open, &out.high, &out.low, &out.close, &out.volume}) column->resize(n);
        return out;
    } catch (const std::bad_alloc&) {
        throw base::OutOfMemory(base::cannot_allocate(factors, what));
    }
}

RowSplit RowSplit::pool() { return {base::pool::configured_workers(), std::size_t{1} << 18}; }

Result<OhlcvColumns, OwnError> aggregate_bars(const BarColumns& bars, const BuilderSpec& spec,
                                              const RowSplit& split) {
    const std::size_t n = bars.timestamps.size();
    if (!same_length(n, {bars.open.size(), bars.high.size(), bars.low.size(), bars.close.size(), bars.volume.size()})) {
        return err(OwnError{kLengthMismatch});
    }
    return drive(n, spec, split, BarRows(bars));
}

Result<OhlcvColumns, OwnError> bars_from_ticks(const TickRows& ticks, const BuilderSpec& spec,
                                               const RowSplit& split) {
    const std::size_t n = ticks.timestamps.size();
    if (!same_length(n, {ticks.ltp.size(), ticks.buy_qty_delta.size(), ticks.sell_qty_delta.size()})) {
        return err(OwnError{kLengthMismatch});
    }
    return drive(n, spec, split, TickPrints(ticks));
}

}  // namespace tarnwick::data::aggregate
