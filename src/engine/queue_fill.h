// Queue positions of resting limit orders: how much must trade at an order's limit price
// before it is reached. Entries are made on the first print at the limit, advanced by
// every later print there, and reset against the book by quotes.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "engine/depth_book.h"
#include "engine/orders/order_request.h"

namespace tarnwick::engine {

struct QueueEntry {
    double ahead = 0.0;   // quantity that must trade at `price` before the order fills
    double traded = 0.0;  // quantity printed at `price` since the entry was made
    double price = 0.0;   // the limit price the entry was made for
    OrderSide side = OrderSide::Buy;
};

enum class QueueOutcome : std::uint8_t {
    NotApplicable,  // the book says nothing about the order's place: another model decides
    NoFill,         // the order waits for a later print
    Fill,           // the order fills at its limit price
};

class OrderQueues {
public:
    // One trade print of `size` at `print_price` against a resting order with limit
    // `limit`: a print through the limit fills; a print at the limit advances (or first
    // makes) the order's entry and fills once more has traded than stood ahead of it; a
    // print on the far side fills nothing.
    QueueOutcome on_print(std::uint64_t order_id, OrderSide side, double limit, double print_price, double size,
                          const DepthBook& book);
    // A quote replaced the book: entries better than their side's new best price have
    // nothing ahead any more; entries at the best price keep at most the displayed size
    // ahead of them.
    void on_quote(const DepthBook& book) noexcept;
    void erase(std::uint64_t order_id) { entries_.erase(order_id); }
    const QueueEntry* find(std::uint64_t order_id) const noexcept;
    std::size_t size() const noexcept { return entries_.size(); }

private:
    std::unordered_map<std::uint64_t, QueueEntry> entries_;
};

}  // namespace tarnwick::engine
