#include "data/aggregate/bar_aggregation.h"

#include <initializer_list>
#include <memory>
#include <optional>

#include "data/events/tick_expansion.h"

namespace tarnwick::aggregate {
namespace {

constexpr const char* kLengthMismatch = "all input arrays must share one length";

// Runs one builder over rows 0 .. n - 1: `record(i)` gives the row's record, or none for
// a row that carries none. Held-back bars are drained after every push; one flush ends.
template <class RecordOf>
Result<std::vector<OhlcvBar>, OwnError> drive(std::size_t n, const BuilderSpec& spec, RecordOf record) {
    auto built = bar_builder_from_spec(spec);
    if (!built.ok()) return err(OwnError{built.error().message()});
    BarBuilder& builder = *built.value();
    std::vector<OhlcvBar> out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::optional<SourceRecord> r = record(i);
        if (!r) continue;
        if (std::optional<OhlcvBar> bar = builder.push(*r)) out.push_back(*bar);
        while (std::optional<OhlcvBar> held = builder.next_pending()) out.push_back(*held);
    }
    if (std::optional<OhlcvBar> last = builder.flush()) out.push_back(*last);
    return out;
}

bool same_length(std::size_t n, std::initializer_list<std::size_t> lengths) {
    for (std::size_t len : lengths) {
        if (len != n) return false;
    }
    return true;
}

}  // namespace

Result<std::vector<OhlcvBar>, OwnError> aggregate_bars(const BarColumns& bars, const BuilderSpec& spec) {
    const std::size_t n = bars.timestamps.size();
    if (!same_length(n, {bars.open.size(), bars.high.size(), bars.low.size(), bars.close.size(), bars.volume.size()})) {
        return err(OwnError{kLengthMismatch});
    }
    return drive(n, spec, [&](std::size_t i) -> std::optional<SourceRecord> {
        return SourceRecord{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i],
                            bars.close[i],      bars.volume[i], 0.0};
    });
}

Result<std::vector<OhlcvBar>, OwnError> bars_from_ticks(const TickRows& ticks, const BuilderSpec& spec) {
    const std::size_t n = ticks.timestamps.size();
    if (!same_length(n, {ticks.ltp.size(), ticks.buy_qty_delta.size(), ticks.sell_qty_delta.size()})) {
        return err(OwnError{kLengthMismatch});
    }
    // The feed's own tick rule, with no quotes, ltq or oi columns: a print only where the
    // price is positive, sized by the absolute deltas and signed by their difference.
    return drive(n, spec, [&](std::size_t i) -> std::optional<SourceRecord> {
        TickRow row;
        row.ltp = ticks.ltp[i];
        row.buy_qty_delta = ticks.buy_qty_delta[i];
        row.sell_qty_delta = ticks.sell_qty_delta[i];
        const std::optional<EventPayload> print = trade_payload(row);  // price, size, signed size, ...
        if (!print) return std::nullopt;
        const double price = (*print)[0];
        return SourceRecord{ticks.timestamps[i], price, price, price, price, (*print)[1], (*print)[2]};
    });
}

}  // namespace tarnwick::aggregate
