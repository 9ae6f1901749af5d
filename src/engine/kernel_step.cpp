// One step of the kernel: the phases in their fixed order. Idle phases return early so a
// bar with nothing to do touches no container beyond clearing the event buffer.
#include "engine/kernel.h"

namespace tarnwick::engine {

using domain::BarSignal;
using domain::ExitReason;
using domain::FillTiming;
using domain::OhlcvBar;
using domain::TradeRecord;
using domain::is_tradable_price;

namespace {

// Marks the kernel as stepping for the length of one step, so that order operations the
// step performs report into the step's own events.
class SteppingScope {
public:
    explicit SteppingScope(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~SteppingScope() { flag_ = false; }
    SteppingScope(const SteppingScope&) = delete;
    SteppingScope& operator=(const SteppingScope&) = delete;

private:
    bool& flag_;
};

}  // namespace

const std::vector<KernelEvent>& Kernel::step(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal,
                                             bool is_print) {
    const SteppingScope stepping(stepping_);
    // Preparation: events queued between steps come first.
    events_.clear();
    last_print_ = is_print;
    atr_ = signal.atr;
    if (is_tradable_price(bar.close)) last_mark_ = bar.close;
    // Most bars of a run find the kernel flat with nothing pending: every phase below
    // would look and do nothing.
    if (idle_step(bar, signal, is_print)) return events_;
    if (!pending_.empty()) {
        for (auto& e : pending_) events_.push_back(std::move(e));
        pending_.clear();
    }

    if (expiry_due(bar)) {
        settle_expired(idx, bar, signal);
        return events_;
    }

    // Under next-bar-open timing a bar's intents act on the following bar; a trade print
    // never defers.
    const bool defer = fill_timing_ == FillTiming::NextBarOpen && !is_print;
    if (!is_print && (!deferred_.empty() || !waiting_exits_.empty())) run_deferred_signal(idx, bar);

    if (!ledger_.empty()) ledger_.widen_extremes(bar.high, bar.low);

    if (signal.exit && defer) deferred_.exit = true;
    if (!ledger_.empty() && exits_possible(signal.exit && !defer)) evaluate_exits(idx, bar, signal.exit && !defer);

    // A print has a price but no open: the waiting exits take it here, ahead of the
    // requested closes, where they have always filled on prints.
    if (is_print && !waiting_exits_.empty()) drain_exits(idx, bar, waiting_exits_);
    if (!close_requests_.empty()) drain_exits(idx, bar, close_requests_);

    // A cash account has no maintenance requirement to fall short of.
    if (!ledger_.empty() && !margin_call_ && account_type_ != AccountType::Cash) check_margin(idx, bar);

    if (has_order_work()) walk_working_orders(idx, bar);

    if (signal.entry) {
        if (defer) {
            deferred_.has_entry = true;
            deferred_.signal = signal;
        } else if (ledger_.empty() && run_signal_entry(idx, bar, signal)) {
            return events_;
        }
    }

    if (has_order_work()) {
        run_twap_slices(idx, bar);
        fill_due_market_orders(idx, bar);
    }
    return events_;
}

void Kernel::run_deferred_signal(std::uint64_t idx, const OhlcvBar& bar) {
    const DeferredSignal slot = deferred_;
    deferred_ = DeferredSignal{};
    if (slot.exit && !ledger_.empty()) {
        // Every open position goes, the ones still waiting from earlier bars among them,
        // in ledger order.
        waiting_exits_.clear();
        scratch_ids_.clear();
        for (const auto& p : ledger_.positions()) scratch_ids_.push_back(p.position_id);
        for (std::size_t i = 0; i < scratch_ids_.size(); ++i) {
            exit_at_price_source(idx, bar, scratch_ids_[i], waiting_exits_);
        }
    } else if (!waiting_exits_.empty()) {
        // An exit that waited over bars without a tradable price is an exit due on this
        // bar: it goes before the entry due here, which would otherwise find the
        // position still open and be lost.
        drain_exits(idx, bar, waiting_exits_);
    }
    if (slot.has_entry && ledger_.empty()) {
        if (!entry_gate(bar)) enter_from_signal(idx, bar, slot.signal);
    }
}

void Kernel::drain_exits(std::uint64_t idx, const OhlcvBar& bar, std::vector<std::uint64_t>& queue) {
    // Swapping keeps both buffers' capacity. What lands in `queue` while it drains (an exit
    // that meets another gap, a close requested while closing) waits for a later step.
    scratch_ids_.clear();
    scratch_ids_.swap(queue);
    for (std::size_t i = 0; i < scratch_ids_.size(); ++i) {
        exit_at_price_source(idx, bar, scratch_ids_[i], queue);
    }
    scratch_ids_.clear();
}

void Kernel::check_margin(std::uint64_t idx, const OhlcvBar& bar) {
    // A bar without a tradable close is checked at the last price that was tradable.
    const double mark = mark_or(bar.close);
    const double requirement = margin_requirement(mark);
    if (!(requirement > 0.0)) return;
    const double eq = equity(mark);
    if (!(requirement > eq)) return;
    margin_call_ = true;
    events_.push_back(KernelEvent::margin_call(idx, eq, requirement));
    if (cfg_.config.liquidate_on_margin_call) liquidate_into(idx, bar, events_);
}

std::optional<EntryRejectReason> Kernel::entry_gate(const OhlcvBar& bar) {
    std::optional<EntryRejectReason> refusal;
    if (cfg_.instrument && cfg_.instrument->activation_ns && *cfg_.instrument->activation_ns > bar.timestamp) {
        refusal = EntryRejectReason::Inactive;
    } else if (margin_call_) {
        refusal = EntryRejectReason::MarginCall;
    } else if (drawdown_halt_) {
        refusal = EntryRejectReason::DrawdownHalt;
    } else if (max_positions_ && portfolio_open_count_.value_or(0) >= *max_positions_) {
        refusal = EntryRejectReason::MaxPositions;
    }
    return refusal;
}

bool Kernel::run_signal_entry(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal) {
    if (auto refusal = entry_gate(bar)) {
        ++rejected_entries_;
        events_.push_back(KernelEvent::entry_rejected(idx, *refusal));
        // An inactive instrument or a standing margin call ends the event here.
        return *refusal == EntryRejectReason::Inactive || *refusal == EntryRejectReason::MarginCall;
    }
    enter_from_signal(idx, bar, signal);
    return false;
}

void Kernel::enter_from_signal(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal) {
    const int dir = cfg_.direction < 0 ? -1 : 1;
    const double reference = reference_price(cfg_.price_source, bar, dir, true);
    const OpenOutcome out = open_position({.idx = idx, .timestamp = bar.timestamp, .direction = dir,
                                           .volume = bar.volume, .reference = reference, .size_frac = signal.size_mult,
                                           .atr = signal.atr, .stop_price = signal.stop_price,
                                           .target_price = signal.target_price});
    switch (out.kind) {
        case OpenOutcome::Kind::Opened:
            events_.push_back(KernelEvent::entered(idx, static_cast<std::int8_t>(dir), out.entry_price, out.size));
            break;
        case OpenOutcome::Kind::Rejected:
            ++rejected_entries_;
            events_.push_back(KernelEvent::entry_rejected(idx, out.reason));
            break;
        case OpenOutcome::Kind::Refused: break;
    }
}

void Kernel::exit_at_price_source(std::uint64_t idx, const OhlcvBar& bar, std::uint64_t position_id,
                                  std::vector<std::uint64_t>& waiting) {
    const Position* p = ledger_.find(position_id);
    if (!p) return;
    const double reference = reference_price(cfg_.price_source, bar, p->direction, false);
    auto trade = close_position_by_id(idx, bar.timestamp, position_id, ExitReason::Signal, bar.volume, reference);
    // No tradable price on this bar: the exit waits for the next step that has one.
    if (!trade) waiting.push_back(position_id);
    push_exit(idx, std::move(trade));
}

bool Kernel::push_exit(std::uint64_t idx, std::optional<TradeRecord> trade) {
    if (!trade) return false;
    events_.push_back(KernelEvent::exited(idx, std::move(*trade)));
    return true;
}

}  // namespace tarnwick::engine
