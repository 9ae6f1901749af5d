// Taking positions off within a step: expiry settlement and the per-position stop,
// target, signal-exit and trailing-stop evaluation.
#include <algorithm>

#include "engine/kernel.h"
#include "engine/orders/price_grid.h"

namespace tarnwick::engine {

using domain::BarSignal;
using domain::ExitReason;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::OptionRight;
using domain::StopRule;
using domain::is_tradable_price;

namespace {

// What one unit pays at expiry: the bar's own close, or for an option with a known
// underlying its intrinsic value (1.0 or 0.0 for a binary).
double settlement_price(const InstrumentSpec& spec, std::optional<double> underlying, double close) {
    if (!spec.is_option() || !underlying) return close;
    const double diff = spec.kind.right == OptionRight::Call ? *underlying - spec.kind.strike
                                                             : spec.kind.strike - *underlying;
    if (spec.kind.binary) return diff > 0.0 ? 1.0 : 0.0;
    return std::max(diff, 0.0);
}

}  // namespace

void Kernel::settle_expired(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal) {
    deferred_ = DeferredSignal{};
    waiting_exits_.clear();
    const InstrumentSpec& spec = *cfg_.instrument;
    // A gap on the settlement bar settles at the last tradable price.
    const double price = settlement_price(spec, underlying_price_, mark_or(bar.close));
    const double k = effective_multiplier();
    scratch_ids_.clear();
    for (const auto& p : ledger_.positions()) scratch_ids_.push_back(p.position_id);
    for (std::size_t i = 0; i < scratch_ids_.size(); ++i) {
        const Position* p = ledger_.find(scratch_ids_[i]);
        if (!p) continue;
        const double fee = spec.settlement_fee > 0.0 ? spec.settlement_fee * p->size * price * k : 0.0;
        // Settlement is no market fill: no slippage, and the trade keeps the entry lines only.
        CloseRequest req{p->entry_fee_breakdown, idx, bar.timestamp, price, fee, ExitReason::Settlement};
        push_exit(idx, close_whole(scratch_ids_[i], req, price));
    }
    cancel_working_orders_at_expiry(idx);
    if (signal.entry) {
        ++rejected_entries_;
        events_.push_back(KernelEvent::entry_rejected(idx, EntryRejectReason::Expired));
    }
}

void Kernel::evaluate_exits(std::uint64_t idx, const OhlcvBar& bar, bool exit_now) {
    scratch_ids_.clear();
    for (const auto& p : ledger_.positions()) scratch_ids_.push_back(p.position_id);
    const double s = cfg_.config.limit_slippage;
    const bool trailing = stop_rule_ && stop_rule_->kind == StopRule::Kind::Trailing;
    const PriceGrid grid{cfg_.instrument ? cfg_.instrument->price_increment : 0.0};
    const bool open_known = is_tradable_price(bar.open);
    for (std::size_t i = 0; i < scratch_ids_.size(); ++i) {
        const std::uint64_t id = scratch_ids_[i];
        Position* p = ledger_.find(id);
        if (!p) continue;
        const bool is_long = p->direction > 0;
        // A long's stop and a short's target are met from above, the others from below.
        auto met_from_above = [&](double price, double level) { return grid.at_or_below(price, level); };
        auto met_from_below = [&](double price, double level) { return grid.at_or_above(price, level); };
        const bool stop_hit = p->stop_price && (is_long ? met_from_above(bar.low, *p->stop_price)
                                                        : met_from_below(bar.high, *p->stop_price));
        const bool target_hit = p->target_price && (is_long ? met_from_below(bar.high, *p->target_price)
                                                            : met_from_above(bar.low, *p->target_price));

        bool take_stop = stop_hit;
        if (stop_hit && target_hit && cfg_.config.bar_path_adaptive) {
            // An up bar runs open, low, high, close; a down bar open, high, low, close. The
            // level on the first extreme fires: a long's stop sits on the low, its target
            // on the high, and a short's the other way round.
            const bool up_bar = bar.close >= bar.open;
            take_stop = is_long ? up_bar : !up_bar;
        }
        // A level is filled at the open when the bar opened through it, else at the level
        // itself as far as the bar traded it. A level whose exit price is not tradable (a
        // gap) stays in place for later bars, and the bar's signal exit still goes.
        if (take_stop) {
            const double stop = *p->stop_price;
            const bool through = open_known && (is_long ? met_from_above(bar.open, stop) : met_from_below(bar.open, stop));
            const double price = through ? bar.open : grid.fill_at(stop, !is_long, bar.low, bar.high);
            if (push_exit(idx, close_position_by_id(idx, bar.timestamp, id, ExitReason::StopLoss, bar.volume, price))) {
                continue;
            }
        }
        if (target_hit && !take_stop) {
            const double target = *p->target_price;
            // A trade print keeps filling a target at the target.
            const bool through = open_known && !last_print_ &&
                                 (is_long ? met_from_below(bar.open, target) : met_from_above(bar.open, target));
            const double base = through       ? bar.open
                                : last_print_ ? target
                                              : grid.fill_at(target, is_long, bar.low, bar.high);
            const double price = is_long ? base - base * s : base + base * s;
            const FillSlotScope market(fill_market_, base);
            if (push_exit(idx, close_position_by_id(idx, bar.timestamp, id, ExitReason::TakeProfit, bar.volume, price))) {
                continue;
            }
        }
        if (exit_now) {
            exit_at_price_source(idx, bar, id, close_requests_);
            continue;
        }
        if (trailing) {
            const double pct = stop_rule_->value;
            const double candidate = is_long ? (1.0 - pct) * p->highest_price : (1.0 + pct) * p->lowest_price;
            if (!p->stop_price || (is_long ? candidate > *p->stop_price : candidate < *p->stop_price)) {
                p->stop_price = candidate;
            }
        }
    }
}

}  // namespace tarnwick::engine
