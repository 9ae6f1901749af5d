#include "engine/core_session.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "base/huge_pages.h"
#include "metrics/lanes.h"

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

// The metrics' two lanes of doubles, for the sample passes of a quiet stretch: lane-wise
// IEEE operations compute exactly what the scalar expressions do.
using Pair = metrics::lanes::Lanes;
using Mask = metrics::lanes::LaneMask;
using metrics::lanes::load;

void store_pair(double* at, Pair p) noexcept { std::memcpy(at, &p, sizeof p); }

// Where one stretch's samples go: the three curves from the stretch's first bar on.
struct SampleOut {
    double* equity;
    double* drawdown;
    double* returns;

    void put(std::size_t k, Pair e, Pair d, Pair r) const noexcept {
        store_pair(equity + k, e);
        store_pair(drawdown + k, d);
        store_pair(returns + k, r);
    }
    void put(std::size_t k, double e, double d, double r) const noexcept {
        equity[k] = e;
        drawdown[k] = d;
        returns[k] = r;
    }
};

// The running state the samples carry from bar to bar.
struct SampleState {
    double peak;
    double previous;  // the latest equity sample; 0.0 before the first (its return is 0.0)
    double limit;     // the drawdown halt's threshold when it may still come on, else NaN
    Mask over = {0, 0};  // lanes that saw a drawdown at or past the limit

    bool reached() const noexcept { return (over[0] | over[1]) != 0; }
};

// One bar's drawdown and return from its equity; the state moves on past the bar.
struct BarSample {
    double drawdown;
    double ret;
};
[[gnu::always_inline]] inline BarSample next_sample(SampleState& s, double eq) noexcept {
    s.peak = std::max(s.peak, eq);
    const double dd = drawdown_pct(s.peak, eq);
    const double ret = s.previous != 0.0 ? period_return(s.previous, eq) : 0.0;
    s.previous = eq;
    if (dd >= s.limit) s.over[0] = -1;
    return {dd, ret};
}

// One bar's samples.
void sample_one(SampleState& s, const SampleOut& out, std::size_t k, double eq) noexcept {
    const BarSample b = next_sample(s, eq);
    out.put(k, eq, b.drawdown, b.ret);
}

// Two bars' samples in lanes. The running peak is folded in scalar order; a lane whose
// peak is not above 0 (drawdown) or whose previous sample is 0 (return) is masked to +0.0.
// Inlined into each loop, where the running state stays in registers.
[[gnu::always_inline]] inline void sample_two(SampleState& s, const SampleOut& out, std::size_t k, Pair eq) noexcept {
    const double p0 = std::max(s.peak, eq[0]);
    const double p1 = std::max(p0, eq[1]);
    s.peak = p1;
    const Pair pk = {p0, p1};
    const Pair dd = (Pair)((Mask)((pk - eq) / pk * 100.0) & (pk > 0.0));
    const Pair prev = {s.previous, eq[0]};
    const Pair ret = (Pair)((Mask)((eq - prev) / metrics::lanes::magnitude(prev)) & (prev != 0.0));
    s.previous = eq[1];
    s.over |= dd >= s.limit;
    out.put(k, eq, dd, ret);
}

// A flat stretch: one equity throughout. From the second bar on every sample has the
// inputs of the second's, so two are computed and the rest repeated.
void sample_flat(SampleState& s, const SampleOut& out, std::size_t m, double eq) noexcept {
    sample_one(s, out, 0, eq);
    if (m == 1) return;
    sample_one(s, out, 1, eq);
    const double dd = out.drawdown[1];
    const double ret = out.returns[1];
    std::size_t k = 2;
    const Pair e2 = {eq, eq}, d2 = {dd, dd}, r2 = {ret, ret};
    for (; k + 2 <= m; k += 2) out.put(k, e2, d2, r2);
    for (; k < m; ++k) out.put(k, eq, dd, ret);
}

// A stretch holding one position of a single kind, valued at each close (every one a
// tradable price): false, with nothing written, for a book of no single kind.
bool sample_marks(SampleState& s, const SampleOut& out, const double* close, std::size_t m,
                  const Kernel::QuietBook& book) noexcept {
    return book.equities(close, m, [&](std::size_t k, auto eq) noexcept {
        if constexpr (std::is_same_v<decltype(eq), Pair>) {
            sample_two(s, out, k, eq);
        } else {
            sample_one(s, out, k, eq);
        }
    });
}

// Samples from equity already written to `out.equity[0 .. m)`.
void sample_equity(SampleState& s, const SampleOut& out, std::size_t m) noexcept {
    std::size_t k = 0;
    for (; k + 2 <= m; k += 2) sample_two(s, out, k, load(out.equity + k));
    if (k < m) sample_one(s, out, k, out.equity[k]);
}

// The sampling state as the curves stand: the running peak, the latest equity sample,
// and the drawdown halt's threshold when it may still come on (a threshold of 0 or below
// means no halt, however the kernel's limit was set). Inlined, so that a step's state
// stays in registers.
[[gnu::always_inline]] inline SampleState resume_sampling(double peak, const base::Curve& equity,
                                                          const Kernel& kernel) noexcept {
    const std::optional<double> limit = kernel.max_drawdown_pct();
    const bool may_halt = limit && *limit > 0.0 && !kernel.drawdown_halt();
    return {peak, equity.empty() ? 0.0 : equity.back(),
            may_halt ? *limit : std::numeric_limits<double>::quiet_NaN()};
}

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
    SampleState state = resume_sampling(peak_, out_.equity_curve, kernel_);
    const BarSample sample = next_sample(state, eq);
    out_.equity_curve.push_back(eq);
    out_.drawdown_curve.push_back(sample.drawdown);
    out_.returns.push_back(sample.ret);
    peak_ = state.peak;
    if (state.reached()) kernel_.set_drawdown_halt(true);
    if (!external_timestamps_) out_.timestamps.push_back(bar.timestamp);
    last_bar_.emplace(idx, bar);
    return events;
}

void CoreSession::step_quiet(std::uint64_t first_idx, const QuietBars& bars) {
    const std::size_t m = bars.close.size();
    if (m == 0) return;
    // The halt comes on at the first sample at or past the limit (a drawdown above 0 has a
    // peak above 0); nothing in the stretch reads the flag before the next step.
    SampleState state = resume_sampling(peak_, out_.equity_curve, kernel_);
    const std::size_t at = out_.equity_curve.size();
    out_.equity_curve.resize(at + m);
    out_.drawdown_curve.resize(at + m);
    out_.returns.resize(at + m);
    const SampleOut out{out_.equity_curve.data() + at, out_.drawdown_curve.data() + at, out_.returns.data() + at};

    const Kernel::QuietBook book = kernel_.quiet_book();
    const std::span<const double> high = bars.high.first(m), low = bars.low.first(m);
    if (book.kind == Kernel::QuietBook::Kind::Flat) {
        sample_flat(state, out, m, book.cash + book.value_as<Kernel::QuietBook::Kind::Flat>(0.0));
        kernel_.step_quiet_unvalued(high, low, bars.close, bars.atr);
    } else if (domain::all_tradable(bars.close) && sample_marks(state, out, bars.close.data(), m, book)) {
        kernel_.step_quiet_unvalued(high, low, bars.close, bars.atr);
    } else {
        kernel_.step_quiet(high, low, bars.close, bars.atr, out.equity);
        sample_equity(state, out, m);
    }
    peak_ = state.peak;
    if (state.reached()) kernel_.set_drawdown_halt(true);

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
