// Bars of clock windows: the window in progress, its bar, and the interface of the
// builders whose bars they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "data/aggregate/bar_builder.h"
#include "data/aggregate/partial_bar.h"

namespace tarnwick::data::aggregate {

// One window of a clock: its first and last instant, clipped to the 64-bit range, and
// the stamp of its bar, the window's end (saturated).
struct ClockWindow {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t stamp = 0;

    bool holds(std::int64_t t) const noexcept { return t >= first && t <= last; }
};

// The bar of the clock window in progress, for builders whose bars are windows of time:
// a record in any other window, earlier or later, ends the bar and opens its own window.
// Most records fall in the window in progress, which two comparisons tell; only the
// others ask the builder for their window.
class WindowBar {
public:
    // window_of(timestamp) -> ClockWindow holding that timestamp.
    template <class Rows, class WindowOf, class Emit>
    void feed(const Rows& rows, std::size_t begin, std::size_t end, WindowOf window_of, Emit&& emit) {
        PartialBar bar = bar_;
        ClockWindow window = window_;
        for (std::size_t i = begin; i < end; ++i) {
            if (!rows.present(i)) continue;
            const std::int64_t t = rows.timestamp(i);
            if (bar.active() && window.holds(t)) {
                bar.widen(rows, i);
                continue;
            }
            if (std::optional<domain::OhlcvBar> done = bar.take(window.stamp)) emit(*done);
            window = window_of(t);
            bar.start(rows, i);
        }
        bar_ = bar;
        window_ = window;
    }

    // The bar in progress, stamped with its window's end; nothing is in progress after.
    std::optional<domain::OhlcvBar> take() noexcept { return bar_.take(window_.stamp); }

private:
    PartialBar bar_;
    ClockWindow window_;  // meaningful while bar_ is active
};

// The interface for a builder whose bars are clock windows; Derived gives
// window_of(timestamp) -> ClockWindow.
template <class Derived>
class ClockBarBuilder : public BarBuilder {
public:
    std::optional<domain::OhlcvBar> push(const SourceRecord& record) final {
        return push_one(static_cast<Derived&>(*this), record);
    }
    std::optional<domain::OhlcvBar> flush() final { return bar_.take(); }

    template <class Rows, class Emit>
    void feed(const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        const Derived& self = static_cast<const Derived&>(*this);
        bar_.feed(rows, begin, end, [&self](std::int64_t t) { return self.window_of(t); }, emit);
    }

private:
    WindowBar bar_;
};

}  // namespace tarnwick::data::aggregate
