// The whole execution state of one instrument: account view, positions, stops and
// targets, halt flags and the events of the current step. Built once from a KernelConfig,
// changed by position operations between steps and advanced by `step`.
//
// Owners: a CoreSession (single-instrument runs), a portfolio session (one kernel per
// instrument over one shared pool) and the shared-capital runner. The portfolio owners
// drive the pool through the account accessors below: they place the pool's cash on the
// kernel before a step (`set_cash`), fold the changes of `cash()` and
// `locked_margin_total()` back afterwards, and may raise the halt flags.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "domain/bar.h"
#include "domain/trade_record.h"
#include "engine/depth_book.h"
#include "engine/fill_models.h"
#include "engine/kernel_config.h"
#include "engine/kernel_event.h"
#include "engine/ledger.h"
#include "engine/orders/order_lifecycle.h"
#include "engine/orders/order_request.h"
#include "engine/orders/twap.h"
#include "engine/queue_fill.h"
#include "metrics/lanes.h"

namespace tarnwick::engine {

// Margin locked against one open position (margin accounts), in the price currency.
struct LockedMargin {
    std::uint64_t position_id = 0;
    double amount = 0.0;
};

// An opening fill to make: where and when, which way, at which bar price, sized how, and
// with which levels.
struct EntryRequest {
    std::uint64_t idx = 0;
    std::int64_t timestamp = 0;  // nanoseconds since epoch
    int direction = 1;           // below 0 short, else long
    double volume = 0.0;         // the bar's volume, for the volume-scaled slippage kind
    double reference = 0.0;      // the bar price the fill takes before slippage
    std::optional<double> size_frac{};  // of the available capital; all of it when absent
    std::optional<double> units{};      // taken as given when present
    double atr = 0.0;                   // for the ATR stop and target rules
    std::optional<double> stop_price{};  // explicit levels, used as given
    std::optional<double> target_price{};
};

// Outcome of an opening fill.
struct OpenOutcome {
    enum class Kind : std::uint8_t { Opened, Rejected, Refused };
    Kind kind = Kind::Opened;
    EntryRejectReason reason = EntryRejectReason::ZeroSize;  // Rejected only
    std::uint64_t position_id = 0;                           // Opened only
    double entry_price = 0.0;                                // Opened only
    double size = 0.0;                                       // Opened only
};

// Outcome of a fill that added to an open position.
struct AddOutcome {
    double price = 0.0;
    double quantity = 0.0;
};

class Kernel {
public:
    // Applies the whole configuration: fill timing, latency, stop and target rules (the
    // instrument overrides win), lot size and allotted capital, the instrument spec (its
    // lot size is used when the overrides set none and it is neither 1.0 nor <= 0), the
    // account type and leverage, and a ledger with the symbol, the contract multiplier and
    // the hedging flag. `max_positions` and `max_drawdown_pct` start unset.
    explicit Kernel(KernelConfig cfg);

    // ---- stepping ---------------------------------------------------------------
    // Advances by one bar (`is_print` false) or one trade print passed as a bar with all
    // four prices equal (`is_print` true). Returns the events queued since the previous
    // step followed by this step's own, in order. The reference stays valid until the
    // next call that changes the kernel; the buffer is reused from step to step.
    const std::vector<KernelEvent>& step(std::uint64_t idx, const domain::OhlcvBar& bar,
                                         const domain::BarSignal& signal, bool is_print);

    // Whether a bar without signals can do nothing but move the marks: nothing queued,
    // deferred, requested or working, no expiry ahead, and, while holding, no exit rule or
    // level that could fire and no maintenance requirement to watch. Stays true over such
    // bars, so a driver may hand a whole stretch of them to `step_quiet`.
    bool quiet() const noexcept {
        if (!pending_.empty() || !deferred_.empty() || !waiting_exits_.empty() || !close_requests_.empty() ||
            has_order_work()) {
            return false;
        }
        if (cfg_.instrument && cfg_.instrument->expiration_ns) return false;
        if (ledger_.empty()) return true;
        return !exits_possible(false) && (account_type_ == AccountType::Cash || margin_call_);
    }
    // Steps a stretch of bars, given as columns of equal length, on which the kernel is
    // quiet and no signal arrives (the caller checks both): exactly what stepping them one
    // by one does, the positions' extremes widened bar by bar, and nothing else. Writes
    // the equity at each close to `equity[0 .. close.size())`; `atr` is the last bar's.
    void step_quiet(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                    double atr, double* equity);
    // The same step with the equity left to the caller, who values the book through
    // `quiet_book()` (taken before this call) at each close of the stretch.
    void step_quiet_unvalued(std::span<const double> high, std::span<const double> low,
                             std::span<const double> close, double atr);

    // What a quiet stretch leaves alone, in the terms `equity` values it: the cash and,
    // for the books most runs hold, the one position. Equity at a tradable close is then
    // `cash + value_as<kind>(close)`, bit for bit (a flat book's value is the empty sum, -0.0);
    // an `Other` book is valued bar by bar.
    struct QuietBook {
        enum class Kind : std::uint8_t { Flat, CashLong, CashShort, Margin, Other };
        Kind kind = Kind::Other;
        double cash = 0.0;
        double size = 0.0;
        double multiplier = 1.0;
        double entry = 0.0;      // the entry price
        double direction = 1.0;  // 1 long, -1 short

        // `marked_value`'s sum over the one position, in its order of operations, for a
        // double or for lanes of doubles.
        template <Kind K, class V>
        V value_as(V mark) const noexcept {
            if constexpr (K == Kind::CashLong) {
                return -0.0 + size * mark * multiplier;
            } else if constexpr (K == Kind::CashShort) {
                return -0.0 + size * multiplier * (2.0 * entry - mark);
            } else if constexpr (K == Kind::Margin) {
                return -0.0 + direction * (mark - entry) * size * multiplier;
            } else {
                return -V{};  // the empty sum
            }
        }

        // The equity at each of the `m` marks from `marks`, cash plus the position's value,
        // handed to `put` two bars at a time in lanes (`put(k, lanes)` for bars k and k + 1)
        // and the odd last one alone (`put(k, double)`). The kind is switched on once, around
        // the whole loop; false, with nothing handed over, for a book of no single position.
        template <class Put>
        bool equities(const double* marks, std::size_t m, Put&& put) const noexcept {
            switch (kind) {
                case Kind::CashLong: equities_as<Kind::CashLong>(marks, m, put); return true;
                case Kind::CashShort: equities_as<Kind::CashShort>(marks, m, put); return true;
                case Kind::Margin: equities_as<Kind::Margin>(marks, m, put); return true;
                case Kind::Flat:
                case Kind::Other: break;
            }
            return false;
        }

    private:
        template <Kind K, class Put>
        [[gnu::always_inline]] void equities_as(const double* marks, std::size_t m, Put& put) const noexcept {
            std::size_t k = 0;
            for (; k + 2 <= m; k += 2) put(k, cash + value_as<K>(metrics::lanes::load(marks + k)));
            if (k < m) put(k, cash + value_as<K>(marks[k]));
        }
    };
    QuietBook quiet_book() const noexcept;

    // Book updates step nothing and fill nothing. A quote leaves one level a side and,
    // with the queue model on, moves queue entries up to the new best price; a depth
    // snapshot replaces up to five levels a side and leaves the queues alone.
    void apply_quote(std::int64_t timestamp, double bid, double bid_size, double ask, double ask_size);
    void apply_depth(std::int64_t timestamp, std::span<const double> bid_prices, std::span<const double> bid_sizes,
                     std::span<const double> ask_prices, std::span<const double> ask_sizes);

    // ---- whole-book closes ------------------------------------------------------
    // Closes every open position at the bar's close, or the last tradable price when the
    // close is a gap (slippage and exit fees as for any close), with exit reason
    // Liquidation; returns the exited events in ledger order.
    std::vector<KernelEvent> liquidate_all(std::uint64_t idx, const domain::OhlcvBar& bar);
    // End of data: every open position closed at `price` (the last tradable price when
    // `price` is a gap) with no slippage and no exit fee, exit reason EndOfData; the
    // trades in ledger order, no events.
    std::vector<domain::TradeRecord> force_close_all(std::uint64_t idx, std::int64_t timestamp, double price);

    // ---- account view -------------------------------------------------------------
    double cash() const noexcept { return cash_; }
    void set_cash(double cash) noexcept { cash_ = cash; }
    // Entries in the order the positions locked them.
    const std::vector<LockedMargin>& locked_margin() const noexcept { return locked_; }
    // Sum of the locked entries in that order, from -0.0.
    double locked_margin_total() const noexcept;
    // Overwrites (or inserts) the entry of one position.
    void set_locked_margin(std::uint64_t position_id, double amount);
    // Cash account: cash; margin account: cash less every locked amount.
    double free_capital() const noexcept;
    // What an entry may spend: free capital, capped by the allotted capital when set.
    double available_capital() const noexcept;
    // Mark-to-market value of the account at `mark`: cash plus `marked_value(mark)`.
    double equity(double mark) const noexcept { return cash_ + marked_value(mark); }
    // What the open positions add to cash when marked at `mark`: their market value in a
    // cash account (a short at size x multiplier x (2 x entry - mark)), their open profit
    // in a margin account. A shared pool values each kernel's book with this. A `mark`
    // that is not a tradable price (a gap in the data) is replaced by `mark()`.
    double marked_value(double mark) const noexcept;
    // The last tradable price the kernel knows: the latest tradable close (or print) it
    // was stepped with, else the price its first position opened or was adopted at.
    std::optional<double> mark() const noexcept { return last_mark_; }
    // `price` when tradable, else the last tradable one (else `price` itself).
    double mark_or(double price) const noexcept {
        return domain::is_tradable_price(price) ? price : last_mark_.value_or(price);
    }
    // Maintenance requirement of the open positions valued at `mark`; 0.0 in a cash account.
    double margin_requirement(double mark) const noexcept;
    AccountType account_type() const noexcept { return account_type_; }
    double leverage() const noexcept { return leverage_; }

    // ---- flags and gates ----------------------------------------------------------
    bool margin_call() const noexcept { return margin_call_; }
    void set_margin_call(bool on) noexcept { margin_call_ = on; }
    bool drawdown_halt() const noexcept { return drawdown_halt_; }
    void set_drawdown_halt(bool on) noexcept { drawdown_halt_ = on; }
    std::uint64_t rejected_entries() const noexcept { return rejected_entries_; }
    // The portfolio-wide open-position count the max_positions gate compares against;
    // unset for a kernel that stands alone (the gate then counts 0).
    void set_portfolio_open_count(std::optional<std::uint64_t> count) noexcept { portfolio_open_count_ = count; }
    std::optional<std::uint64_t> max_positions() const noexcept { return max_positions_; }
    void set_max_positions(std::optional<std::uint64_t> limit) noexcept { max_positions_ = limit; }
    std::optional<double> max_drawdown_pct() const noexcept { return max_drawdown_pct_; }
    void set_max_drawdown_pct(std::optional<double> pct) noexcept { max_drawdown_pct_ = pct; }

    // ---- positions ----------------------------------------------------------------
    const Ledger& ledger() const noexcept { return ledger_; }
    bool in_position() const noexcept { return !ledger_.empty(); }
    std::vector<PositionSnapshot> positions() const;
    std::optional<PositionSnapshot> position() const;  // the earliest open position
    // Closed at the next step's price source price if still open then; unknown ids are
    // accepted and ignored there.
    void request_close(std::uint64_t position_id) { close_requests_.push_back(position_id); }
    // With an id: that position's level, failing "unknown position id {}"; without: the
    // earliest position's level, nothing when flat. None clears the level.
    base::Status<base::OwnError> set_stop_price(std::optional<double> price, std::optional<std::uint64_t> position_id);
    base::Status<base::OwnError> set_target_price(std::optional<double> price,
                                                  std::optional<std::uint64_t> position_id);
    void set_underlying_price(std::optional<double> price) noexcept { underlying_price_ = price; }
    std::optional<double> underlying_price() const noexcept { return underlying_price_; }
    // Seeds a long position already held elsewhere: no order, fill, fee or trade. Cash
    // accounts pay the notional from cash; margin accounts must be fully funded (rate >= 1)
    // and lock rate x notional. Returns the new position id.
    base::Result<std::uint64_t, base::OwnError> adopt_position(std::int64_t timestamp, double price, double size);

    // ---- ledger operations (every fill ends in one of these) ----------------------
    // `reference` is the bar price the fill takes before slippage; `volume` feeds the
    // volume-scaled slippage kind.
    //
    // Opens a position: `units` when given, else the capital fraction `size_frac` (all of
    // the available capital when absent) sized through the fee rate and margin rate, then
    // rounded to the lot size and size increment. Explicit levels are used as given; rule
    // levels come from the kernel's stop and target rules (snapped to the price grid).
    // Rejections and refusals (a netting ledger already holding a position) change nothing.
    OpenOutcome open_position(const EntryRequest& request);
    // Adds `quantity` (rounded as for an opening) at the averaged entry price; unless a
    // keep flag is set the position's stop and target move with the entry. Nothing when
    // the id is unknown, the rounded quantity is not positive or the cost does not fit.
    std::optional<AddOutcome> add_to_position(std::uint64_t position_id, bool keep_stop, bool keep_target,
                                              double volume, double reference, double quantity);
    // Closes the whole position with the fee model's exit fee; nothing for an unknown id.
    std::optional<domain::TradeRecord> close_position_by_id(std::uint64_t idx, std::int64_t timestamp,
                                                            std::uint64_t position_id, domain::ExitReason reason,
                                                            double volume, double reference);
    // Closes `quantity` units (the whole position when it is not below the size) with
    // exit reason Order; the closed part carries its share of the entry fees.
    std::optional<domain::TradeRecord> close_by_order(std::uint64_t idx, std::int64_t timestamp,
                                                      std::uint64_t position_id, double volume, double quantity,
                                                      double reference);

    // ---- orders ---------------------------------------------------------------------
    // Parses the caller's values (the instrument's price increment converts tick
    // offsets) and submits the order; the new order id or the request's error message.
    base::Result<std::uint64_t, base::OwnError> submit_order(const OrderRequestArgs& args);
    // Appends a validated request as a new record and returns its id (ids start at 0 and
    // equal the record's place in `orders()`). Orders other than plain market orders are
    // accepted at once unless they wait for a parent.
    std::uint64_t submit_order(OrderRequest request);
    // True when a working order was canceled (order_canceled queued with `idx`).
    bool cancel_order(std::uint64_t idx, std::uint64_t order_id);
    // Cancels every working order; their ids in submission order.
    std::vector<std::uint64_t> cancel_all_orders(std::uint64_t idx);
    std::vector<std::uint64_t> open_order_ids() const;
    // Replaces a working order's prices and/or size; false for an unknown or finished id
    // or a price the kind does not carry. Sizes and prices are checked as at submission
    // (an error changes nothing); no event is produced.
    base::Result<bool, base::OwnError> modify_order(std::uint64_t order_id, std::optional<double> units,
                                                    std::optional<double> size_frac, std::optional<double> limit_price,
                                                    std::optional<double> trigger_price);
    // One one-cancels-other group named after the smallest listed id; unknown ids skipped.
    void link_oco(std::span<const std::uint64_t> order_ids);
    // Registers a schedule (algo_started queued with `submitted_idx`); its algo id.
    base::Result<std::uint64_t, base::OwnError> submit_twap(const TwapArgs& args);
    // Stops an active schedule and cancels its working slices; false when unknown or stopped.
    bool cancel_twap(std::uint64_t algo_id, std::uint64_t idx);
    const std::vector<OrderRecord>& orders() const noexcept { return orders_; }
    const OrderRecord* find_order(std::uint64_t order_id) const noexcept {
        return order_id < orders_.size() ? &orders_[order_id] : nullptr;
    }
    const std::vector<TwapSchedule>& twap_schedules() const noexcept { return twaps_; }
    const DepthBook& depth_book() const noexcept { return book_; }
    const OrderQueues& order_queues() const noexcept { return queues_; }
    // The fill generator's state: it moves only when a fill probability is drawn.
    std::uint64_t fill_random_state() const noexcept { return fill_random_.state(); }

    // Events produced between steps come out at the head of the next step.
    void queue_event(KernelEvent event) { pending_.push_back(std::move(event)); }
    const std::vector<KernelEvent>& pending_events() const noexcept { return pending_; }
    // Hands over the queued events without stepping (book updates report them this way).
    std::vector<KernelEvent> take_pending_events();

    // ---- configuration read-back --------------------------------------------------
    const KernelConfig& config() const noexcept { return cfg_; }
    domain::FillTiming fill_timing() const noexcept { return fill_timing_; }
    PriceSource price_source() const noexcept { return cfg_.price_source; }
    const std::optional<domain::StopRule>& stop_rule() const noexcept { return stop_rule_; }
    const std::optional<domain::TargetRule>& target_rule() const noexcept { return target_rule_; }
    std::optional<double> lot_size() const noexcept { return lot_size_; }
    std::int64_t order_latency_ns() const noexcept { return order_latency_ns_; }
    double current_atr() const noexcept { return atr_; }
    bool last_step_was_print() const noexcept { return last_print_; }
    // The multiplier fills and margins are valued with: the instrument's when above 0.
    double effective_multiplier() const noexcept;

private:
    // The deferred-signal slot of next-bar-open timing.
    struct DeferredSignal {
        bool has_entry = false;
        bool exit = false;
        domain::BarSignal signal;
        bool empty() const noexcept { return !has_entry && !exit; }
    };

    // Step phases, in the order `step` runs them.
    bool expiry_due(const domain::OhlcvBar& bar) const noexcept {
        return cfg_.instrument && cfg_.instrument->expiration_ns && bar.timestamp >= *cfg_.instrument->expiration_ns;
    }
    void settle_expired(std::uint64_t idx, const domain::OhlcvBar& bar, const domain::BarSignal& signal);
    void run_deferred_signal(std::uint64_t idx, const domain::OhlcvBar& bar);
    void evaluate_exits(std::uint64_t idx, const domain::OhlcvBar& bar, bool exit_now);
    // Whether evaluate_exits could do anything: a signal exit, a trailing rule, or a stop
    // or target level on some position.
    bool exits_possible(bool exit_now) const noexcept {
        if (exit_now || (stop_rule_ && stop_rule_->kind == domain::StopRule::Kind::Trailing)) return true;
        for (const auto& p : ledger_.positions()) {
            if (p.stop_price || p.target_price) return true;
        }
        return false;
    }
    // The queued exits tried again at this bar's price: the deferred exits that met a bar
    // without a tradable price, or the closes requested between steps.
    void drain_exits(std::uint64_t idx, const domain::OhlcvBar& bar, std::vector<std::uint64_t>& queue);
    void check_margin(std::uint64_t idx, const domain::OhlcvBar& bar);
    // True when the step must end here (refusals that stop the rest of the event).
    bool run_signal_entry(std::uint64_t idx, const domain::OhlcvBar& bar, const domain::BarSignal& signal);

    // The entry gate; the refusal (already counted and pushed) or nothing.
    std::optional<EntryRejectReason> entry_gate(const domain::OhlcvBar& bar);
    void enter_from_signal(std::uint64_t idx, const domain::OhlcvBar& bar, const domain::BarSignal& signal);
    // Closes at the price source price; a position the bar gives no tradable price for
    // is queued on `waiting` to close on a later step instead.
    void exit_at_price_source(std::uint64_t idx, const domain::OhlcvBar& bar, std::uint64_t position_id,
                              std::vector<std::uint64_t>& waiting);
    // Reports the trade as exited; false when there was none (no tradable price).
    bool push_exit(std::uint64_t idx, std::optional<domain::TradeRecord> trade);
    void liquidate_into(std::uint64_t idx, const domain::OhlcvBar& bar, std::vector<KernelEvent>& out);

    // Seams of the order engine: working orders, TWAP schedules and due market orders.
    bool has_order_work() const noexcept { return !orders_.empty() || !twaps_.empty(); }
    // Nothing for a step to do: flat, nothing queued, deferred or requested, no orders or
    // schedules, no expiry, and a signal that neither enters nor (deferred) exits.
    bool idle_step(const domain::OhlcvBar& bar, const domain::BarSignal& signal, bool is_print) const noexcept {
        return ledger_.empty() && pending_.empty() && deferred_.empty() && waiting_exits_.empty() &&
               close_requests_.empty() && !has_order_work() && !signal.entry &&
               !(signal.exit && fill_timing_ == domain::FillTiming::NextBarOpen && !is_print) && !expiry_due(bar);
    }
    void cancel_working_orders_at_expiry(std::uint64_t idx);
    void walk_working_orders(std::uint64_t idx, const domain::OhlcvBar& bar);
    void run_twap_slices(std::uint64_t idx, const domain::OhlcvBar& bar);
    void fill_due_market_orders(std::uint64_t idx, const domain::OhlcvBar& bar);

    // Carrying out the walk's decisions: one action, a fill through the fill models and
    // the ledger, and the bookkeeping of a fill on its order.
    void apply_order_action(std::uint64_t idx, const domain::OhlcvBar& bar, const OrderAction& action);
    void fill_order(std::uint64_t idx, const domain::OhlcvBar& bar, const OrderAction& action);
    void fill_closing(std::uint64_t idx, const domain::OhlcvBar& bar, OrderRecord& o, double price);
    void fill_opening(std::uint64_t idx, const domain::OhlcvBar& bar, OrderRecord& o, double price);
    void apply_fill(std::uint64_t idx, OrderRecord& o, KernelEvent ledger_event, double price, double quantity,
                    double completion);
    // `quantity` cut to the print's size in partial-fill mode; nothing when a fill-or-kill
    // order was cut (it is canceled instead).
    std::optional<double> fill_quantity(std::uint64_t idx, const domain::OhlcvBar& bar, OrderRecord& o,
                                        double quantity);
    // The position this order (or, under netting, an earlier slice of its schedule) opened.
    Position* position_of_order(const OrderRecord& o) noexcept;
    void reject_order(std::uint64_t idx, OrderRecord& o, std::string_view reason, bool counts_as_entry);
    // Accepts the children still waiting on `parent`; with `filled`, a child sized in
    // units is cut to that many (a parent that ended part-filled protects what it filled).
    void release_children(std::uint64_t idx, const OrderRecord& parent, std::optional<double> filled,
                          std::vector<KernelEvent>& out);
    void release_children_of_partial(std::uint64_t idx, const OrderRecord& parent, std::vector<KernelEvent>& out);
    // Cancels a working order into the current event list and drops its queue entry.
    void cancel_linked_order(std::uint64_t idx, std::uint64_t order_id);
    bool cancel_into(std::uint64_t idx, std::uint64_t order_id, std::vector<KernelEvent>& out);
    // Where events go: the step's list while stepping, the queue for the next step otherwise.
    std::vector<KernelEvent>& event_sink() noexcept { return stepping_ ? events_ : pending_; }

    // Sets one of the fill's slots (`fill_cap_`, `fill_market_`) for the length of one fill.
    class FillSlotScope {
    public:
        FillSlotScope(std::optional<double>& slot, std::optional<double> value) noexcept : slot_(slot) {
            slot_ = value;
        }
        ~FillSlotScope() { slot_.reset(); }
        FillSlotScope(const FillSlotScope&) = delete;
        FillSlotScope& operator=(const FillSlotScope&) = delete;

    private:
        std::optional<double>& slot_;
    };

    // Pricing and booking helpers shared by the ledger operations. A fill under a limit
    // (`fill_cap_`) is slipped and then kept at the limit or better.
    //
    // The market price of a fill the ledger prices from `reference`: the reference itself,
    // or the price the caller slipped it from. A position's extremes take this price, never
    // a slipped one, which the market did not trade.
    double market_price(double reference) const noexcept { return fill_market_.value_or(reference); }
    double slipped(double reference, double volume, bool buy) const noexcept;
    domain::FillCharge fill_charge(double price, double quantity, bool is_buy) const noexcept;
    double round_quantity(double quantity) const noexcept;
    // The initial margin rate of a margin account, and whether it came from the instrument.
    double margin_rate(bool* from_instrument) const noexcept;
    // Per-unit deposit of a short option with modelled span and exposure margins.
    double option_span_per_unit() const noexcept;
    bool uses_span_margin(int direction) const noexcept;
    // What the account sets aside for `q` units worth `value` (price x multiplier x q):
    // the whole value in a cash account, the span and exposure margin of a short option,
    // else the value at the initial margin `rate`.
    double deposit_for(double value, double q, bool span, double rate) const noexcept;
    bool affordable(double cost, double available) const noexcept;
    // Quantity that all-in (or fractional) capital buys at `price` under the fee model.
    double size_for_capital(double capital, double price, int direction) const noexcept;
    // The phases of open_position: the quantity asked for at the fill price, the levels
    // the position starts with, and the booking of an accepted fill.
    struct EntryLevels {
        std::optional<double> stop;
        std::optional<double> target;
    };
    struct EntryFill {
        int direction = 1;
        double price = 0.0;     // after slippage
        double quantity = 0.0;  // rounded, finite and positive
        double value = 0.0;     // price x multiplier x quantity
        double deposit = 0.0;   // what the account sets aside for it
        domain::FillCharge charge;
    };
    double entry_quantity(const EntryRequest& request, double price, int direction, double available) const noexcept;
    EntryLevels entry_levels(const EntryRequest& request, double price, int direction) const noexcept;
    std::uint64_t book_opening(const EntryRequest& request, const EntryFill& fill, const EntryLevels& levels);
    // Books a close on the account: `fraction` of the position's size (1.0 = whole).
    void book_close(std::uint64_t position_id, const domain::TradeRecord& trade, double fraction);
    // Removes the position at `exit_price` with `exit_fee` and books it, its extremes first
    // reaching `market`, the market price of the exit; the trade.
    std::optional<domain::TradeRecord> close_whole(std::uint64_t position_id, const CloseRequest& req, double market);
    void remove_locked(std::uint64_t position_id) noexcept;
    LockedMargin* find_locked(std::uint64_t position_id) noexcept;
    std::optional<double> rule_stop(double entry, int direction, double atr) const noexcept;
    std::optional<double> rule_target(double entry, int direction, double atr,
                                      std::optional<double> rule_stop_level) const noexcept;

    KernelConfig cfg_;
    domain::FillTiming fill_timing_ = domain::FillTiming::SameBarClose;
    std::int64_t order_latency_ns_ = 0;
    std::optional<domain::StopRule> stop_rule_;
    std::optional<domain::TargetRule> target_rule_;
    std::optional<double> lot_size_;
    std::optional<double> alloted_capital_;
    std::optional<std::uint64_t> max_positions_;
    std::optional<double> max_drawdown_pct_;
    AccountType account_type_ = AccountType::Cash;
    double leverage_ = 1.0;
    std::optional<double> underlying_price_;
    std::optional<double> last_mark_;
    std::optional<double> fill_cap_;  // set only while an order of a limit kind fills
    // Set only while a fill goes through the ledger at a price its caller already slipped
    // (an order's tick slippage, a target's limit slippage): the price it slipped from.
    std::optional<double> fill_market_;

    double cash_ = 0.0;
    std::vector<LockedMargin> locked_;
    bool margin_call_ = false;
    bool drawdown_halt_ = false;
    std::uint64_t rejected_entries_ = 0;
    std::optional<std::uint64_t> portfolio_open_count_;

    Ledger ledger_;
    std::vector<std::uint64_t> close_requests_;
    // Positions whose deferred signal exit met a bar without a tradable price: they leave
    // at the next bar's price, as exits due on that bar, before its entry (a print, which
    // has no open, takes them with the requested closes).
    std::vector<std::uint64_t> waiting_exits_;

    std::vector<OrderRecord> orders_;
    std::vector<TwapSchedule> twaps_;
    std::uint64_t next_algo_id_ = 0;
    DepthBook book_;
    OrderQueues queues_;
    FillRandom fill_random_;
    // Reused by the walk so a step allocates nothing once they have grown.
    std::vector<OrderStatus> status_snapshot_;
    std::vector<OrderAction> expiry_actions_;
    std::vector<OrderAction> order_actions_;
    std::vector<std::uint64_t> due_ids_;
    bool stepping_ = false;

    std::vector<KernelEvent> pending_;
    std::vector<KernelEvent> events_;
    std::vector<std::uint64_t> scratch_ids_;
    DeferredSignal deferred_;
    double atr_ = 0.0;
    bool last_print_ = false;
};

}  // namespace tarnwick::engine
