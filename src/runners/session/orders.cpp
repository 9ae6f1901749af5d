// Order operations between applications, each routed to one instrument's kernel, and the
// adoption of a position the broker already holds.
#include <cmath>
#include <limits>

#include "runners/session/portfolio_session.h"

namespace tarnwick::runners {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;
using data::ScheduleEntry;
using engine::Kernel;
using engine::OrderRecord;
using engine::OrderRequestArgs;
using engine::OrderStatus;

Result<std::uint64_t, OwnError> PortfolioSession::submit_order(std::uint64_t instrument, OrderRequestArgs args) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    // The caller's index is trusted only while this instrument's entry is the pending one;
    // otherwise the order is stamped with the instrument's own last applied index.
    const ScheduleEntry* next = pending();
    if (!(next && next->instrument == instrument)) {
        args.submitted_idx = last_bars_[instrument] ? last_bars_[instrument]->local_idx : 0;
    }
    return kernels_[instrument].submit_order(args);
}

Result<bool, OwnError> PortfolioSession::cancel_order(std::uint64_t instrument, std::uint64_t idx,
                                                      std::uint64_t order_id) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    return kernels_[instrument].cancel_order(idx, order_id);
}

Result<bool, OwnError> PortfolioSession::modify_order(std::uint64_t instrument, std::uint64_t order_id,
                                                      std::optional<double> units, std::optional<double> size_frac,
                                                      std::optional<double> limit_price,
                                                      std::optional<double> trigger_price) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    return kernels_[instrument].modify_order(order_id, units, size_frac, limit_price, trigger_price);
}

Result<std::vector<std::uint64_t>, OwnError> PortfolioSession::cancel_all_orders(std::uint64_t instrument,
                                                                                 std::uint64_t idx) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    return kernels_[instrument].cancel_all_orders(idx);
}

Status<OwnError> PortfolioSession::link_oco(std::uint64_t instrument, std::span<const std::uint64_t> order_ids) {
    if (auto ok = check_index(instrument); !ok) return ok;
    kernels_[instrument].link_oco(order_ids);
    return Unit{};
}

Status<OwnError> PortfolioSession::request_close(std::uint64_t instrument, std::uint64_t position_id) {
    if (auto ok = check_index(instrument); !ok) return ok;
    kernels_[instrument].request_close(position_id);
    return Unit{};
}

Status<OwnError> PortfolioSession::set_underlying_price(std::uint64_t instrument, std::optional<double> price) {
    if (auto ok = check_index(instrument); !ok) return ok;
    kernels_[instrument].set_underlying_price(price);
    return Unit{};
}

Result<std::vector<WorkingOrderView>, OwnError> PortfolioSession::working_orders(std::uint64_t instrument) const {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    const Kernel& k = kernels_[instrument];
    std::vector<WorkingOrderView> out;
    for (std::uint64_t id : k.open_order_ids()) {
        const OrderRecord* o = k.find_order(id);
        if (o == nullptr) continue;
        WorkingOrderView v;
        v.order_id = o->id;
        v.client_id = o->client_id;
        v.side = name(o->side);
        for (char c : name(o->kind)) {
            if (c != '_') v.kind.push_back(c);
        }
        switch (o->status) {
            case OrderStatus::Triggered: v.status = "triggered"; break;
            case OrderStatus::PartiallyFilled: v.status = "partially_filled"; break;
            default: v.status = "accepted"; break;
        }
        v.filled_qty = o->filled_qty;
        v.units = o->sized_in_units() ? o->size_value : std::numeric_limits<double>::quiet_NaN();
        out.push_back(std::move(v));
    }
    return out;
}

Result<std::uint64_t, OwnError> PortfolioSession::adopt_position(std::uint64_t instrument, std::int64_t timestamp,
                                                                 double price, double size) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    // Before the first sample only: adopting mid-run would leave a flat stretch holding
    // the running peak down, which understates the drawdown.
    if (!equity_curve_.empty()) return err(OwnError{"adopt_position must be called before the first applied event"});
    const double locked_before = place_pool(instrument);
    const double view = kernels_[instrument].cash();
    auto id = kernels_[instrument].adopt_position(timestamp, price, size);
    fold(instrument, view, locked_before);
    allocate_group_margin();
    // Until the instrument's first bar or print, the adoption price is all that is known.
    if (id.ok() && !last_marks_[instrument]) last_marks_[instrument] = price;
    return id;
}

}  // namespace tarnwick::runners
