#include "engine/kernel_event.h"

namespace tarnwick::engine {

std::string_view name(KernelEventKind kind) noexcept {
    switch (kind) {
        case KernelEventKind::Entered: return "entered";
        case KernelEventKind::Exited: return "exited";
        case KernelEventKind::EntryRejected: return "entry_rejected";
        case KernelEventKind::OrderAccepted: return "order_accepted";
        case KernelEventKind::OrderTriggered: return "order_triggered";
        case KernelEventKind::OrderFilled: return "order_filled";
        case KernelEventKind::OrderCanceled: return "order_canceled";
        case KernelEventKind::OrderExpired: return "order_expired";
        case KernelEventKind::OrderRejected: return "order_rejected";
        case KernelEventKind::MarginCall: return "margin_call";
        case KernelEventKind::AlgoStarted: return "algo_started";
        case KernelEventKind::AlgoCompleted: return "algo_completed";
    }
    return "entered";
}

std::string_view name(EntryRejectReason reason) noexcept {
    switch (reason) {
        case EntryRejectReason::MaxPositions: return "max_positions";
        case EntryRejectReason::DrawdownHalt: return "drawdown_halt";
        case EntryRejectReason::ZeroSize: return "zero_size";
        case EntryRejectReason::Expired: return "expired";
        case EntryRejectReason::Inactive: return "inactive";
        case EntryRejectReason::InsufficientCapital: return "insufficient_capital";
        case EntryRejectReason::InsufficientMargin: return "insufficient_margin";
        case EntryRejectReason::MarginCall: return "margin_call";
    }
    return "max_positions";
}

}  // namespace tarnwick::engine
