// The end of a session: every instrument closed at its last applied bar, the portfolio's
// own curves and trades turned into one result, and each instrument's share of it.
#include "engine/result_assembly.h"
#include "metrics/metrics.h"
#include "runners/session/portfolio_session.h"

namespace tarnwick::runners {

using domain::TradeRecord;
using metrics::BacktestMetrics;

PortfolioResult PortfolioSession::finish() && {
    for (std::size_t i = 0; i < kernels_.size(); ++i) {
        // An instrument that never traded still closes what it holds (an adopted
        // position) at its mark, on the session's last sample.
        if (!last_bars_[i] && !(kernels_[i].in_position() && last_marks_[i])) continue;
        std::uint64_t idx = 0;
        std::int64_t ts = timestamps_.empty() ? kernels_[i].ledger().positions().front().entry_time : timestamps_.back();
        double price = last_marks_[i].value_or(0.0);
        if (last_bars_[i]) {
            idx = last_bars_[i]->local_idx;
            ts = last_bars_[i]->bar.timestamp;
            price = last_bars_[i]->bar.close;
        }
        const double locked_before = place_pool(i);
        const double view = kernels_[i].cash();
        for (TradeRecord& t : kernels_[i].force_close_all(idx, ts, price)) trades_.push_back(std::move(t));
        fold(i, view, locked_before);
        last_marks_[i].reset();
    }
    // The last sample is the cash after the closes, exit costs included.
    if (!equity_curve_.empty()) equity_curve_.back() = pool_cash_;

    const BacktestMetrics metrics =
        metrics::compute_metrics(equity_curve_, drawdown_curve_, returns_, timestamps_, trades_, config_);

    PortfolioResult out;
    out.per_instrument.reserve(kernels_.size());
    bool drawdown_halted = false;
    for (std::size_t i = 0; i < kernels_.size(); ++i) {
        InstrumentSummary s;
        s.symbol = symbols_[i];
        double pnl = -0.0;
        for (const TradeRecord& t : trades_) {
            if (t.symbol != s.symbol) continue;
            ++s.trades;
            pnl += t.pnl;
        }
        s.pnl = pnl;
        s.rejected_entries = kernels_[i].rejected_entries();
        out.rejected_entries += s.rejected_entries;
        drawdown_halted = drawdown_halted || kernels_[i].drawdown_halt();
        out.per_instrument.push_back(std::move(s));
    }
    out.halted = halted_ || drawdown_halted;
    out.halted_at = halted_at_;
    out.result = engine::assembly::build_backtest_result(metrics, std::move(equity_curve_), std::move(drawdown_curve_),
                                                         std::move(returns_), std::move(trades_), {});
    return out;
}

}  // namespace tarnwick::runners
