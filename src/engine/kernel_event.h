// One outcome of a kernel step, in the order the kernel produced it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "domain/trade_record.h"

namespace tarnwick::engine {

enum class KernelEventKind : std::uint8_t {
    Entered = 0,
    Exited = 1,
    EntryRejected = 2,
    OrderAccepted = 3,
    OrderTriggered = 4,
    OrderFilled = 5,
    OrderCanceled = 6,
    OrderExpired = 7,
    OrderRejected = 8,
    MarginCall = 9,
    AlgoStarted = 10,
    AlgoCompleted = 11,
};
std::string_view name(KernelEventKind kind) noexcept;  // "entered", "exited", ...

// Why a signal entry was refused; the codes are stable.
enum class EntryRejectReason : std::uint8_t {
    MaxPositions = 0,
    DrawdownHalt = 1,
    ZeroSize = 2,
    Expired = 3,
    Inactive = 4,
    InsufficientCapital = 5,
    InsufficientMargin = 6,
    MarginCall = 7,
};
std::string_view name(EntryRejectReason reason) noexcept;  // "max_positions", ...

struct KernelEvent {
    KernelEventKind kind = KernelEventKind::Entered;
    // entered: the direction (1 or -1); entry_rejected: the EntryRejectReason code.
    std::int8_t code = 0;
    std::uint64_t idx = 0;
    // entered and order_filled: fill price and size; margin_call: equity and requirement.
    double price = 0.0;
    double size = 0.0;
    std::uint64_t id = 0;  // order id (order_*) or algo id (algo_*)
    std::string text;      // client id (order_* and algo_started); empty for algo_completed
    std::string reason;    // order_rejected: the reject reason text
    std::optional<domain::TradeRecord> trade;  // exited only

    static KernelEvent entered(std::uint64_t idx, std::int8_t direction, double price, double size) {
        KernelEvent e;
        e.kind = KernelEventKind::Entered;
        e.code = direction;
        e.idx = idx;
        e.price = price;
        e.size = size;
        return e;
    }
    static KernelEvent exited(std::uint64_t idx, domain::TradeRecord trade) {
        KernelEvent e;
        e.kind = KernelEventKind::Exited;
        e.idx = idx;
        e.price = trade.exit_price;
        e.size = trade.size;
        e.code = trade.direction;
        e.trade = std::move(trade);
        return e;
    }
    static KernelEvent entry_rejected(std::uint64_t idx, EntryRejectReason reason) {
        KernelEvent e;
        e.kind = KernelEventKind::EntryRejected;
        e.code = static_cast<std::int8_t>(reason);
        e.idx = idx;
        return e;
    }
    // order_accepted, order_triggered, order_canceled, order_expired.
    static KernelEvent order(KernelEventKind kind, std::uint64_t idx, std::uint64_t order_id,
                             std::string client_id) {
        KernelEvent e;
        e.kind = kind;
        e.idx = idx;
        e.id = order_id;
        e.text = std::move(client_id);
        return e;
    }
    static KernelEvent order_filled(std::uint64_t idx, std::uint64_t order_id, std::string client_id, double price,
                                    double quantity) {
        KernelEvent e = order(KernelEventKind::OrderFilled, idx, order_id, std::move(client_id));
        e.price = price;
        e.size = quantity;
        return e;
    }
    static KernelEvent order_rejected(std::uint64_t idx, std::uint64_t order_id, std::string client_id,
                                      std::string_view reason) {
        KernelEvent e = order(KernelEventKind::OrderRejected, idx, order_id, std::move(client_id));
        e.reason = std::string(reason);
        return e;
    }
    // algo_started (with the schedule's client id) and algo_completed (empty text).
    static KernelEvent algo(KernelEventKind kind, std::uint64_t idx, std::uint64_t algo_id, std::string text) {
        KernelEvent e;
        e.kind = kind;
        e.idx = idx;
        e.id = algo_id;
        e.text = std::move(text);
        return e;
    }
    static KernelEvent margin_call(std::uint64_t idx, double equity, double requirement) {
        KernelEvent e;
        e.kind = KernelEventKind::MarginCall;
        e.idx = idx;
        e.price = equity;
        e.size = requirement;
        return e;
    }

    EntryRejectReason reject_reason() const noexcept { return static_cast<EntryRejectReason>(code); }
};

}  // namespace tarnwick::engine
