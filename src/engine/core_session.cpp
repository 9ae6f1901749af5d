#include "engine/core_session.h"

#include <algorithm>
#include <cstring>

#include "base/huge_pages.h"

namespace tarnwick::engine {

using base::advise_huge_pages;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::OhlcvBar;
using domain::Order;

CoreSession::CoreSession(KernelConfig cfg) : kernel_(std::move(cfg)) {
    const BacktestConfig& bc = kernel_.config().config;
    config_ = bc;
    peak_ = bc.initial_capital;
    if (bc.max_positions && *bc.max_positions != 0) kernel_.set_max_positions(bc.max_positions);
    if (bc.max_drawdown_pct && *bc.max_drawdown_pct > 0.0) kernel_.set_max_drawdown_pct(bc.max_drawdown_pct);
}

namespace {

// Room for n samples; a fresh buffer is advised onto huge pages before its first write.
template <class V>
void reserve_curve(V& v, std::size_t n) {
    const bool fresh = v.empty() && v.capacity() < n;
    v.reserve(n);
    if (fresh) advise_huge_pages(v.data(), n * sizeof(typename V::value_type));
}

// Two doubles side by side, for the sample passes of a quiet stretch: lane-wise IEEE
// operations compute exactly what the scalar expressions do.
using Pair = double __attribute__((vector_size(16)));
using Mask = std::int64_t __attribute__((vector_size(16)));

Pair load_pair(const double* at) noexcept {
    Pair p;
    std::memcpy(&p, at, sizeof p);
    return p;
}

void store_pair(double* at, Pair p) noexcept { std::memcpy(at, &p, sizeof p); }

}  // namespace

void CoreSession::reserve(std::size_t bars) {
    reserve_curve(out_.equity_curve, bars);
    reserve_curve(out_.drawdown_curve, bars);
    reserve_curve(out_.returns, bars);
    if (!external_timestamps_) reserve_curve(out_.timestamps, bars);
}

double CoreSession::equity() const noexcept {
    if (out_.equity_curve.empty()) return kernel_.config().config.initial_capital;
    return out_.equity_curve.back();
}

const std::vector<KernelEvent>& CoreSession::step(std::uint64_t idx, const OhlcvBar& bar, const BarSignal& signal) {
    const std::vector<KernelEvent>& events = kernel_.step(idx, bar, signal, false);
    for (const auto& e : events) {
        if (e.kind == KernelEventKind::Exited && e.trade) out_.trades.push_back(*e.trade);
        snapshots_.record(e, kernel_.orders(), kernel_.config().symbol);
    }

    const double eq = kernel_.equity(bar.close);
    const bool has_previous = !out_.equity_curve.empty();
    const double previous = has_previous ? out_.equity_curve.back() : 0.0;
    out_.equity_curve.push_back(eq);
    peak_ = std::max(peak_, eq);
    const double dd = drawdown_pct(peak_, eq);
    out_.drawdown_curve.push_back(dd);
    // A threshold of 0 or below means no halt, however the kernel's limit was set.
    const std::optional<double> limit = kernel_.max_drawdown_pct();
    if (peak_ > 0.0 && !kernel_.drawdown_halt() && limit && *limit > 0.0 && dd >= *limit) {
        kernel_.set_drawdown_halt(true);
    }
    out_.returns.push_back(has_previous && previous != 0.0 ? (eq - previous) / previous : 0.0);
    if (!external_timestamps_) out_.timestamps.push_back(bar.timestamp);
    last_bar_.emplace(idx, bar);
    return events;
}

void CoreSession::step_quiet(std::uint64_t first_idx, const QuietBars& bars) {
    const std::size_t m = bars.close.size();
    if (m == 0) return;
    const std::size_t at = out_.equity_curve.size();
    const bool flat = !kernel_.in_position();
    out_.equity_curve.resize(at + m);
    out_.drawdown_curve.resize(at + m);
    out_.returns.resize(at + m);
    double* __restrict equity = out_.equity_curve.data() + at;
    double* __restrict drawdown = out_.drawdown_curve.data() + at;
    double* __restrict returns = out_.returns.data() + at;
    kernel_.step_quiet(bars.high.first(m), bars.low.first(m), bars.close, bars.atr, equity);

    // The samples `step` takes, in passes that run in vector lanes: the running peak
    // (parked in the drawdown column), then each drawdown and return from its own inputs.
    // Flat, the equity is one value: from the second bar on, every sample has the same
    // inputs as the first's successor, so two are computed and the rest copied.
    const std::size_t computed = flat ? std::min<std::size_t>(m, 2) : m;
    double peak = peak_;
    for (std::size_t k = 0; k < computed; ++k) {
        peak = std::max(peak, equity[k]);
        drawdown[k] = peak;
    }
    peak_ = peak;
    std::size_t k = 0;
    for (; k + 2 <= computed; k += 2) {
        const Pair pk = load_pair(drawdown + k);
        const Pair eq = load_pair(equity + k);
        // drawdown_pct lane by lane: a lane whose peak is not above 0 is masked to +0.0.
        store_pair(drawdown + k, (Pair)((Mask)((pk - eq) / pk * 100.0) & (pk > 0.0)));
    }
    for (; k < computed; ++k) drawdown[k] = drawdown_pct(drawdown[k], equity[k]);

    const double before = at > 0 ? out_.equity_curve[at - 1] : 0.0;
    returns[0] = at > 0 && before != 0.0 ? (equity[0] - before) / before : 0.0;
    k = 1;
    for (; k + 2 <= computed; k += 2) {
        const Pair previous = load_pair(equity + k - 1);
        const Pair eq = load_pair(equity + k);
        store_pair(returns + k, (Pair)((Mask)((eq - previous) / previous) & (previous != 0.0)));
    }
    for (; k < computed; ++k) {
        const double previous = equity[k - 1];
        returns[k] = previous != 0.0 ? (equity[k] - previous) / previous : 0.0;
    }
    if (computed < m) {
        std::fill(drawdown + computed, drawdown + m, drawdown[computed - 1]);
        std::fill(returns + computed, returns + m, returns[computed - 1]);
    }

    // The halt comes on at the first sample at or past the limit (a drawdown above 0 has
    // a peak above 0); nothing in the stretch reads the flag before the next step.
    const std::optional<double> limit = kernel_.max_drawdown_pct();
    if (limit && *limit > 0.0 && !kernel_.drawdown_halt()) {
        for (std::size_t k = 0; k < m; ++k) {
            if (drawdown[k] >= *limit) {
                kernel_.set_drawdown_halt(true);
                break;
            }
        }
    }
    if (!external_timestamps_) {
        out_.timestamps.insert(out_.timestamps.end(), bars.timestamps.begin(), bars.timestamps.begin() + m);
    }
    const std::size_t last = m - 1;
    last_bar_.emplace(first_idx + last, OhlcvBar{bars.timestamps[last], bars.open[last], bars.high[last],
                                                 bars.low[last], bars.close[last], bars.volume[last]});
}

std::vector<Order> CoreSession::order_reports() const {
    return snapshots_.reports(kernel_.orders(), kernel_.config().symbol);
}

RunOutput CoreSession::finish() && {
    if (kernel_.in_position() && last_bar_) {
        const auto& [idx, bar] = *last_bar_;
        for (auto& t : kernel_.force_close_all(idx, bar.timestamp, bar.close)) out_.trades.push_back(std::move(t));
    }
    out_.orders = order_reports();
    std::span<const std::int64_t> timestamps = out_.timestamps;
    if (external_timestamps_) {
        timestamps = external_timestamps_->first(std::min(external_timestamps_->size(), out_.equity_curve.size()));
    }
    out_.metrics = metrics::compute_metrics(out_.equity_curve, out_.drawdown_curve, out_.returns, timestamps,
                                            out_.trades, config_);
    return std::move(out_);
}

}  // namespace tarnwick::engine
