// The step's order phases. Typed orders, the working-order walk, TWAP schedules and the
// depth book plug in here; a kernel without order records skips all of them.
#include "core/kernel.h"

namespace tarnwick {

bool Kernel::has_order_work() const noexcept { return false; }

void Kernel::cancel_working_orders_at_expiry(std::uint64_t) {}

void Kernel::walk_working_orders(std::uint64_t, const OhlcvBar&) {}

void Kernel::run_twap_slices(std::uint64_t, const OhlcvBar&) {}

void Kernel::fill_due_market_orders(std::uint64_t, const OhlcvBar&) {}

}  // namespace tarnwick
