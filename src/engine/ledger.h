// The open positions of one instrument's kernel, in opening order, and the step that
// turns a closed position (or a closed part of one) into a TradeRecord. The ledger books
// no cash: the kernel's account owns every cash and margin movement.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "domain/trade_record.h"

namespace tarnwick::engine {

struct Position {
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::uint64_t entry_idx = 0;  // bar or print index of the opening fill
    double entry_price = 0.0;     // after slippage; size-weighted average after adds
    double size = 0.0;            // units held, above 0; direction is separate
    double highest_price = 0.0;   // highest market price since entry, its fills included
    double lowest_price = 0.0;    // lowest market price since entry, its fills included
    double entry_fees = 0.0;      // opening and add fees less the share closed away
    std::int8_t direction = 1;    // 1 long, -1 short
    std::optional<domain::FeeBreakdown> entry_fee_breakdown;  // only while one segment fill opened it
    std::optional<std::uint64_t> opening_order_id;
    std::uint64_t position_id = 0;
    std::int64_t entry_time = 0;  // nanoseconds since the Unix epoch

    // Widens the extremes to a price the market traded the position at. A fill can lie
    // beyond every bar the position has seen (an exit at a gap open comes before that
    // bar widens them), and a trade's excursions must still bracket its fills.
    void reach(double price) noexcept {
        highest_price = std::max(highest_price, price);
        lowest_price = std::min(lowest_price, price);
    }
};

// A frozen external view of one position.
struct PositionSnapshot {
    std::uint64_t position_id = 0;
    std::uint64_t entry_idx = 0;
    double entry_price = 0.0;
    double size = 0.0;
    std::int32_t direction = 1;
    std::optional<double> stop_price;
    std::optional<double> target_price;

    static PositionSnapshot of(const Position& p) {
        return {p.position_id, p.entry_idx, p.entry_price, p.size, p.direction, p.stop_price, p.target_price};
    }
};

// How a close was executed; the position supplies everything else.
struct CloseRequest {
    std::optional<domain::FeeBreakdown> fee_breakdown;
    std::uint64_t exit_idx = 0;
    std::int64_t exit_time = 0;
    double exit_price = 0.0;
    double exit_fee = 0.0;
    domain::ExitReason exit_reason = domain::ExitReason::Signal;
};

class Ledger {
public:
    Ledger() = default;
    Ledger(std::string symbol, double multiplier, bool hedging)
        : symbol_(std::move(symbol)), multiplier_(multiplier), hedging_(hedging) {}

    const std::string& symbol() const noexcept { return symbol_; }
    double multiplier() const noexcept { return multiplier_; }
    bool hedging() const noexcept { return hedging_; }
    const std::vector<Position>& positions() const noexcept { return positions_; }
    bool empty() const noexcept { return positions_.empty(); }
    std::size_t size() const noexcept { return positions_.size(); }
    std::uint64_t next_trade_id() const noexcept { return next_trade_id_; }
    std::uint64_t next_position_id() const noexcept { return next_position_id_; }

    Position* find(std::uint64_t position_id) noexcept;
    const Position* find(std::uint64_t position_id) const noexcept;

    // A netting ledger holds at most one position.
    bool accepts_new_position() const noexcept { return hedging_ || positions_.empty(); }

    // Appends the position under the next position id and returns that id.
    std::uint64_t add(Position p);

    // Raises every position's highest price to `high` and lowers its lowest to `low`.
    void widen_extremes(double high, double low) noexcept {
        for (auto& p : positions_) {
            p.highest_price = std::max(p.highest_price, high);
            p.lowest_price = std::min(p.lowest_price, low);
        }
    }
    // The same over a run of bars in order; each position folds its own extremes, so
    // walking the bars per position gives what bar-by-bar widening gives.
    void widen_extremes(std::span<const double> highs, std::span<const double> lows) noexcept {
        for (auto& p : positions_) {
            double highest = p.highest_price;
            double lowest = p.lowest_price;
            for (std::size_t k = 0; k < highs.size(); ++k) {
                highest = std::max(highest, highs[k]);
                lowest = std::min(lowest, lows[k]);
            }
            p.highest_price = highest;
            p.lowest_price = lowest;
        }
    }

    // Removes the position and returns its trade, or nothing when no position has the id
    // (no trade id is used then).
    std::optional<domain::TradeRecord> close_position(std::uint64_t position_id, const CloseRequest& req);

    // The trade of closing `quantity` units of `p` carrying `entry_fees` of its entry fees;
    // uses the next trade id. The position itself is not touched.
    domain::TradeRecord build_trade(const Position& p, double quantity, double entry_fees, const CloseRequest& req);

private:
    std::string symbol_;
    std::vector<Position> positions_;
    std::uint64_t next_trade_id_ = 0;
    std::uint64_t next_position_id_ = 0;
    double multiplier_ = 1.0;
    bool hedging_ = false;
};

}  // namespace tarnwick::engine
