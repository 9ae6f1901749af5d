// A live-style session over several instruments: one Kernel per instrument, all funded by
// one shared cash balance and, in a margin account, one pool of locked initial margin, so
// leverage applies portfolio-wide and a margin call halts every instrument at once.
//
// Life: register instruments and attach their streams, seal (merge every stream into one
// deterministic schedule), then apply the schedule one entry at a time with orders and
// live appends in between, and finish. Between applications every kernel's cash view is
// 0: the pool is placed on a kernel just before it acts and its changes are folded back
// right after.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "data/events/depth_snapshot.h"
#include "data/events/tick_expansion.h"
#include "data/feed/schedule.h"
#include "domain/backtest_config.h"
#include "domain/bar.h"
#include "domain/instrument_config.h"
#include "domain/instrument_spec.h"
#include "domain/trade_record.h"
#include "engine/kernel.h"
#include "engine/kernel_config.h"
#include "engine/kernel_event.h"
#include "runners/portfolio_result.h"

namespace tarnwick::runners {

// One working order as a session reports it.
struct WorkingOrderView {
    std::uint64_t order_id = 0;
    std::string client_id;
    std::string_view side;    // "buy" / "sell"
    std::string kind;         // variant name in lower case without separators: "stopmarket"
    std::string_view status;  // "accepted" (submitted or accepted), "triggered", "partially_filled"
    double filled_qty = 0.0;
    double units = 0.0;  // NaN for a capital-fraction or close-all order
};

class PortfolioSession {
public:
    PortfolioSession(domain::BacktestConfig config, engine::AccountSetup account);

    // ---- instruments --------------------------------------------------------------
    // The argument checks of a registration, made before anything else about the
    // session: direction 1 or -1, an exact oms type, a tradable spec. The oms type.
    static base::Result<engine::OmsType, base::OwnError> check_instrument(
        std::int32_t direction, std::string_view oms_type, const std::optional<domain::InstrumentSpec>& spec);
    // Builds the instrument's kernel from the session's configuration and account, arms
    // its portfolio gates, and returns its index (0, 1, ...). Arguments as checked above.
    std::uint64_t add_instrument(std::string symbol, std::int8_t direction,
                                 std::optional<domain::InstrumentConfig> instrument_config,
                                 std::optional<domain::InstrumentSpec> instrument, engine::OmsType oms);
    std::size_t instrument_count() const noexcept { return kernels_.size(); }
    // "unknown instrument index {}" unless the index names a registered instrument.
    base::Status<base::OwnError> check_index(std::uint64_t instrument) const;

    // ---- attached streams (stored whole; merged only by the first seal) ----------------
    base::Status<base::OwnError> set_bars(std::uint64_t instrument, std::vector<domain::OhlcvBar> bars);
    base::Status<base::OwnError> set_ticks(std::uint64_t instrument, data::TickColumns ticks);
    base::Status<base::OwnError> set_depth(std::uint64_t instrument, std::vector<data::DepthSnapshot> snapshots);
    // Merges every attached stream into the schedule; once only, later calls do nothing.
    void seal();
    bool sealed() const noexcept { return sealed_; }

    // ---- live appends (at the tail, in call order; each seals first) ------------------
    base::Status<base::OwnError> push_bar(std::uint64_t instrument, const domain::OhlcvBar& bar);
    // The number of entries appended (0, 1 or 2). A row that yields none leaves the
    // session as it was, unsealed included.
    base::Result<std::uint64_t, base::OwnError> push_tick(std::uint64_t instrument, std::int64_t timestamp,
                                                          const data::TickRow& row);
    base::Status<base::OwnError> push_depth(std::uint64_t instrument, data::DepthSnapshot snapshot);

    // ---- applying ---------------------------------------------------------------------
    // Runs the pending entry through its instrument's kernel against the pool, then the
    // portfolio's own work (group margin, equity sample, margin call, drawdown kill
    // switch), and advances. The events in order: the kernel's, then a portfolio margin
    // call, then the liquidation's. Empty when nothing is pending. The reference stays
    // valid until the next call that changes the session.
    const std::vector<engine::KernelEvent>& apply_current(const domain::BarSignal& intents);
    // Pool cash plus every marked instrument's open positions at its mark.
    double equity() const noexcept;
    // Re-margins the short option legs of every (underlying, expiry) group from the
    // group's payoff at expiry; margin accounts only.
    void allocate_group_margin();

    // ---- orders (they act when the instrument's next bar or print is applied) ---------
    base::Result<std::uint64_t, base::OwnError> submit_order(std::uint64_t instrument, engine::OrderRequestArgs args);
    base::Result<bool, base::OwnError> cancel_order(std::uint64_t instrument, std::uint64_t idx,
                                                    std::uint64_t order_id);
    base::Result<bool, base::OwnError> modify_order(std::uint64_t instrument, std::uint64_t order_id,
                                                    std::optional<double> units, std::optional<double> size_frac,
                                                    std::optional<double> limit_price,
                                                    std::optional<double> trigger_price);
    base::Result<std::vector<std::uint64_t>, base::OwnError> cancel_all_orders(std::uint64_t instrument,
                                                                               std::uint64_t idx);
    base::Status<base::OwnError> link_oco(std::uint64_t instrument, std::span<const std::uint64_t> order_ids);
    base::Status<base::OwnError> request_close(std::uint64_t instrument, std::uint64_t position_id);
    base::Status<base::OwnError> set_underlying_price(std::uint64_t instrument, std::optional<double> price);
    // Seeds a long position the broker already holds; open only until the first bar or
    // print is applied. The new position id.
    base::Result<std::uint64_t, base::OwnError> adopt_position(std::uint64_t instrument, std::int64_t timestamp,
                                                               double price, double size);

    // ---- queries ----------------------------------------------------------------------
    // The entry at the cursor, when there is one.
    const data::ScheduleEntry* pending() const noexcept;
    const data::DepthSnapshot& depth_snapshot(std::uint64_t position) const;
    std::uint64_t remaining() const noexcept { return schedule_.size() - cursor_; }
    std::uint64_t size() const noexcept { return schedule_.size(); }
    std::uint64_t cursor() const noexcept { return cursor_; }
    base::Result<const engine::Kernel*, base::OwnError> kernel(std::uint64_t instrument) const;
    base::Result<std::vector<WorkingOrderView>, base::OwnError> working_orders(std::uint64_t instrument) const;
    double cash() const noexcept { return pool_cash_; }
    double locked_margin() const noexcept { return pool_locked_margin_; }
    double free_capital() const noexcept { return pool_cash_ - pool_locked_margin_; }
    // The portfolio latch, or any kernel's margin-call or drawdown-halt flag.
    bool is_halted() const noexcept;
    std::optional<std::uint64_t> halted_at() const noexcept { return halted_at_; }
    const std::vector<data::ScheduleEntry>& schedule() const noexcept { return schedule_; }
    const base::Curve& equity_curve() const noexcept { return equity_curve_; }
    const base::Curve& drawdown_curve() const noexcept { return drawdown_curve_; }
    const base::Curve& returns() const noexcept { return returns_; }
    const std::vector<domain::TradeRecord>& trades() const noexcept { return trades_; }

    // ---- finish -----------------------------------------------------------------------
    // Force-closes every instrument at its last applied bar, computes the portfolio
    // metrics and attributes trades and refusals to the instruments.
    PortfolioResult finish() &&;

private:
    struct LastBar {
        std::uint64_t local_idx = 0;
        domain::OhlcvBar bar;
    };

    // The pool as kernel `i` may see it; returns the kernel's locked margin at that moment.
    double place_pool(std::size_t i) noexcept;
    // Takes the kernel's changes since `place_pool` back into the pool and clears its view.
    void fold(std::size_t i, double view, double locked_before) noexcept;
    std::uint64_t open_position_count() const noexcept;
    void record_trades(const std::vector<engine::KernelEvent>& events, std::size_t from);
    void latch_halt() noexcept;
    void flag_margin_call_everywhere() noexcept;
    void sample_equity(std::int64_t ts);
    void portfolio_margin_check(const data::ScheduleEntry& e);
    void drawdown_kill_switch();

    domain::BacktestConfig config_;
    engine::AccountSetup account_;
    std::optional<std::uint64_t> halted_at_;
    double pool_cash_ = 0.0;
    double pool_locked_margin_ = 0.0;
    bool halted_ = false;

    // One element per registered instrument, all indexed by the instrument index.
    std::vector<engine::Kernel> kernels_;
    std::vector<std::string> symbols_;
    std::vector<std::vector<domain::OhlcvBar>> bar_streams_;
    std::vector<std::optional<data::TickColumns>> tick_streams_;
    std::vector<std::vector<data::DepthSnapshot>> depth_streams_;
    std::vector<std::uint64_t> local_counts_;
    std::vector<std::optional<double>> last_marks_;
    std::vector<std::optional<LastBar>> last_bars_;

    std::vector<data::DepthSnapshot> depth_store_;  // only grows: book entries name positions here
    std::vector<data::ScheduleEntry> schedule_;

    base::Curve equity_curve_;
    base::Curve drawdown_curve_;  // percent below the running peak
    base::Curve returns_;         // fraction
    std::vector<std::int64_t> timestamps_;
    std::vector<domain::TradeRecord> trades_;  // every instrument's, in closing order

    std::uint64_t cursor_ = 0;
    double peak_equity_ = 0.0;
    bool sealed_ = false;

    std::vector<engine::KernelEvent> events_;  // the last application's, reused
};

}  // namespace tarnwick::runners
