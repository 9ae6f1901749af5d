// The session's heartbeat: one schedule entry through its kernel against the shared
// pool, then what only the portfolio can do (group margin, the equity sample, the
// portfolio margin call and the drawdown kill switch).
#include <array>

#include "engine/core_session.h"
#include "runners/session/portfolio_session.h"

namespace tarnwick::runners {

using data::DepthSnapshot;
using data::ScheduleEntry;
using data::ScheduleKind;
using domain::BOOK_LEVELS;
using domain::BarSignal;
using domain::OhlcvBar;
using domain::is_tradable_price;
using engine::AccountType;
using engine::Kernel;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::drawdown_pct;
using engine::period_return;

double PortfolioSession::equity() const noexcept {
    const std::size_t n = std::min(kernels_.size(), last_marks_.size());
    double held = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (last_marks_[i]) held += kernels_[i].marked_value(*last_marks_[i]);
    }
    return pool_cash_ + held;
}

double PortfolioSession::place_pool(std::size_t i) noexcept {
    Kernel& k = kernels_[i];
    const double own_locked = k.locked_margin_total();
    // A margin account's kernel sees the cash the other instruments have not locked.
    const double view =
        account_.type == AccountType::Margin ? pool_cash_ - (pool_locked_margin_ - own_locked) : pool_cash_;
    k.set_cash(view);
    return own_locked;
}

void PortfolioSession::fold(std::size_t i, double view, double locked_before) noexcept {
    Kernel& k = kernels_[i];
    pool_cash_ += k.cash() - view;
    pool_locked_margin_ += k.locked_margin_total() - locked_before;
    k.set_cash(0.0);
    k.set_portfolio_open_count(std::nullopt);
}

std::uint64_t PortfolioSession::open_position_count() const noexcept {
    std::uint64_t n = 0;
    for (const Kernel& k : kernels_) n += k.ledger().size();
    return n;
}

void PortfolioSession::record_trades(const std::vector<KernelEvent>& events, std::size_t from) {
    for (std::size_t j = from; j < events.size(); ++j) {
        if (events[j].kind == KernelEventKind::Exited && events[j].trade) trades_.push_back(*events[j].trade);
    }
}

void PortfolioSession::latch_halt() noexcept {
    if (halted_) return;
    halted_ = true;
    halted_at_ = cursor_;
}

void PortfolioSession::flag_margin_call_everywhere() noexcept {
    for (Kernel& k : kernels_) k.set_margin_call(true);
}

void PortfolioSession::sample_equity(std::int64_t ts) {
    const double e = equity();
    const bool has_previous = !equity_curve_.empty();
    const double previous = has_previous ? equity_curve_.back() : 0.0;
    equity_curve_.push_back(e);
    if (e > peak_equity_) peak_equity_ = e;
    drawdown_curve_.push_back(drawdown_pct(peak_equity_, e));
    returns_.push_back(has_previous && previous != 0.0 ? period_return(previous, e) : 0.0);
    timestamps_.push_back(ts);
}

void PortfolioSession::portfolio_margin_check(const ScheduleEntry& entry) {
    if (account_.type != AccountType::Margin || halted_) return;
    const double e = equity_curve_.back();
    const std::size_t n = std::min(kernels_.size(), last_marks_.size());
    double requirement = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (last_marks_[i]) requirement += kernels_[i].margin_requirement(*last_marks_[i]);
    }
    if (!(requirement > 0.0 && requirement > e)) return;
    latch_halt();
    flag_margin_call_everywhere();
    events_.push_back(KernelEvent::margin_call(entry.local_idx, e, requirement));
    if (!config_.liquidate_on_margin_call) return;
    for (std::size_t j = 0; j < kernels_.size(); ++j) {
        if (!last_bars_[j]) continue;
        const double locked_before = place_pool(j);
        const double view = kernels_[j].cash();
        std::vector<KernelEvent> closed = kernels_[j].liquidate_all(last_bars_[j]->local_idx, last_bars_[j]->bar);
        fold(j, view, locked_before);
        const std::size_t from = events_.size();
        for (KernelEvent& ev : closed) events_.push_back(std::move(ev));
        record_trades(events_, from);
    }
}

void PortfolioSession::drawdown_kill_switch() {
    const double e = equity_curve_.back();
    bool any_before = false;
    for (const Kernel& k : kernels_) any_before = any_before || k.drawdown_halt();
    bool any_now = false;
    if (peak_equity_ > 0.0) {
        const double dd = (peak_equity_ - e) / peak_equity_ * 100.0;
        for (Kernel& k : kernels_) {
            const std::optional<double> limit = k.max_drawdown_pct();
            if (!k.drawdown_halt() && limit && dd >= *limit) k.set_drawdown_halt(true);
            any_now = any_now || k.drawdown_halt();
        }
    }
    if (!any_before && any_now) latch_halt();
}

const std::vector<KernelEvent>& PortfolioSession::apply_current(const BarSignal& intents) {
    events_.clear();
    if (cursor_ >= schedule_.size()) return events_;
    const ScheduleEntry e = schedule_[cursor_];
    const std::size_t i = e.instrument;
    Kernel& k = kernels_[i];

    const double locked_before = place_pool(i);
    const double view = k.cash();
    if (config_.max_positions) k.set_portfolio_open_count(open_position_count());

    const auto& w = e.payload;
    OhlcvBar bar;
    switch (e.kind) {
        case ScheduleKind::Bar:
            bar = OhlcvBar{e.ts, w[0], w[1], w[2], w[3], w[4]};
            events_ = k.step(e.local_idx, bar, intents, false);
            break;
        case ScheduleKind::Trade:
            bar = OhlcvBar{e.ts, w[0], w[0], w[0], w[0], w[1]};
            events_ = k.step(e.local_idx, bar, intents, true);
            break;
        case ScheduleKind::Quote:
            k.apply_quote(e.ts, w[0], w[2], w[1], w[3]);
            events_ = k.take_pending_events();
            break;
        case ScheduleKind::Book: {
            const DepthSnapshot& snap = depth_snapshot(e.depth_position());
            std::array<double, BOOK_LEVELS> bp{}, bs{}, ap{}, as{};
            for (std::size_t l = 0; l < BOOK_LEVELS; ++l) {
                bp[l] = snap.bids[l].price;
                bs[l] = snap.bids[l].size;
                ap[l] = snap.asks[l].price;
                as[l] = snap.asks[l].size;
            }
            k.apply_depth(snap.ts, std::span(bp.data(), snap.bid_count), std::span(bs.data(), snap.bid_count),
                          std::span(ap.data(), snap.ask_count), std::span(as.data(), snap.ask_count));
            events_ = k.take_pending_events();
            break;
        }
    }
    fold(i, view, locked_before);
    allocate_group_margin();

    bool kernel_margin_call = false;
    for (const KernelEvent& ev : events_) kernel_margin_call = kernel_margin_call || ev.kind == KernelEventKind::MarginCall;
    if (kernel_margin_call) {
        latch_halt();
        flag_margin_call_everywhere();
    }
    record_trades(events_, 0);

    if (e.kind == ScheduleKind::Bar || e.kind == ScheduleKind::Trade) {
        // A gap keeps the instrument marked at its last tradable price.
        if (is_tradable_price(bar.close)) last_marks_[i] = bar.close;
        last_bars_[i] = LastBar{e.local_idx, bar};
        sample_equity(e.ts);
        portfolio_margin_check(e);
        drawdown_kill_switch();
    }
    ++cursor_;
    return events_;
}

}  // namespace tarnwick::runners
