#include "engine/depth_book.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwick::engine {

using domain::BookLevel;

namespace {

double usable_size(double size) noexcept {
    return std::isfinite(size) && size >= 0.0 ? size : std::numeric_limits<double>::quiet_NaN();
}

std::uint8_t copy_side(std::array<BookLevel, DepthBook::kLevels>& levels, std::span<const double> prices,
                       std::span<const double> sizes) noexcept {
    const std::size_t n = std::min({prices.size(), sizes.size(), DepthBook::kLevels});
    levels = {};
    for (std::size_t i = 0; i < n; ++i) levels[i] = BookLevel{prices[i], sizes[i]};
    return static_cast<std::uint8_t>(n);
}

}  // namespace

void DepthBook::apply_quote(std::int64_t timestamp, double bid, double bid_size, double ask,
                            double ask_size) noexcept {
    bids_ = {};
    asks_ = {};
    bid_count_ = 0;
    ask_count_ = 0;
    if (bid > 0.0) {
        bids_[0] = BookLevel{bid, usable_size(bid_size)};
        bid_count_ = 1;
    }
    if (ask > 0.0) {
        asks_[0] = BookLevel{ask, usable_size(ask_size)};
        ask_count_ = 1;
    }
    timestamp_ = timestamp;
}

void DepthBook::apply_depth(std::int64_t timestamp, std::span<const double> bid_prices,
                            std::span<const double> bid_sizes, std::span<const double> ask_prices,
                            std::span<const double> ask_sizes) noexcept {
    bid_count_ = copy_side(bids_, bid_prices, bid_sizes);
    ask_count_ = copy_side(asks_, ask_prices, ask_sizes);
    timestamp_ = timestamp;
}

std::span<const BookLevel> DepthBook::side(bool bids) const noexcept {
    return bids ? std::span<const BookLevel>(bids_.data(), bid_count_)
                : std::span<const BookLevel>(asks_.data(), ask_count_);
}

const BookLevel* DepthBook::level_at(bool bids, double price) const noexcept {
    for (const BookLevel& l : side(bids)) {
        if (l.price == price) return &l;
    }
    return nullptr;
}

std::optional<double> DepthBook::best(bool bids) const noexcept {
    const auto levels = side(bids);
    if (levels.empty()) return std::nullopt;
    return levels.front().price;
}

}  // namespace tarnwick::engine
