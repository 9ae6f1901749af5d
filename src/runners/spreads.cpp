#include "runners/spreads.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <unordered_set>
#include <utility>

#include "base/flag_bytes.h"
#include "base/format.h"
#include "base/pool.h"
#include "base/saturate.h"
#include "base/text.h"
#include "metrics/annualization.h"
#include "metrics/metrics.h"
#include "metrics/reduced_metrics.h"
#include "runners/column_lengths.h"
#include "runners/tradable_price.h"

namespace tarnwick::runners::spreads {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::ascii_lower;
using base::err;
using base::sat_add;
using domain::BacktestConfig;
using domain::ExitReason;
using domain::FeeBreakdown;
using domain::FillCharge;
using domain::FillTiming;
using domain::TradeRecord;
using domain::is_tradable_price;
using domain::parse_option_right;
using domain::resolve_fee_model;
using engine::RunOutput;
using engine::drawdown_pct;

namespace {

struct SpreadName {
    SpreadType type;
    std::string_view name;
    std::string_view compact;  // the name without its underscore; empty when it has none
};

constexpr std::array<SpreadName, 14> kSpreadNames = {{
    {SpreadType::Straddle, "straddle", ""},
    {SpreadType::Strangle, "strangle", ""},
    {SpreadType::VerticalCall, "vertical_call", "verticalcall"},
    {SpreadType::VerticalPut, "vertical_put", "verticalput"},
    {SpreadType::IronCondor, "iron_condor", "ironcondor"},
    {SpreadType::IronButterfly, "iron_butterfly", "ironbutterfly"},
    {SpreadType::ButterflyCall, "butterfly_call", "butterflycall"},
    {SpreadType::ButterflyPut, "butterfly_put", "butterflyput"},
    {SpreadType::Calendar, "calendar", ""},
    {SpreadType::Diagonal, "diagonal", ""},
    {SpreadType::LongCall, "long_call", "longcall"},
    {SpreadType::LongPut, "long_put", "longput"},
    {SpreadType::NakedCall, "naked_call", "nakedcall"},
    {SpreadType::NakedPut, "naked_put", "nakedput"},
}};

// Floor division: local times before the epoch still fall into the right day.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

double units_of(std::int32_t quantity, std::uint64_t lot_size) noexcept {
    return std::fabs(static_cast<double>(quantity)) * static_cast<double>(lot_size);
}

// (current - entry) x quantity x lot size while live; a settled leg has realised its pnl.
double live_pnl(const SpreadLegState& leg) noexcept {
    if (leg.settled) return 0.0;
    return (leg.current_premium - leg.entry_premium) * static_cast<double>(leg.quantity) *
           static_cast<double>(leg.lot_size);
}

double open_pnl(std::span<const SpreadLegState> legs) noexcept {
    double sum = 0.0;
    for (const SpreadLegState& leg : legs) sum += live_pnl(leg);
    return sum;
}

bool any_live(std::span<const SpreadLegState> legs) noexcept {
    for (const SpreadLegState& leg : legs) {
        if (!leg.settled) return true;
    }
    return false;
}

std::optional<FeeBreakdown> combined(const std::optional<FeeBreakdown>& a, const std::optional<FeeBreakdown>& b) {
    if (a && b) return *a + *b;
    return a ? a : b;
}

bool shapes_agree(const SpreadRunConfig& config, const SpreadMarket& market) noexcept {
    const std::size_t n = market.timestamps.size();
    if (market.legs_open_premiums) {
        if (market.legs_open_premiums->size() != market.legs_premiums.size()) return false;
        for (const auto& series : *market.legs_open_premiums) {
            if (series.size() != n) return false;
        }
    }
    if (market.legs_premiums.size() != config.legs.size()) return false;
    for (const auto& series : market.legs_premiums) {
        if (series.size() != n) return false;
    }
    if (config.leg_expiries && config.leg_expiries->size() != config.legs.size()) return false;
    // Signals are read on every bar; longer arrays are fine, shorter ones cannot be read.
    return market.entries.size() >= n && market.exits.size() >= n;
}

RunOutput flat_result(const SpreadRunConfig& config, std::size_t bars) {
    RunOutput out;
    out.metrics = metrics::zeroed_metrics();
    out.equity_curve.assign(bars, config.config.initial_capital);
    out.drawdown_curve.assign(bars, 0.0);
    out.returns.assign(bars, 0.0);
    return out;
}

// The run's closed trades, gathered in a buffer the thread keeps from run to run and
// copied out once, at their count, when the run ends. Grown from empty in every run, the
// list would be allocated and copied a dozen times, its larger steps in pages fresh from
// the system, which many runs at once on the pool fault in side by side. The buffer is
// let go when a run leaves it holding more than a few thousand trades. One run at a time
// per thread: a run calls nothing that could start another on the same thread.
class TradeScratch {
public:
    TradeScratch() : list_(buffer()) { list_.clear(); }
    ~TradeScratch() {
        constexpr std::size_t kKeptTrades = 4096;
        list_.clear();
        if (list_.capacity() > kKeptTrades) std::vector<TradeRecord>().swap(list_);
    }
    TradeScratch(const TradeScratch&) = delete;
    TradeScratch& operator=(const TradeScratch&) = delete;

    void push_back(TradeRecord&& t) { list_.push_back(std::move(t)); }
    void clear() noexcept { list_.clear(); }
    auto begin() noexcept { return list_.begin(); }
    auto end() noexcept { return list_.end(); }

private:
    static std::vector<TradeRecord>& buffer() {
        thread_local std::vector<TradeRecord> kept;
        return kept;
    }
    std::vector<TradeRecord>& list_;
};

// The open position and the run's running figures.
class SpreadRun {
public:
    SpreadRun(const SpreadRunConfig& config, const SpreadMarket& market)
        : cfg_(config),
          market_(market),
          next_open_(config.config.effective_fill_timing() == FillTiming::NextBarOpen),
          cash_(config.config.initial_capital),
          previous_(cash_),
          peak_(cash_) {
        legs_.reserve(config.legs.size());
        // Every bar gets exactly one sample, written in place (the curves' allocator leaves
        // the elements unwritten until then).
        const std::size_t n = market.timestamps.size();
        out_.equity_curve.resize(n);
        out_.drawdown_curve.resize(n);
        out_.returns.resize(n);
        flags_ = squareoff_flags(market.timestamps, config.config);
    }

    RunOutput finish() && {
        const std::size_t n = market_.timestamps.size();
        for (std::size_t i = 0; i < n;) {
            // Flat bars without an entry signal open nothing and sample the same equity: from
            // the second of them on, every sample repeats the one before.
            if (!open_) {
                const std::size_t next = next_entry_bar(i);
                if (next > i + 2) {
                    step(i);
                    step(i + 1);
                    repeat_last_sample(next - i - 2);
                    i = next;
                    continue;
                }
            }
            step(i);
            ++i;
        }
        if (open_) close_at_end(n - 1);
        out_.trades.assign(std::make_move_iterator(trades_.begin()), std::make_move_iterator(trades_.end()));
        trades_.clear();
        out_.metrics = metrics::compute_metrics(out_.equity_curve, out_.drawdown_curve, out_.returns,
                                                market_.timestamps, out_.trades, cfg_.config);
        return std::move(out_);
    }

private:
    // Under next_bar_open the caller's signal of the previous bar acts on this one.
    bool signal(std::span<const std::uint8_t> raw, std::size_t i) const noexcept {
        if (next_open_) return i > 0 && raw[i - 1] != 0;
        return raw[i] != 0;
    }
    bool flagged(std::size_t i) const noexcept { return !flags_.empty() && flags_[i] != 0; }
    // The first bar at or after `from` on which an entry signal acts, or the bar count.
    std::size_t next_entry_bar(std::size_t from) const noexcept {
        const std::size_t n = market_.timestamps.size();
        if (!next_open_) return base::flag_bytes::first_set(market_.entries, from, n);
        if (n == 0) return n;
        const std::size_t raw = base::flag_bytes::first_set(market_.entries, from == 0 ? 0 : from - 1, n - 1);
        return raw == n - 1 ? n : raw + 1;
    }
    bool opens_at_open_premiums() const noexcept { return next_open_ && market_.legs_open_premiums.has_value(); }

    bool any_expired(std::size_t i) const noexcept {
        if (!cfg_.leg_expiries) return false;
        for (const std::int64_t expiry : *cfg_.leg_expiries) {
            if (expiry <= market_.timestamps[i]) return true;
        }
        return false;
    }

    // The premium of leg `l` at bar `i`: at the bar's open or its close.
    double premium(std::size_t l, std::size_t i, bool at_open) const noexcept {
        return at_open ? (*market_.legs_open_premiums)[l][i] : market_.legs_premiums[l][i];
    }

    // The position trades as a whole: a fill needs a tradable premium on every leg it
    // touches (every leg at an entry, the live legs at an exit).
    bool fillable(std::size_t i, bool at_open, bool live_only) const noexcept {
        for (std::size_t l = 0; l < cfg_.legs.size(); ++l) {
            if (live_only && legs_[l].settled) continue;
            if (!is_tradable_price(premium(l, i, at_open))) return false;
        }
        return true;
    }

    void step(std::size_t i) {
        double pnl = 0.0;
        if (open_) {
            // A leg without a tradable premium keeps its last one as its mark.
            for (std::size_t l = 0; l < legs_.size(); ++l) {
                const double p = market_.legs_premiums[l][i];
                if (!legs_[l].settled && is_tradable_price(p)) legs_[l].current_premium = p;
            }
            settle_expired(i);
            pnl = open_pnl(legs_);
            std::optional<ExitReason> reason = exit_reason(i, pnl);
            // An exit that fell due on a bar without tradable premiums still stands.
            if (pending_exit_ && reason != ExitReason::Settlement) reason = pending_exit_;
            if (reason == ExitReason::Settlement) {
                close(i, *reason, pnl);  // no fill: the legs settled at their marks
                pnl = 0.0;
            } else if (reason) {
                const bool at_open = *reason == ExitReason::Signal && opens_at_open_premiums();
                if (fillable(i, at_open, true)) {
                    if (at_open) {
                        for (std::size_t l = 0; l < legs_.size(); ++l) {
                            if (!legs_[l].settled) legs_[l].current_premium = premium(l, i, true);
                        }
                        pnl = open_pnl(legs_);
                    }
                    close(i, *reason, pnl);
                    pnl = 0.0;
                } else {
                    pending_exit_ = reason;
                }
            }
        }
        // A bar can close one position and open the next. An entry on a bar where a leg has
        // no tradable premium opens nothing; the signal is not carried.
        if (!open_ && signal(market_.entries, i) && !any_expired(i) && !flagged(i) &&
            fillable(i, opens_at_open_premiums(), false)) {
            enter(i);
            pnl = 0.0;  // every leg stands at its entry premium
        }
        sample(cash_ + pnl);
    }

    void settle_expired(std::size_t i) {
        if (!cfg_.leg_expiries) return;
        for (std::size_t l = 0; l < legs_.size(); ++l) {
            SpreadLegState& leg = legs_[l];
            if (leg.settled || (*cfg_.leg_expiries)[l] > market_.timestamps[i]) continue;
            const double pnl = live_pnl(leg);
            cash_ += pnl;
            realised_ += pnl;
            leg.settled = i;
        }
    }

    std::optional<ExitReason> exit_reason(std::size_t i, double pnl) const noexcept {
        if (!any_live(legs_)) return ExitReason::Settlement;
        if (signal(market_.exits, i)) return ExitReason::Signal;
        if (flagged(i)) return ExitReason::Squareoff;
        if (cfg_.max_loss && pnl < -*cfg_.max_loss) return ExitReason::StopLoss;
        if (cfg_.target_profit && pnl > *cfg_.target_profit) return ExitReason::TakeProfit;
        return std::nullopt;
    }

    void enter(std::size_t i) {
        const bool at_open = opens_at_open_premiums();
        legs_.clear();
        entry_net_ = 0.0;
        for (std::size_t l = 0; l < cfg_.legs.size(); ++l) {
            const SpreadLegConfig& leg = cfg_.legs[l];
            const double p = premium(l, i, at_open);
            legs_.push_back(SpreadLegState{std::nullopt, leg.strike, leg.lot_size, leg.quantity, leg.right, p, i, p});
            entry_net_ += static_cast<double>(leg.quantity) * p * static_cast<double>(leg.lot_size);
        }
        const FillCharge charge = segment_cost_breakdown(cfg_, legs_, true);
        entry_fees_ = charge.total;
        entry_breakdown_ = charge.breakdown;
        cash_ -= entry_fees_;
        realised_ = 0.0;
        entry_idx_ = i;
        entry_time_ = market_.timestamps[i];
        open_ = true;
    }

    void close(std::size_t i, ExitReason reason, double pnl) {
        FillCharge exit_charge;
        if (reason != ExitReason::Settlement) exit_charge = segment_cost_breakdown(cfg_, legs_, false);
        TradeRecord t;
        t.id = next_id_++;
        t.symbol = "SPREAD";
        t.entry_idx = entry_idx_;
        t.exit_idx = i;
        t.entry_time = entry_time_;
        t.exit_time = market_.timestamps[i];
        t.direction = 1;
        t.size = 1.0;
        t.entry_price = entry_net_;
        double exit_value = 0.0;
        for (const SpreadLegState& leg : legs_) {
            exit_value += static_cast<double>(leg.quantity) * leg.current_premium * static_cast<double>(leg.lot_size);
        }
        t.exit_price = exit_value;
        t.entry_fees = entry_fees_;
        t.exit_fees = exit_charge.total;
        t.fees = entry_fees_ + exit_charge.total;
        t.fee_breakdown = combined(entry_breakdown_, exit_charge.breakdown);
        t.pnl = realised_ + pnl - t.fees;
        t.return_pct = entry_net_ == 0.0 ? 0.0 : t.pnl / std::fabs(entry_net_) * 100.0;
        t.exit_reason = reason;
        trades_.push_back(std::move(t));
        cash_ += pnl - exit_charge.total;
        open_ = false;
        pending_exit_.reset();
    }

    // The position still open after the last bar closes there at its last marks; the
    // last sample then shows the cash after that close.
    void close_at_end(std::size_t last) {
        close(last, ExitReason::EndOfData, open_pnl(legs_));
        const double peak_before = peak_;
        out_.equity_curve[last] = cash_;
        out_.drawdown_curve[last] = drawdown_pct(std::max(peak_before, cash_), cash_);
    }

    // Needs a sample before it (the caller steps two bars first).
    void repeat_last_sample(std::size_t count) {
        const std::size_t at = samples_;
        std::fill_n(out_.equity_curve.begin() + static_cast<std::ptrdiff_t>(at), count, out_.equity_curve[at - 1]);
        std::fill_n(out_.drawdown_curve.begin() + static_cast<std::ptrdiff_t>(at), count, out_.drawdown_curve[at - 1]);
        std::fill_n(out_.returns.begin() + static_cast<std::ptrdiff_t>(at), count, out_.returns[at - 1]);
        samples_ += count;
    }

    void sample(double equity) {
        out_.returns[samples_] = previous_ > 0.0 ? (equity - previous_) / previous_ : 0.0;
        peak_ = std::max(peak_, equity);
        out_.drawdown_curve[samples_] = drawdown_pct(peak_, equity);
        out_.equity_curve[samples_] = equity;
        ++samples_;
        previous_ = equity;
    }

    const SpreadRunConfig& cfg_;
    const SpreadMarket& market_;
    const bool next_open_;
    std::vector<std::uint8_t> flags_;
    RunOutput out_;
    std::size_t samples_ = 0;  // bars sampled so far
    TradeScratch trades_;
    double cash_;
    double previous_;
    double peak_;
    std::uint64_t next_id_ = 1;

    bool open_ = false;
    std::optional<ExitReason> pending_exit_;  // due on a bar where a live leg had no tradable premium
    std::vector<SpreadLegState> legs_;
    std::uint64_t entry_idx_ = 0;
    std::int64_t entry_time_ = 0;
    double entry_net_ = 0.0;  // positive for a net debit, negative for a net credit
    double entry_fees_ = 0.0;
    std::optional<FeeBreakdown> entry_breakdown_;
    double realised_ = 0.0;  // settled legs' pnl, already in cash
};

}  // namespace

std::string_view name(SpreadType type) noexcept {
    switch (type) {
        case SpreadType::Straddle:
        case SpreadType::Strangle:
        case SpreadType::VerticalCall:
        case SpreadType::VerticalPut:
        case SpreadType::IronCondor:
        case SpreadType::IronButterfly:
        case SpreadType::ButterflyCall:
        case SpreadType::ButterflyPut:
        case SpreadType::Calendar:
        case SpreadType::Diagonal:
        case SpreadType::LongCall:
        case SpreadType::LongPut:
        case SpreadType::NakedCall:
        case SpreadType::NakedPut:
            return kSpreadNames[static_cast<std::size_t>(type)].name;
        case SpreadType::Custom: return "custom";
    }
    return "custom";
}

SpreadType parse_spread_type(std::string_view text) {
    const std::string lower = ascii_lower(text);
    for (const SpreadName& s : kSpreadNames) {
        if (lower == s.name || (!s.compact.empty() && lower == s.compact)) return s.type;
    }
    return SpreadType::Custom;
}

Result<SpreadLegConfig, OwnError> parse_leg(const SpreadLegInput& leg, LegMessage message) {
    // Accepts exactly c, ce, call, p, pe, put in any case, as the option type texts go.
    const auto right = parse_option_right(leg.option_type);
    if (!right.ok()) {
        const char* tmpl = message == LegMessage::Single
                               ? "unknown option type {} for the leg at strike {}; expected one of CE/CALL/C or "
                                 "PE/PUT/P (case-insensitive). Defaulting would price a put as a call."
                               : "unknown option type {} for the leg at strike {}; expected CE/CALL/C or PE/PUT/P "
                                 "(case-insensitive).";
        return err(OwnError{base::fmt::format(tmpl, leg.option_type, leg.strike)});
    }
    return SpreadLegConfig{right.value(), leg.strike, leg.quantity, leg.lot_size};
}

Result<std::vector<SpreadLegConfig>, OwnError> parse_legs(const std::vector<SpreadLegInput>& legs,
                                                          LegMessage message) {
    std::vector<SpreadLegConfig> out;
    out.reserve(legs.size());
    for (const SpreadLegInput& leg : legs) {
        auto parsed = parse_leg(leg, message);
        if (!parsed.ok()) return err(std::move(parsed).error());
        out.push_back(parsed.value());
    }
    return out;
}

Status<OwnError> check_open_premiums(std::span<const std::vector<double>> premiums,
                                     std::span<const std::vector<double>> open_premiums) {
    bool mirrors = open_premiums.size() == premiums.size();
    for (std::size_t l = 0; mirrors && l < premiums.size(); ++l) {
        mirrors = open_premiums[l].size() == premiums[l].size();
    }
    if (!mirrors) {
        return err(OwnError{"legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same "
                            "number of bars per leg"});
    }
    return Unit{};
}

Status<OwnError> check_expiry_count(std::size_t expiries, std::size_t legs) {
    if (expiries != legs) {
        return err(
            OwnError{base::fmt::format("leg_expiry_timestamps has {} entries but there are {} legs; each leg needs "
                                       "its own expiry, matched by position. Guessing would settle the wrong leg.",
                                       expiries, legs)});
    }
    return Unit{};
}

Status<OwnError> check_market(std::size_t legs, const SpreadMarket& market) {
    const std::size_t n = market.timestamps.size();
    if (market.legs_premiums.size() != legs) {
        return err(OwnError{
            base::fmt::format("legs_premiums has {} series, leg_configs has {}", market.legs_premiums.size(), legs)});
    }
    for (std::size_t l = 0; l < market.legs_premiums.size(); ++l) {
        const std::size_t len = market.legs_premiums[l].size();
        if (len != n) return err(length_mismatch(base::fmt::format("legs_premiums[{}]", l), len, "timestamps", n));
    }
    if (market.legs_open_premiums) {
        if (auto st = check_open_premiums(market.legs_premiums, *market.legs_open_premiums); !st.ok()) return st;
    }
    return same_lengths({{"entries", market.entries.size()}, {"exits", market.exits.size()}}, "timestamps", n);
}

std::vector<std::uint8_t> squareoff_flags(std::span<const std::int64_t> timestamps, const BacktestConfig& config) {
    std::vector<std::uint8_t> flags;
    if (!config.squareoff_time_minutes) return flags;
    const std::int64_t squareoff = *config.squareoff_time_minutes;
    flags.assign(timestamps.size(), 0);
    std::unordered_set<std::int64_t> flagged_days;
    for (std::size_t i = 0; i < timestamps.size(); ++i) {
        const std::int64_t local = sat_add(timestamps[i], config.session_tz_offset_ns);
        const std::int64_t seconds = floor_div(local, 1'000'000'000);
        const std::int64_t day = floor_div(seconds, 86'400);
        const std::int64_t minute = (seconds - day * 86'400) / 60;
        if (minute >= squareoff && flagged_days.insert(day).second) flags[i] = 1;
    }
    return flags;
}

FillCharge segment_cost_breakdown(const SpreadRunConfig& config, std::span<const SpreadLegState> legs,
                                  bool entering) {
    FillCharge total;
    for (const SpreadLegState& leg : legs) {
        if (leg.quantity == 0 || (!entering && leg.settled)) continue;
        const double price = std::fabs(entering ? leg.entry_premium : leg.current_premium);
        const bool is_buy = entering ? leg.quantity > 0 : leg.quantity < 0;
        const FillCharge c = config.fee_model.charge(price, units_of(leg.quantity, leg.lot_size), is_buy);
        total.total += c.total;
        if (c.breakdown) {
            if (!total.breakdown) total.breakdown = FeeBreakdown{};
            *total.breakdown += *c.breakdown;
        }
    }
    return total;
}

RunOutput run(const SpreadRunConfig& config, const SpreadMarket& market) {
    if (!shapes_agree(config, market)) return flat_result(config, market.timestamps.size());
    return SpreadRun(config, market).finish();
}

Result<PreparedSpreadItem, OwnError> prepare_batch_item(const BatchSpreadItem& item, const BacktestConfig& config,
                                                       std::span<const std::int64_t> timestamps) {
    auto legs = parse_legs(item.leg_configs, LegMessage::Batch);
    if (!legs.ok()) return err(std::move(legs).error());
    SpreadMarket shape{timestamps, item.legs_premiums, std::nullopt, item.entries, item.exits};
    if (item.legs_open_premiums) shape.legs_open_premiums = std::span<const std::vector<double>>(*item.legs_open_premiums);
    if (auto st = check_market(legs.value().size(), shape); !st.ok()) {
        return err(OwnError{base::fmt::format("item '{}': {}", item.strategy_id, st.error().message())});
    }
    PreparedSpreadItem p;
    p.run.config = config;
    p.run.max_loss = item.max_loss;
    p.run.target_profit = item.target_profit;
    p.run.legs = std::move(legs).value();
    p.run.spread_type = parse_spread_type(item.spread_type);
    p.strategy_id = item.strategy_id;
    p.legs_premiums = item.legs_premiums;
    if (item.legs_open_premiums) p.legs_open_premiums = std::span<const std::vector<double>>(*item.legs_open_premiums);
    p.entries = item.entries;
    p.exits = item.exits;
    return p;
}

RunOutput batch_spread_job(PreparedSpreadItem& item, std::span<const std::int64_t> timestamps) {
    item.run.fee_model = resolve_fee_model(item.run.config);
    const SpreadMarket market{timestamps, item.legs_premiums, item.legs_open_premiums, item.entries, item.exits};
    return run(item.run, market);
}

std::vector<RunOutput> run_batch(std::span<PreparedSpreadItem> items, std::span<const std::int64_t> timestamps) {
    metrics::annualization::SharedInference annualisation(timestamps);
    for (PreparedSpreadItem& item : items) {
        if (auto periods = annualisation.for_config(item.run.config)) item.run.config.periods_per_year = periods;
    }
    // Each job writes only its own item and slot; the timestamps are shared read-only.
    auto outputs = base::pool::parallel_map<RunOutput, OwnError>(items.size(), [&](std::size_t i) {
        return Result<RunOutput, OwnError>(batch_spread_job(items[i], timestamps));
    });
    return std::move(outputs).value();
}

}  // namespace tarnwick::runners::spreads
