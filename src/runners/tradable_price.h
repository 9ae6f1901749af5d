// Which prices a fill may take, and the price a position is valued at across a gap.
//
// A market data gap (NaN, an infinity, 0 or a negative print) is no price anyone traded:
// the own-loop runners open nothing on it, let an exit due on it wait for the next bar
// that has one, and mark open positions at the last price that was tradable.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "domain/bar.h"

namespace tarnwick::runners {

// The latest tradable price of one series, seen bar by bar.
class LastTradable {
public:
    // Keeps `price` when it is tradable; a gap leaves the last one standing.
    void see(double price) noexcept {
        if (domain::is_tradable_price(price)) last_ = price;
    }
    // The series at this bar, or the last tradable price before it when this one is a gap.
    // Before any tradable price at all, `price` itself.
    double at(double price) noexcept {
        see(price);
        return last_.value_or(price);
    }
    // `at` over a run of prices in order, the results written to `out`.
    void at_each(std::span<const double> prices, double* out) noexcept {
        bool seen = last_.has_value();
        double last = last_.value_or(0.0);
        for (std::size_t j = 0; j < prices.size(); ++j) {
            const double p = prices[j];
            if (domain::is_tradable_price(p)) {
                last = p;
                seen = true;
            }
            out[j] = seen ? last : p;
        }
        if (seen) last_ = last;
    }
    std::optional<double> last() const noexcept { return last_; }

private:
    std::optional<double> last_;
};

}  // namespace tarnwick::runners
