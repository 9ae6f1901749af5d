// The five-level depth book one kernel holds: prices and sizes a side, best first, as the
// last quote or depth snapshot left them. A kernel that never saw a book update has both
// counts at 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "domain/book_level.h"

namespace tarnwick::engine {

class DepthBook {
public:
    static constexpr std::size_t kLevels = domain::BOOK_LEVELS;

    // One level a side: both sides are cleared, a price above 0 makes that side's first
    // level; a size that is not a finite number >= 0 is stored as NaN.
    void apply_quote(std::int64_t timestamp, double bid, double bid_size, double ask, double ask_size) noexcept;
    // Up to five levels a side, best first; a side takes as many levels as both of its
    // columns hold (at most five).
    void apply_depth(std::int64_t timestamp, std::span<const double> bid_prices, std::span<const double> bid_sizes,
                     std::span<const double> ask_prices, std::span<const double> ask_sizes) noexcept;

    std::uint8_t bid_count() const noexcept { return bid_count_; }
    std::uint8_t ask_count() const noexcept { return ask_count_; }
    const std::array<domain::BookLevel, kLevels>& bids() const noexcept { return bids_; }
    const std::array<domain::BookLevel, kLevels>& asks() const noexcept { return asks_; }
    std::int64_t timestamp() const noexcept { return timestamp_; }

    // The meaningful levels of the buy side (bids) or the sell side (asks).
    std::span<const domain::BookLevel> side(bool bids) const noexcept;
    // The first level of a side priced exactly at `price`.
    const domain::BookLevel* level_at(bool bids, double price) const noexcept;
    // The best price of a side, when it has a level.
    std::optional<double> best(bool bids) const noexcept;

private:
    std::array<domain::BookLevel, kLevels> bids_{};
    std::array<domain::BookLevel, kLevels> asks_{};
    std::uint8_t bid_count_ = 0;
    std::uint8_t ask_count_ = 0;
    std::int64_t timestamp_ = 0;  // nanoseconds since the Unix epoch
};

}  // namespace tarnwick::engine
