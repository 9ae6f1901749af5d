// Bars that close once a count of ticks, traded volume or traded value reaches a
// threshold; the record that reaches it closes the bar and stamps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::data::aggregate {

struct CountThreshold {
    enum class Kind : std::uint8_t { Tick, Volume, Value };
    Kind kind;
    std::uint64_t ticks = 0;  // Tick: records per bar
    double amount = 0.0;      // Volume: summed volume; Value: summed volume x close
};

class CountBarBuilder final : public CountingBarBuilder<CountBarBuilder> {
public:
    explicit CountBarBuilder(CountThreshold threshold) : threshold_(threshold) {}

    template <class Bar, class Rows, class Emit>
    void feed_as(Bar& bar_in_progress, const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        // Locals, not members, so that the loop keeps them in registers.
        Bar bar = bar_in_progress;
        const CountThreshold threshold = threshold_;
        std::uint64_t ticks = ticks_;
        double accumulated = accumulated_;
        for (std::size_t i = begin; i < end; ++i) {
            if (!rows.present(i)) continue;
            bar.absorb(rows, i);
            ++ticks;
            bool complete = false;
            switch (threshold.kind) {
                case CountThreshold::Kind::Tick: complete = ticks >= threshold.ticks; break;
                case CountThreshold::Kind::Volume:
                    accumulated += rows.volume(i);
                    complete = accumulated >= threshold.amount;
                    break;
                case CountThreshold::Kind::Value:
                    accumulated += rows.volume(i) * rows.close(i);
                    complete = accumulated >= threshold.amount;
                    break;
            }
            if (!complete) continue;
            ticks = 0;
            accumulated = 0.0;
            if (auto done = bar.take(rows.timestamp(i))) emit(*done);
        }
        bar_in_progress = bar;
        ticks_ = ticks;
        accumulated_ = accumulated;
        if (const std::optional<std::size_t> last = last_present(rows, begin, end)) last_ts_ = rows.timestamp(*last);
    }

    // Ends the bar in progress stamped with the latest record; counting goes on after.
    template <class Bar>
    auto flush_as(Bar& bar) -> decltype(bar.take(std::int64_t{})) {
        ticks_ = 0;
        accumulated_ = 0.0;
        return bar.take(last_ts_);
    }

    const CountThreshold& threshold() const noexcept { return threshold_; }

    // What each record of rows [begin, end) adds to the running amount of volume or value
    // bars, into amounts[0 ..]; +0 for rows without a record, which changes no comparison
    // (the sum is below the threshold, or NaN, before and after).
    template <class Rows>
    void write_amounts(const Rows& rows, std::size_t begin, std::size_t end, double* amounts) const {
        if (threshold_.kind == CountThreshold::Kind::Value) {
            for (std::size_t i = begin; i < end; ++i) {
                amounts[i - begin] = rows.present(i) ? rows.volume(i) * rows.close(i) : 0.0;
            }
        } else {
            for (std::size_t i = begin; i < end; ++i) amounts[i - begin] = rows.present(i) ? rows.volume(i) : 0.0;
        }
    }

    // Volume or value bars of rows [begin, end) from their amounts, handing on_end(row)
    // every row that closes a bar. The sum goes on across calls.
    template <class OnEnd>
    void scan_amounts(const double* amounts, std::size_t begin, std::size_t end, OnEnd&& on_end) {
        const double threshold = threshold_.amount;
        double accumulated = accumulated_;
        for (std::size_t r = 0; r < end - begin; ++r) {
            accumulated += amounts[r];
            if (!(accumulated >= threshold)) continue;
            accumulated = 0.0;
            on_end(begin + r);
        }
        accumulated_ = accumulated;
    }

private:
    CountThreshold threshold_;
    double accumulated_ = 0.0;  // NaN once a NaN was added: that bar closes only at flush
    std::uint64_t ticks_ = 0;
    std::int64_t last_ts_ = 0;
};

}  // namespace tarnwick::data::aggregate
