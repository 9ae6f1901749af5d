#include "engine/ledger.h"

#include <algorithm>
#include <cmath>

namespace tarnwick::engine {

using domain::TradeRecord;

Position* Ledger::find(std::uint64_t position_id) noexcept {
    for (auto& p : positions_) {
        if (p.position_id == position_id) return &p;
    }
    return nullptr;
}

const Position* Ledger::find(std::uint64_t position_id) const noexcept {
    for (const auto& p : positions_) {
        if (p.position_id == position_id) return &p;
    }
    return nullptr;
}

std::uint64_t Ledger::add(Position p) {
    p.position_id = next_position_id_++;
    positions_.push_back(std::move(p));
    return positions_.back().position_id;
}

TradeRecord Ledger::build_trade(const Position& p, double quantity, double entry_fees, const CloseRequest& req) {
    TradeRecord t;
    t.id = next_trade_id_++;
    t.symbol = symbol_;
    t.entry_idx = p.entry_idx;
    t.exit_idx = req.exit_idx;
    t.entry_price = p.entry_price;
    t.exit_price = req.exit_price;
    t.size = quantity;
    t.direction = p.direction;
    const double d = static_cast<double>(p.direction);
    t.entry_fees = entry_fees;
    t.exit_fees = req.exit_fee;
    t.fees = entry_fees + req.exit_fee;
    t.pnl = (req.exit_price - p.entry_price) * quantity * d * multiplier_ - (entry_fees + req.exit_fee);
    const double basis = p.entry_price * quantity * multiplier_;
    t.return_pct = basis > 0.0 ? t.pnl / basis * 100.0 : 0.0;
    t.entry_time = p.entry_time;
    t.exit_time = req.exit_time;
    t.fee_breakdown = req.fee_breakdown;
    t.exit_reason = req.exit_reason;
    const double mae = p.direction > 0 ? p.lowest_price : p.highest_price;
    const double mfe = p.direction > 0 ? p.highest_price : p.lowest_price;
    t.mae_price = mae;
    t.mfe_price = mfe;
    t.mae_pnl = std::min((mae - p.entry_price) * quantity * d * multiplier_, 0.0);
    t.mfe_pnl = std::max((mfe - p.entry_price) * quantity * d * multiplier_, 0.0);
    return t;
}

std::optional<TradeRecord> Ledger::close_position(std::uint64_t position_id, const CloseRequest& req) {
    auto it = std::find_if(positions_.begin(), positions_.end(),
                           [&](const Position& p) { return p.position_id == position_id; });
    if (it == positions_.end()) return std::nullopt;
    TradeRecord t = build_trade(*it, it->size, it->entry_fees, req);
    positions_.erase(it);
    return t;
}

}  // namespace tarnwick::engine
