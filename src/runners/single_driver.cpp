#include "runners/single_driver.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "base/format.h"
#include "domain/bar.h"
#include "indicators/volatility.h"
#include "signals/processor.h"

namespace tarnwick::runners::single {

using base::CoreError;
using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::InstrumentConfig;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TargetRule;
using engine::CoreSession;
using engine::KernelConfig;
using engine::RunOutput;

SingleRunConfig SingleRunConfig::from(const BacktestConfig& config) {
    // The derivation a KernelSession makes, so array runs and sessions never drift apart.
    KernelConfig k = KernelConfig::for_session(config, {}, 1);
    return {std::move(k.config), k.slippage, std::move(k.fee_model), k.price_source};
}

std::optional<std::uint64_t> resolve_atr_period(const BacktestConfig& config,
                                                const std::optional<InstrumentConfig>& instrument) {
    // An override replaces the configuration's rule of its side as a whole.
    const std::optional<StopRule>& stop = instrument && instrument->stop ? instrument->stop : config.stop;
    const std::optional<TargetRule>& target = instrument && instrument->target ? instrument->target : config.target;
    if (stop && stop->kind == StopRule::Kind::Atr) return stop->period;
    if (target && target->kind == TargetRule::Kind::Atr) return target->period;
    return std::nullopt;
}

Status<OwnError> check_lengths(const BarSeries& bars, const SignalInput& signals) {
    const std::size_t n = bars.bars();
    if (signals.entries.size() != n) {
        return err(OwnError{base::fmt::format("OHLCV and signals must have same length: close {}, entries {}", n,
                                              signals.entries.size())});
    }
    if (auto st = signals::processor::check_lengths(signals.entries.size(), signals.exits.size()); !st.ok()) {
        return err(std::move(st).error());
    }
    const std::size_t columns[] = {bars.timestamps.size(), bars.open.size(), bars.high.size(), bars.low.size(),
                                   bars.volume.size()};
    for (const std::size_t len : columns) {
        if (len < n) return err(OwnError{CoreError::data_length_mismatch(n, len).message()});
    }
    if (signals.position_sizes && signals.position_sizes->size() < n) {
        return err(OwnError{CoreError::data_length_mismatch(n, signals.position_sizes->size()).message()});
    }
    return Unit{};
}

std::vector<double> atr_series(const BarSeries& bars, std::optional<std::uint64_t> period) {
    if (!period) return {};
    const std::size_t n = bars.bars();
    auto atr = indicators::volatility::atr(bars.high.first(n), bars.low.first(n), bars.close, *period);
    if (!atr.ok()) return std::vector<double>(n, 0.0);
    return std::move(atr).value();
}

KernelConfig kernel_config(const SingleRunConfig& run, const SignalInput& signals,
                           const std::optional<InstrumentConfig>& instrument) {
    KernelConfig kc;
    kc.config = run.config;
    kc.symbol = signals.symbol;
    kc.direction = signals.direction;
    kc.price_source = run.price_source;
    kc.slippage = run.slippage;
    kc.instrument_config = instrument;
    kc.fee_model = run.fee_model;
    return kc;
}

namespace {

// The processor's effective signals, found a few ahead of the bar being stepped (the
// processor follows its own signals, never the kernel). Between signals the quiet
// stretches skip the columns, so the bars of the signals found are fetched as they are
// found, and are in cache by the time they are stepped.
class SignalLookahead {
public:
    using Signal = signals::processor::Cursor::Signal;

    SignalLookahead(const BarSeries& bars, const SignalInput& signals, std::span<const double> atr)
        : bars_(bars), cursor_(signals.entries, signals.exits), atr_(atr), n_(bars.bars()) {
        while (count_ < kAhead) find_next();
    }

    const Signal& next() const noexcept { return ring_[head_]; }

    void pop() noexcept {
        head_ = (head_ + 1) % kAhead;
        --count_;
        find_next();
    }

private:
    static constexpr std::size_t kAhead = 4;
    static constexpr std::size_t kHeldAhead = 256;  // bars

    void find_next() noexcept {
        const Signal s = cursor_.next();
        ring_[(head_ + count_) % kAhead] = s;
        ++count_;
        if (s.bar == n_) return;
        const std::size_t held_from = from_;
        from_ = s.bar + 1;
        if (!s.entry) {
            // An exit: the bars since the entry are most likely held, and a held stretch
            // reads its closes, highs and lows. The start of a long one is enough: the
            // hardware follows the stream from there.
            for (std::size_t k = held_from; k < std::min(s.bar, held_from + kHeldAhead); k += 8) {
                __builtin_prefetch(bars_.high.data() + k);
                __builtin_prefetch(bars_.low.data() + k);
                __builtin_prefetch(bars_.close.data() + k);
            }
        }
        // The signal's bar and the bar before it, which closes the stretch up to it.
        for (const std::size_t k : {s.bar - (s.bar > 0 ? 1 : 0), s.bar}) {
            bars_.prefetch(k);
            if (k < atr_.size()) __builtin_prefetch(atr_.data() + k);
        }
    }

    const BarSeries& bars_;
    signals::processor::Cursor cursor_;
    std::span<const double> atr_;
    std::size_t n_;
    std::size_t from_ = 0;  // the bar after the last signal found
    Signal ring_[kAhead] = {};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace

Result<RunOutput, OwnError> run_backtest(const SingleRunConfig& run, const BarSeries& bars,
                                         const SignalInput& signals,
                                         const std::optional<InstrumentConfig>& instrument) {
    if (auto st = check_lengths(bars, signals); !st.ok()) return err(std::move(st).error());
    const std::size_t n = bars.bars();

    CoreSession session(kernel_config(run, signals, instrument));
    // Bar i is stepped with timestamps[i], so the metrics read the caller's column.
    session.read_timestamps_from(bars.timestamps.first(n));
    session.reserve(n);

    const std::vector<double> atr = atr_series(bars, resolve_atr_period(run.config, instrument));
    SignalLookahead lookahead(bars, signals, atr);
    BarSignal sig;
    for (std::size_t i = 0; i < n; ++i) {
        const SignalLookahead::Signal next = lookahead.next();
        // Bars without a signal change nothing while the kernel is quiet, so the stretch
        // up to the next signal is stepped in one go.
        if (next.bar > i && session.kernel().quiet()) {
            const std::size_t m = next.bar - i;
            session.step_quiet(i, {bars.timestamps.subspan(i, m), bars.open.subspan(i, m), bars.high.subspan(i, m),
                                   bars.low.subspan(i, m), bars.close.subspan(i, m), bars.volume.subspan(i, m),
                                   next.bar - 1 < atr.size() ? atr[next.bar - 1] : 0.0});
            i = next.bar;
            if (i == n) break;
        }
        const OhlcvBar bar{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i],
                           bars.volume[i]};
        const bool signalled = next.bar == i;
        sig.entry = signalled && next.entry;
        sig.exit = signalled && !next.entry;
        if (signalled) lookahead.pop();
        sig.atr = i < atr.size() ? atr[i] : 0.0;
        if (signals.position_sizes) sig.size_mult = (*signals.position_sizes)[i];
        // The step's events are not needed here: trades and curves are kept by the session.
        (void)session.step(static_cast<std::uint64_t>(i), bar, sig);
    }
    return std::move(session).finish();
}

}  // namespace tarnwick::runners::single
