// The reported form of a run's orders, kept from the events of its steps: an order is
// captured at its first fill or rejection and keeps that first picture (prices, size,
// links) while its fills and reject reason accumulate; its status follows the order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/order_report.h"
#include "engine/kernel_event.h"
#include "engine/orders/order_lifecycle.h"

namespace tarnwick::engine {

class OrderSnapshots {
public:
    // Folds one event in; only order_filled and order_rejected of a known order count.
    // `records` is the kernel's order list, indexed by order id.
    void record(const KernelEvent& e, const std::vector<OrderRecord>& records, std::string_view symbol);
    // One report per record, in submission order: the captured picture with the order's
    // current status, or the record as it stands when nothing was captured.
    std::vector<domain::Order> reports(const std::vector<OrderRecord>& records, std::string_view symbol) const;

private:
    std::vector<std::optional<domain::Order>> captured_;  // indexed by order id
};

}  // namespace tarnwick::engine
