// Order-flow bars: each record's size is signed as buying or selling (by its signed size,
// or by the tick rule when that is unknown) and summed per side; an imbalance bar closes
// when |buy - sell| reaches the threshold, a runs bar when either side alone does.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::aggregate {

enum class FlowMagnitude : std::uint8_t { Tick, Volume, Value };
enum class FlowRule : std::uint8_t { Imbalance, Runs };

class FlowBarBuilder final : public CountingBarBuilder<FlowBarBuilder> {
public:
    FlowBarBuilder(FlowMagnitude magnitude, FlowRule rule, double threshold)
        : magnitude_(magnitude), rule_(rule), threshold_(threshold) {}

    // Ends the bar in progress stamped with the latest record; the tick-rule memory stays.
    template <class Bar>
    auto flush_as(Bar& bar) -> decltype(bar.take(std::int64_t{})) {
        buy_ = 0.0;
        sell_ = 0.0;
        return bar.take(last_ts_);
    }

    // A record buys when its signed size is positive, sells when it is negative or NaN,
    // and when it is zero (unknown) follows the tick rule: an uptick (or the first record)
    // buys, a downtick sells, an unchanged or incomparable price repeats the rule's
    // previous side. Direction changes at random in real flow, so the side is worked out
    // without branches, and the size is added to one side and +0 to the other (which
    // changes no comparison below). The bar in progress is kept in `bar` (a PartialBar,
    // or a SpanBar when only the rows of each bar are wanted).
    template <class Bar, class Rows, class Emit>
    void feed_as(Bar& bar, const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        using M = FlowMagnitude;
        switch (magnitude_) {
            case M::Tick: return by_rule<M::Tick>(bar, rows, begin, end, emit);
            case M::Volume: return by_rule<M::Volume>(bar, rows, begin, end, emit);
            case M::Value: return by_rule<M::Value>(bar, rows, begin, end, emit);
        }
    }

private:
    template <FlowMagnitude M, class Bar, class Rows, class Emit>
    void by_rule(Bar& bar, const Rows& rows, std::size_t begin, std::size_t end, Emit& emit) {
        switch (rule_) {
            case FlowRule::Imbalance: return run<M, FlowRule::Imbalance>(bar, rows, begin, end, emit);
            case FlowRule::Runs: return run<M, FlowRule::Runs>(bar, rows, begin, end, emit);
        }
    }

    // feed_as for one magnitude and rule.
    template <FlowMagnitude M, FlowRule R, class Bar, class Rows, class Emit>
    void run(Bar& bar_in_progress, const Rows& rows, std::size_t begin, std::size_t end, Emit& emit) {
        // Locals, not members, so that the loop keeps them in registers.
        Bar bar = bar_in_progress;
        const double threshold = threshold_;
        double prev_close = prev_close_;
        bool prev_buy = prev_buy_;
        double buy = buy_;
        double sell = sell_;
        for (std::size_t i = begin; i < end; ++i) {
            if (!rows.present(i)) continue;
            const double close = rows.close(i);
            const double s = rows.signed_size(i);
            const bool up = close > prev_close;
            const bool down = close < prev_close;
            const bool tick_buy = up | (!down & prev_buy);
            const bool by_tick = s == 0.0;
            prev_buy = (by_tick & tick_buy) | (!by_tick & prev_buy);
            const bool buying = (s > 0.0) | (by_tick & tick_buy);
            prev_close = close;
            double size = 1.0;
            if constexpr (M == FlowMagnitude::Volume) size = rows.volume(i);
            if constexpr (M == FlowMagnitude::Value) size = rows.volume(i) * close;
            buy += only_if(buying, size);
            sell += only_if(!buying, size);
            bar.absorb(rows, i);
            bool complete = false;
            if constexpr (R == FlowRule::Imbalance) complete = std::fabs(buy - sell) >= threshold;
            // max(buy, sell) >= threshold with a NaN side ignored.
            if constexpr (R == FlowRule::Runs) complete = (buy >= threshold) | (sell >= threshold);
            if (!complete) continue;
            buy = 0.0;
            sell = 0.0;
            if (auto done = bar.take(rows.timestamp(i))) emit(*done);
        }
        bar_in_progress = bar;
        prev_close_ = prev_close;
        prev_buy_ = prev_buy;
        if (const std::optional<std::size_t> last = last_present(rows, begin, end)) last_ts_ = rows.timestamp(*last);
        buy_ = buy;
        sell_ = sell;
    }

    // x when `keep`, else +0, without a branch.
    static double only_if(bool keep, double x) noexcept {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & (std::uint64_t{0} - keep));
    }

    FlowMagnitude magnitude_;
    FlowRule rule_;
    double threshold_;
    // The previous close, and the side the tick rule gave last. Before the first record
    // the close is -inf, above which every price but -inf and NaN ticks up, and those
    // two repeat the side, which starts as buying: the first record always buys.
    double prev_close_ = -std::numeric_limits<double>::infinity();
    bool prev_buy_ = true;
    std::int64_t last_ts_ = 0;
    double buy_ = 0.0;
    double sell_ = 0.0;
};

}  // namespace tarnwick::aggregate
