// The kernel's account view: valuation, maintenance requirement, margin locking and the
// two whole-book closes.
#include <algorithm>
#include <cstring>

#include "engine/kernel.h"

namespace tarnwick::engine {

using domain::ExitReason;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::TradeRecord;
using domain::is_tradable_price;

double Kernel::locked_margin_total() const noexcept {
    double sum = -0.0;
    for (const auto& l : locked_) sum += l.amount;
    return sum;
}

LockedMargin* Kernel::find_locked(std::uint64_t position_id) noexcept {
    for (auto& l : locked_) {
        if (l.position_id == position_id) return &l;
    }
    return nullptr;
}

void Kernel::set_locked_margin(std::uint64_t position_id, double amount) {
    if (LockedMargin* l = find_locked(position_id)) {
        l->amount = amount;
        return;
    }
    locked_.push_back({position_id, amount});
}

void Kernel::remove_locked(std::uint64_t position_id) noexcept {
    auto it = std::find_if(locked_.begin(), locked_.end(),
                           [&](const LockedMargin& l) { return l.position_id == position_id; });
    if (it != locked_.end()) locked_.erase(it);
}

double Kernel::free_capital() const noexcept {
    if (account_type_ == AccountType::Margin) return cash_ - locked_margin_total();
    return cash_;
}

double Kernel::available_capital() const noexcept {
    const double free = free_capital();
    if (alloted_capital_) return std::min(*alloted_capital_, free);
    return free;
}

// Equity is cash plus this. Cash account: the marked value of each position. A short
// bought with cash is worth its entry value plus its gain, size x multiplier x (2 x entry
// - price), so equity moves with the short's pnl rather than against it.
// Margin account: cash (which still holds the locked margin) plus each position's open pnl.
double Kernel::marked_value(double price) const noexcept {
    const double mark = mark_or(price);
    const double k = ledger_.multiplier();
    double sum = -0.0;
    if (account_type_ == AccountType::Cash) {
        for (const auto& p : ledger_.positions()) {
            if (p.direction > 0) {
                sum += p.size * mark * k;
            } else {
                sum += p.size * k * (2.0 * p.entry_price - mark);
            }
        }
    } else {
        for (const auto& p : ledger_.positions()) {
            sum += static_cast<double>(p.direction) * (mark - p.entry_price) * p.size * k;
        }
    }
    return sum;
}


Kernel::QuietBook Kernel::quiet_book() const noexcept {
    QuietBook book;
    book.cash = cash_;
    book.multiplier = ledger_.multiplier();
    if (ledger_.empty()) {
        book.kind = QuietBook::Kind::Flat;
        return book;
    }
    if (ledger_.size() != 1) return book;
    const Position& p = ledger_.positions().front();
    book.size = p.size;
    book.entry = p.entry_price;
    book.direction = static_cast<double>(p.direction);
    if (account_type_ == AccountType::Cash) {
        book.kind = p.direction > 0 ? QuietBook::Kind::CashLong : QuietBook::Kind::CashShort;
    } else {
        book.kind = QuietBook::Kind::Margin;
    }
    return book;
}

void Kernel::step_quiet_unvalued(std::span<const double> high, std::span<const double> low,
                                 std::span<const double> close, double atr) {
    events_.clear();
    last_print_ = false;
    atr_ = atr;
    const std::size_t m = close.size();
    if (!ledger_.empty()) ledger_.widen_extremes(high.first(m), low.first(m));
    // The last tradable close of the stretch is the mark it leaves; most often its last.
    for (std::size_t k = m; k-- > 0;) {
        if (is_tradable_price(close[k])) {
            last_mark_ = close[k];
            break;
        }
    }
}

void Kernel::step_quiet(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                        double atr, double* __restrict equity) {
    const std::size_t m = close.size();
    const double cash = cash_;
    if (ledger_.empty()) {
        // Flat, the equity is cash plus an empty sum, the same at every close.
        const double flat = cash + marked_value(0.0);
        for (std::size_t k = 0; k < m; ++k) equity[k] = flat;
        step_quiet_unvalued(high, low, close, atr);
        return;
    }
    const double* __restrict marks = close.data();
    if (!domain::all_tradable(close)) {
        // A gap is marked at the last tradable close before it.
        for (std::size_t i = 0; i < m; ++i) {
            if (is_tradable_price(marks[i])) last_mark_ = marks[i];
            equity[i] = cash + marked_value(marks[i]);
        }
        step_quiet_unvalued(high, low, close, atr);
        return;
    }
    const auto put = [equity](std::size_t k, auto e) noexcept { std::memcpy(equity + k, &e, sizeof e); };
    if (!quiet_book().equities(marks, m, put)) {
        for (std::size_t i = 0; i < m; ++i) equity[i] = cash + marked_value(marks[i]);
    }
    step_quiet_unvalued(high, low, close, atr);
}

double Kernel::margin_rate(bool* from_instrument) const noexcept {
    *from_instrument = false;
    if (cfg_.instrument && cfg_.instrument->margin_init > 0.0) {
        *from_instrument = true;
        return cfg_.instrument->margin_init;
    }
    return 1.0 / std::max(leverage_, 1.0);
}

double Kernel::option_span_per_unit() const noexcept {
    const InstrumentSpec& s = *cfg_.instrument;
    return (s.span_pct + s.exposure_pct) * s.kind.strike * s.multiplier;
}

bool Kernel::uses_span_margin(int direction) const noexcept {
    return account_type_ == AccountType::Margin && direction < 0 && cfg_.instrument &&
           cfg_.instrument->has_option_short_margin();
}

double Kernel::margin_requirement(double mark) const noexcept {
    if (account_type_ == AccountType::Cash) return 0.0;
    bool from_instrument = false;
    const double r = margin_rate(&from_instrument);
    std::optional<double> m;
    if (cfg_.instrument && cfg_.instrument->margin_maint > 0.0) {
        m = cfg_.instrument->margin_maint;
    } else if (r < 1.0) {
        m = 0.5 * r;
    }
    const bool span = cfg_.instrument && cfg_.instrument->has_option_short_margin();
    if (!m && !span) return 0.0;
    const double k = effective_multiplier();
    double sum = -0.0;
    if (span && !locked_.empty()) {
        for (const auto& p : ledger_.positions()) {
            if (p.direction < 0) {
                const LockedMargin* l = nullptr;
                for (const auto& e : locked_) {
                    if (e.position_id == p.position_id) l = &e;
                }
                sum += l ? l->amount : 0.0;
            } else {
                sum += m ? p.size * mark * k * *m : 0.0;
            }
        }
        return sum;
    }
    for (const auto& p : ledger_.positions()) {
        if (span && p.direction < 0) {
            sum += 0.0;
        } else if (m) {
            sum += p.size * mark * k * *m;
        }
    }
    return sum;
}

void Kernel::book_close(std::uint64_t position_id, const TradeRecord& t, double fraction) {
    const double k = effective_multiplier();
    if (account_type_ == AccountType::Margin) {
        if (fraction >= 1.0) {
            remove_locked(position_id);
        } else if (LockedMargin* l = find_locked(position_id)) {
            l->amount *= (1.0 - fraction);
        }
        cash_ += t.pnl + t.entry_fees;
        return;
    }
    if (t.direction > 0) {
        cash_ += t.exit_price * t.size * k - t.exit_fees;
    } else {
        cash_ += t.size * k * (2.0 * t.entry_price - t.exit_price) - t.exit_fees;
    }
}

void Kernel::liquidate_into(std::uint64_t idx, const OhlcvBar& bar, std::vector<KernelEvent>& out) {
    scratch_ids_.clear();
    for (const auto& p : ledger_.positions()) scratch_ids_.push_back(p.position_id);
    const double price = mark_or(bar.close);
    for (std::uint64_t id : scratch_ids_) {
        auto t = close_position_by_id(idx, bar.timestamp, id, ExitReason::Liquidation, bar.volume, price);
        if (t) out.push_back(KernelEvent::exited(idx, std::move(*t)));
    }
}

std::vector<KernelEvent> Kernel::liquidate_all(std::uint64_t idx, const OhlcvBar& bar) {
    std::vector<KernelEvent> out;
    liquidate_into(idx, bar, out);
    return out;
}

std::vector<TradeRecord> Kernel::force_close_all(std::uint64_t idx, std::int64_t timestamp, double last_price) {
    const double price = mark_or(last_price);
    std::vector<TradeRecord> out;
    out.reserve(ledger_.size());
    while (!ledger_.empty()) {
        const Position& p = ledger_.positions().front();
        const std::uint64_t id = p.position_id;
        CloseRequest req{p.entry_fee_breakdown, idx, timestamp, price, 0.0, ExitReason::EndOfData};
        out.push_back(std::move(*close_whole(id, req, price)));
    }
    return out;
}

}  // namespace tarnwick::engine
