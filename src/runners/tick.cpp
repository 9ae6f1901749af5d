#include "runners/tick.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/format.h"
#include "base/saturate.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "metrics/metrics.h"
#include "metrics/reduced_metrics.h"
#include "runners/column_lengths.h"
#include "runners/tradable_price.h"

namespace tarnwick::runners::tick {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using base::sat_add_u64;
using base::sat_sub;
using domain::BacktestConfig;
using domain::ExitReason;
using domain::FeeModel;
using domain::FillCharge;
using domain::TradeRecord;
using domain::is_tradable_price;
using domain::resolve_fee_model;
using engine::RunOutput;
using engine::drawdown_pct;

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Seconds to nanoseconds, clamped to the signed range instead of wrapping.
std::int64_t hold_limit_ns(std::uint64_t seconds) noexcept {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (seconds > kMax / kNanosPerSecond) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(seconds) * kNanosPerSecond;
}

// The fill price of a side: the quote when it is tradable, else the last price.
double quote_or_last(double quote, double last) noexcept { return is_tradable_price(quote) ? quote : last; }

struct OpenPosition {
    std::size_t idx = 0;
    std::int64_t time = 0;
    double fill = 0.0;
    FillCharge fee;
    double stop = 0.0;
    double target = 0.0;
};

class TickScan {
public:
    TickScan(const TickRunConfig& config, const TickColumns& ticks, FeeModel model)
        : cfg_(config),
          ticks_(ticks),
          model_(std::move(model)),
          units_(static_cast<double>(config.lot_size) * static_cast<double>(config.quantity)),
          hold_ns_(hold_limit_ns(config.max_hold_seconds)) {}

    std::vector<TradeRecord> run() && {
        // Without units nothing can be traded; a cap of no trades records none.
        if (units_ == 0.0 || cfg_.max_trades == 0) return {};
        const std::size_t n = ticks_.ltp.size();
        std::size_t i = 0;
        std::size_t next_entry = 0;
        while (i < n) {
            // Entry scan: a tick with no tradable ask or last price takes no entry.
            for (; i < n; ++i) {
                if (i < next_entry || ticks_.entries[i] == 0) continue;
                if (is_tradable_price(quote_or_last(ticks_.ask[i], ticks_.ltp[i]))) break;
            }
            if (i >= n) break;
            const OpenPosition pos = open(i);
            // The exit side's last tradable price, for a close at the end of the data; until
            // the first one, the entry's own price.
            LastTradable exit_side;
            exit_side.see(quote_or_last(ticks_.ask[i], ticks_.ltp[i]));
            exit_side.see(quote_or_last(ticks_.bid[i], ticks_.ltp[i]));
            // Holding scan, from the tick after the entry. An entry on the last tick has
            // nothing to hold over and closes at once at the end of the data.
            std::size_t j = i + 1;
            double exit_price = 0.0;
            ExitReason reason = ExitReason::EndOfData;
            bool exit_due = false;  // a signal met on a tick without a tradable exit price
            for (; j < n; ++j) {
                const double last = ticks_.ltp[j];
                if (is_tradable_price(last) && last <= pos.stop && is_tradable_price(pos.stop)) {
                    exit_price = pos.stop;
                    reason = ExitReason::StopLoss;
                    break;
                }
                if (is_tradable_price(last) && last >= pos.target && is_tradable_price(pos.target)) {
                    exit_price = pos.target;
                    reason = ExitReason::TakeProfit;
                    break;
                }
                const bool timed_out = hold_ns_ > 0 && sat_sub(ticks_.timestamps[j], pos.time) >= hold_ns_;
                exit_due = exit_due || ticks_.exits[j] != 0;
                const double price = quote_or_last(ticks_.bid[j], last);
                exit_side.see(price);
                if ((exit_due || timed_out) && is_tradable_price(price)) {
                    exit_price = price;
                    reason = timed_out ? ExitReason::TimeExit : ExitReason::Signal;
                    break;
                }
            }
            if (j >= n) {
                j = n - 1;
                exit_price = *exit_side.last();
                reason = ExitReason::EndOfData;
            }
            close(pos, j, exit_price, reason);
            if (trades_.size() >= cfg_.max_trades) break;
            next_entry = sat_add_u64(j, cfg_.entry_cooldown_ticks);
            i = j + 1;
        }
        return std::move(trades_);
    }

private:
    OpenPosition open(std::size_t i) const noexcept {
        OpenPosition p;
        p.idx = i;
        p.time = ticks_.timestamps[i];
        p.fill = quote_or_last(ticks_.ask[i], ticks_.ltp[i]) * (1.0 + cfg_.slippage);
        p.fee = model_.charge(p.fill, units_, true);
        // Levels come from the fill, so they include the entry slippage.
        p.stop = p.fill * (1.0 - cfg_.stop_loss_pct / 100.0);
        p.target = p.fill * (1.0 + cfg_.take_profit_pct / 100.0);
        return p;
    }

    void close(const OpenPosition& p, std::size_t j, double exit_price, ExitReason reason) {
        const double fill = exit_price * (1.0 - cfg_.slippage);
        const FillCharge fee = model_.charge(fill, units_, false);
        TradeRecord t;
        t.id = trades_.size();
        t.symbol = cfg_.symbol;
        t.entry_idx = p.idx;
        t.exit_idx = j;
        t.entry_price = p.fill;
        t.exit_price = fill;
        t.size = units_;
        t.direction = 1;
        t.pnl = (fill - p.fill) * units_ - p.fee.total - fee.total;
        t.return_pct = t.pnl / (units_ * p.fill) * 100.0;
        t.entry_time = p.time;
        t.exit_time = ticks_.timestamps[j];
        t.fees = p.fee.total + fee.total;
        t.entry_fees = p.fee.total;
        t.exit_fees = fee.total;
        if (p.fee.breakdown && fee.breakdown) t.fee_breakdown = *p.fee.breakdown + *fee.breakdown;
        t.exit_reason = reason;
        trades_.push_back(std::move(t));
    }

    const TickRunConfig& cfg_;
    const TickColumns& ticks_;
    const FeeModel model_;
    const double units_;
    const std::int64_t hold_ns_;
    std::vector<TradeRecord> trades_;
};

Status<OwnError> check_quantity(std::int64_t quantity) {
    if (quantity < 0) {
        return err(
            OwnError{base::fmt::format("tick backtests are long-only: quantity must be >= 0, got {}", quantity)});
    }
    return Unit{};
}

// A stop or target distance: below 0 the level lies on the wrong side of the entry and
// the exit is booked at a price no tick traded at; NaN would quietly mean no level.
// Infinity is no level at all, which is how a run goes without one.
Status<OwnError> check_level_pct(std::string_view field, double pct) {
    if (pct >= 0.0) return Unit{};
    return err(OwnError{base::fmt::format("{} must be a number at or above 0, got {}", field, pct)});
}

}  // namespace

Status<OwnError> check_config(const TickRunConfig& config) {
    if (auto st = domain::check_positive("initial_capital", config.initial_capital); !st.ok()) return st;
    if (auto st = domain::check_fees(config.fees); !st.ok()) return st;
    if (auto st = domain::check_slippage_fraction("slippage", config.slippage); !st.ok()) return st;
    if (auto st = check_level_pct("stop_loss_pct", config.stop_loss_pct); !st.ok()) return st;
    if (auto st = check_level_pct("take_profit_pct", config.take_profit_pct); !st.ok()) return st;
    return check_quantity(config.quantity);
}

Status<OwnError> check_columns(const TickColumns& ticks) {
    return same_lengths({{"timestamps", ticks.timestamps.size()},
                         {"bid", ticks.bid.size()},
                         {"ask", ticks.ask.size()},
                         {"buy_qty_delta", ticks.buy_qty_delta.size()},
                         {"sell_qty_delta", ticks.sell_qty_delta.size()},
                         {"oi", ticks.oi.size()},
                         {"entries", ticks.entries.size()},
                         {"exits", ticks.exits.size()}},
                        "ltp", ticks.ltp.size());
}

Result<RunOutput, OwnError> run(const TickRunConfig& config, const TickColumns& ticks) {
    if (auto st = check_config(config); !st.ok()) return err(std::move(st).error());
    if (auto st = check_columns(ticks); !st.ok()) return err(std::move(st).error());
    BacktestConfig fee_config;
    fee_config.initial_capital = config.initial_capital;
    fee_config.fees = config.fees;
    fee_config.slippage = config.slippage;
    fee_config.fee_segment = config.fee_segment;
    std::vector<TradeRecord> trades = TickScan(config, ticks, resolve_fee_model(fee_config)).run();
    return build_result(std::move(trades), config.initial_capital);
}

RunOutput build_result(std::vector<TradeRecord> trades, double initial_capital) {
    RunOutput out;
    const std::size_t k = trades.size();
    out.equity_curve.reserve(k + 1);
    out.drawdown_curve.reserve(k + 1);
    out.returns.reserve(k);
    double peak = initial_capital;
    out.equity_curve.push_back(initial_capital);
    out.drawdown_curve.push_back(drawdown_pct(peak, initial_capital));
    for (const TradeRecord& t : trades) {
        const double before = out.equity_curve.back();
        const double after = before + t.pnl;
        out.returns.push_back(before > 0.0 ? (after - before) / before : 0.0);
        peak = std::max(peak, after);
        out.equity_curve.push_back(after);
        out.drawdown_curve.push_back(drawdown_pct(peak, after));
    }
    if (k == 0) {
        out.metrics = metrics::zeroed_metrics();
        out.metrics.start_value = initial_capital;
        out.metrics.end_value = initial_capital;
    } else {
        BacktestConfig metrics_config;
        metrics_config.initial_capital = initial_capital;
        out.metrics = metrics::compute_metrics(out.equity_curve, out.drawdown_curve, out.returns, {}, trades,
                                               metrics_config);
    }
    out.trades = std::move(trades);
    return out;
}

}  // namespace tarnwick::runners::tick
