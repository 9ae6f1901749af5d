// The four ledger operations every fill ends in (open, add, whole close, partial close by
// order), with the pricing, sizing and booking rules they share.
#include <algorithm>
#include <cmath>

#include "domain/capital.h"
#include "engine/kernel.h"

namespace tarnwick::engine {

using domain::ExitReason;
using domain::FeeBreakdown;
using domain::FillCharge;
using domain::StopRule;
using domain::TargetRule;
using domain::TradeRecord;
using domain::is_dust_capital;
using domain::is_tradable_price;
using domain::snap_price_to_increment;
using domain::snap_size_to_increment;

namespace {

// A cost this close above the capital is the same amount up to rounding: sizing to the
// whole capital and then recomputing the cost may land an ulp or so above it.
constexpr double kAffordableRelTolerance = 1e-9;

bool finite_positive(double x) noexcept { return std::isfinite(x) && x > 0.0; }

}  // namespace

double Kernel::slipped(double reference, double volume, bool buy) const noexcept {
    const double amount = cfg_.slippage.amount_for(reference, volume);
    const double price = buy ? reference + amount : reference - amount;
    if (!fill_cap_) return price;
    return buy ? std::min(price, *fill_cap_) : std::max(price, *fill_cap_);
}

// The one place fills are charged.
FillCharge Kernel::fill_charge(double price, double quantity, bool is_buy) const noexcept {
    return cfg_.fee_model.charge(price, quantity, is_buy);
}

double Kernel::round_quantity(double quantity) const noexcept {
    // Whole lots, a quantity within rounding of a whole number of lots counting as one:
    // 4.3 units in lots of 0.1 divide to 42.99999999999999 and are 43 lots.
    if (lot_size_ && *lot_size_ > 0.0) quantity = snap_size_to_increment(quantity, *lot_size_);
    if (cfg_.instrument && cfg_.instrument->size_increment > 0.0) {
        quantity = snap_size_to_increment(quantity, cfg_.instrument->size_increment);
    }
    return quantity;
}

double Kernel::deposit_for(double value, double q, bool span, double rate) const noexcept {
    if (account_type_ == AccountType::Cash) return value;
    if (span) return option_span_per_unit() * q;
    return value * rate;
}

bool Kernel::affordable(double cost, double available) const noexcept {
    if (cost <= available) return true;
    return cost - available <= kAffordableRelTolerance * std::fabs(available);
}

double Kernel::size_for_capital(double capital, double price, int direction) const noexcept {
    const double v = price * effective_multiplier();
    const double f = cfg_.config.fees;
    const bool span = uses_span_margin(direction);
    bool from_instrument = false;
    const double rate = account_type_ == AccountType::Margin ? margin_rate(&from_instrument) : 1.0;
    double per_unit;
    if (span) {
        per_unit = v * f + option_span_per_unit();
    } else if (account_type_ == AccountType::Margin) {
        per_unit = v * (f + rate);
    } else {
        per_unit = v * (1.0 + f);
    }
    double q = capital / per_unit;
    if (!cfg_.fee_model.itemises() || !finite_positive(q)) return q;
    // Under a cost segment the flat rate says nothing about the real charge: shrink the
    // quantity until deposit plus the segment's fee fits the capital. The charge is close
    // to linear in the quantity, so the proportional step converges in a few rounds.
    const bool buy = direction > 0;
    for (int round = 0; round < 64; ++round) {
        const double cost = deposit_for(v * q, q, span, rate) + cfg_.fee_model.fee(v, q, buy);
        if (!(cost > capital)) break;
        const double next = q * (capital / cost);
        q = next < q ? next : std::nextafter(q, 0.0);
        if (!(q > 0.0)) return 0.0;
    }
    return q;
}

std::optional<double> Kernel::rule_stop(double entry, int direction, double atr) const noexcept {
    if (!stop_rule_) return std::nullopt;
    const double d = static_cast<double>(direction);
    switch (stop_rule_->kind) {
        case StopRule::Kind::Fixed:
        case StopRule::Kind::Trailing: return entry * (1.0 - stop_rule_->value * d);
        case StopRule::Kind::Atr:
            if (atr > 0.0) return entry - stop_rule_->value * atr * d;
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<double> Kernel::rule_target(double entry, int direction, double atr,
                                          std::optional<double> rule_stop_level) const noexcept {
    if (!target_rule_) return std::nullopt;
    const double d = static_cast<double>(direction);
    switch (target_rule_->kind) {
        case TargetRule::Kind::Fixed: return entry * (1.0 + target_rule_->value * d);
        case TargetRule::Kind::Atr:
            if (atr > 0.0) return entry + target_rule_->value * atr * d;
            return std::nullopt;
        case TargetRule::Kind::RiskReward:
            if (rule_stop_level) return entry + std::fabs(entry - *rule_stop_level) * target_rule_->value * d;
            return std::nullopt;
    }
    return std::nullopt;
}

double Kernel::entry_quantity(const EntryRequest& r, double price, int direction, double available) const noexcept {
    if (r.units) return round_quantity(*r.units);
    const double capital = r.size_frac ? available * *r.size_frac : available;
    // Rounding residue (what an entry that committed the whole account leaves over) sizes
    // nothing, and is refused as any capital too small for a position is.
    const bool dust = is_dust_capital(capital, cfg_.config.initial_capital);
    return round_quantity(dust ? 0.0 : size_for_capital(capital, price, direction));
}

// Explicit levels as given; the rules' levels at the fill price, snapped to the price grid,
// where none is given. A risk-reward target measures from the rule's stop.
Kernel::EntryLevels Kernel::entry_levels(const EntryRequest& r, double price, int direction) const noexcept {
    const std::optional<double> stop_from_rule = rule_stop(price, direction, r.atr);
    const std::optional<double> target_from_rule = rule_target(price, direction, r.atr, stop_from_rule);
    const double tick = cfg_.instrument ? cfg_.instrument->price_increment : 0.0;
    EntryLevels levels{r.stop_price, r.target_price};
    if (!levels.stop && stop_from_rule) levels.stop = snap_price_to_increment(*stop_from_rule, tick, direction);
    if (!levels.target && target_from_rule) {
        levels.target = snap_price_to_increment(*target_from_rule, tick, direction);
    }
    return levels;
}

// The new position, and its cost: a cash account pays the value and the fee, a margin
// account locks the deposit and pays the fee.
std::uint64_t Kernel::book_opening(const EntryRequest& r, const EntryFill& f, const EntryLevels& levels) {
    Position p;
    p.stop_price = levels.stop;
    p.target_price = levels.target;
    p.entry_idx = r.idx;
    p.entry_price = f.price;
    p.size = f.quantity;
    // The extremes start at the market price of the fill, not at its slipped price.
    p.highest_price = market_price(r.reference);
    p.lowest_price = p.highest_price;
    p.entry_fees = f.charge.total;
    p.direction = static_cast<std::int8_t>(f.direction);
    p.entry_fee_breakdown = f.charge.breakdown;
    p.entry_time = r.timestamp;
    const std::uint64_t id = ledger_.add(std::move(p));

    if (account_type_ == AccountType::Cash) {
        cash_ -= f.value + f.charge.total;
    } else {
        set_locked_margin(id, f.deposit);
        cash_ -= f.charge.total;
    }
    // A position opened before any tradable close is marked at its fill until one comes.
    if (!last_mark_) last_mark_ = r.reference;
    return id;
}

OpenOutcome Kernel::open_position(const EntryRequest& r) {
    OpenOutcome out;
    out.kind = OpenOutcome::Kind::Rejected;
    EntryFill f;
    f.direction = r.direction < 0 ? -1 : 1;
    const bool buy = f.direction > 0;
    f.price = slipped(r.reference, r.volume, buy);
    // A price that is not a finite positive number cannot be sized or booked.
    if (!finite_positive(f.price)) {
        out.reason = EntryRejectReason::ZeroSize;
        return out;
    }
    const bool span = uses_span_margin(f.direction);
    bool rate_from_instrument = false;
    const double rate = account_type_ == AccountType::Margin ? margin_rate(&rate_from_instrument) : 1.0;
    const double available = available_capital();
    f.quantity = entry_quantity(r, f.price, f.direction, available);
    if (!finite_positive(f.quantity)) {
        const bool margin_reject = account_type_ == AccountType::Margin && (rate_from_instrument || span);
        out.reason = margin_reject ? EntryRejectReason::InsufficientMargin : EntryRejectReason::ZeroSize;
        return out;
    }

    const double k = effective_multiplier();
    f.value = f.price * k * f.quantity;
    f.charge = fill_charge(f.price * k, f.quantity, buy);
    f.deposit = deposit_for(f.value, f.quantity, span, rate);
    if (!affordable(f.deposit + f.charge.total, available)) {
        out.reason = EntryRejectReason::InsufficientCapital;
        return out;
    }
    const EntryLevels levels = entry_levels(r, f.price, f.direction);
    if (!ledger_.accepts_new_position()) {
        out.kind = OpenOutcome::Kind::Refused;
        return out;
    }
    out.position_id = book_opening(r, f, levels);
    out.kind = OpenOutcome::Kind::Opened;
    out.entry_price = f.price;
    out.size = f.quantity;
    return out;
}

std::optional<AddOutcome> Kernel::add_to_position(std::uint64_t position_id, bool keep_stop, bool keep_target,
                                                  double volume, double reference, double quantity) {
    Position* p = ledger_.find(position_id);
    if (!p) return std::nullopt;
    const double q = round_quantity(quantity);
    if (!finite_positive(q)) return std::nullopt;
    const bool buy = p->direction > 0;
    const double price = slipped(reference, volume, buy);
    if (!finite_positive(price)) return std::nullopt;
    const double k = effective_multiplier();
    const FillCharge charge = fill_charge(price * k, q, buy);
    const bool span = uses_span_margin(p->direction);
    bool from_instrument = false;
    const double rate = account_type_ == AccountType::Margin ? margin_rate(&from_instrument) : 1.0;
    const double deposit = deposit_for(price * k * q, q, span, rate);
    if (!affordable(deposit + charge.total, available_capital())) return std::nullopt;

    p->reach(market_price(reference));
    const double old_entry = p->entry_price;
    const double new_entry = (p->entry_price * p->size + price * q) / (p->size + q);
    p->entry_price = new_entry;
    p->size += q;
    p->entry_fees += charge.total;
    p->entry_fee_breakdown.reset();
    if (!keep_stop && !keep_target) {
        if (p->stop_price) *p->stop_price += new_entry - old_entry;
        if (p->target_price) *p->target_price += new_entry - old_entry;
    }
    if (account_type_ == AccountType::Cash) {
        cash_ -= q * price * k + charge.total;
    } else {
        if (LockedMargin* l = find_locked(position_id)) {
            l->amount += deposit;
        } else {
            set_locked_margin(position_id, deposit);
        }
        cash_ -= charge.total;
    }
    return AddOutcome{price, q};
}

std::optional<TradeRecord> Kernel::close_whole(std::uint64_t position_id, const CloseRequest& req, double market) {
    if (Position* p = ledger_.find(position_id)) p->reach(market);
    auto t = ledger_.close_position(position_id, req);
    if (t) book_close(position_id, *t, 1.0);
    return t;
}

std::optional<TradeRecord> Kernel::close_position_by_id(std::uint64_t idx, std::int64_t timestamp,
                                                        std::uint64_t position_id, ExitReason reason,
                                                        double volume, double reference) {
    const Position* p = ledger_.find(position_id);
    if (!p) return std::nullopt;
    const bool buy = p->direction < 0;
    const double exit = slipped(reference, volume, buy);
    // A gap in the prices closes nothing: the cash it would book is not a number.
    if (!is_tradable_price(exit)) return std::nullopt;
    const FillCharge charge = fill_charge(exit * effective_multiplier(), p->size, buy);
    std::optional<FeeBreakdown> lines;
    if (charge.breakdown) {
        lines = p->entry_fee_breakdown ? *p->entry_fee_breakdown + *charge.breakdown : *charge.breakdown;
    }
    return close_whole(position_id, CloseRequest{lines, idx, timestamp, exit, charge.total, reason},
                       market_price(reference));
}

std::optional<TradeRecord> Kernel::close_by_order(std::uint64_t idx, std::int64_t timestamp,
                                                  std::uint64_t position_id, double volume, double quantity,
                                                  double reference) {
    Position* p = ledger_.find(position_id);
    if (!p) return std::nullopt;
    if (std::isnan(quantity) || !(quantity > 0.0)) return std::nullopt;
    if (quantity >= p->size) {
        return close_position_by_id(idx, timestamp, position_id, ExitReason::Order, volume, reference);
    }
    const bool buy = p->direction < 0;
    const double exit = slipped(reference, volume, buy);
    if (!is_tradable_price(exit)) return std::nullopt;
    const FillCharge charge = fill_charge(exit * effective_multiplier(), quantity, buy);
    const double fraction = quantity / p->size;
    const double entry_share = p->entry_fees * fraction;
    const CloseRequest req{charge.breakdown, idx, timestamp, exit, charge.total, ExitReason::Order};
    // The part left open has traded at this price too.
    p->reach(market_price(reference));
    TradeRecord t = ledger_.build_trade(*p, quantity, entry_share, req);
    p->size -= quantity;
    p->entry_fees -= entry_share;
    p->entry_fee_breakdown.reset();
    book_close(position_id, t, fraction);
    return t;
}

}  // namespace tarnwick::engine
