// One order-book snapshot as a session stores it: up to five levels a side, best first,
// exactly as the caller supplied them once levels without a positive price are dropped.
#pragma once

#include <array>
#include <cstdint>

#include "domain/book_level.h"

namespace tarnwick::data {

struct DepthSnapshot {
    std::array<domain::BookLevel, domain::BOOK_LEVELS> bids{};  // levels from bid_count on are (0, 0)
    std::array<domain::BookLevel, domain::BOOK_LEVELS> asks{};
    std::int64_t ts = 0;  // nanoseconds since the Unix epoch
    std::uint8_t bid_count = 0;
    std::uint8_t ask_count = 0;

    // Keep a level when its price is above 0 (NaN fails) and the side has room; kept
    // levels stay in offer order, so one after a skipped level moves up. Sizes are not
    // checked and levels are not sorted.
    void offer_bid(double price, double size) noexcept { offer(bids, bid_count, price, size); }
    void offer_ask(double price, double size) noexcept { offer(asks, ask_count, price, size); }

private:
    static void offer(std::array<domain::BookLevel, domain::BOOK_LEVELS>& side, std::uint8_t& count, double price,
                      double size) noexcept {
        if (!(price > 0.0) || count >= domain::BOOK_LEVELS) return;
        side[count] = domain::BookLevel{price, size};
        ++count;
    }
};

}  // namespace tarnwick::data
