#include "engine/queue_fill.h"

#include <algorithm>
#include <cmath>

namespace tarnwick::engine {

using domain::BookLevel;

QueueOutcome OrderQueues::on_print(std::uint64_t order_id, OrderSide side, double limit, double print_price,
                                   double size, const DepthBook& book) {
    const bool buy = side == OrderSide::Buy;
    if (buy ? print_price < limit : print_price > limit) {
        entries_.erase(order_id);
        return QueueOutcome::Fill;
    }
    if (!(print_price == limit)) return QueueOutcome::NoFill;

    auto it = entries_.find(order_id);
    if (it == entries_.end() || !(it->second.price == limit)) {
        double ahead = 0.0;
        if (const BookLevel* level = book.level_at(buy, limit)) {
            if (std::isnan(level->size)) return QueueOutcome::NotApplicable;
            ahead = level->size;
        } else {
            const auto best = book.best(buy);
            const bool better = best && (buy ? limit > *best : limit < *best);
            if (!better) return QueueOutcome::NotApplicable;
        }
        it = entries_.insert_or_assign(order_id, QueueEntry{ahead, 0.0, limit, side}).first;
    }
    QueueEntry& e = it->second;
    e.traded += size;
    if (e.traded > e.ahead) {
        entries_.erase(it);
        return QueueOutcome::Fill;
    }
    return QueueOutcome::NoFill;
}

void OrderQueues::on_quote(const DepthBook& book) noexcept {
    for (auto& [id, e] : entries_) {
        const bool buy = e.side == OrderSide::Buy;
        const auto levels = book.side(buy);
        if (levels.empty()) continue;
        const BookLevel& top = levels.front();
        if (buy ? e.price > top.price : e.price < top.price) {
            e.ahead = e.traded;
        } else if (e.price == top.price && !std::isnan(top.size)) {
            if (std::max(e.ahead - e.traded, 0.0) > top.size) e.ahead = top.size + e.traded;
        }
    }
}

const QueueEntry* OrderQueues::find(std::uint64_t order_id) const noexcept {
    auto it = entries_.find(order_id);
    return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace tarnwick::engine
