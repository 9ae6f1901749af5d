#include "runners/single_driver.h"

#include <utility>
#include <vector>

#include "base/flag_bytes.h"
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
    signals::processor::Stream processor;
    BarSignal sig;
    for (std::size_t i = 0; i < n; ++i) {
        // Bars without a raw signal change nothing while the kernel is quiet (the processor
        // included), so the stretch up to the next signal is stepped in one go.
        if (session.kernel().quiet()) {
            const std::size_t next = base::flag_bytes::first_set_in_either(signals.entries, signals.exits, i, n);
            if (next > i) {
                const std::size_t m = next - i;
                // The stepped bar after the stretch reads columns the stretch leaves alone;
                // asking for them now hides their fetch behind the stretch's work.
                if (next < n) {
                    __builtin_prefetch(bars.timestamps.data() + next);
                    __builtin_prefetch(bars.open.data() + next);
                    __builtin_prefetch(bars.volume.data() + next);
                }
                session.step_quiet(i, {bars.timestamps.subspan(i, m), bars.open.subspan(i, m),
                                       bars.high.subspan(i, m), bars.low.subspan(i, m), bars.close.subspan(i, m),
                                       bars.volume.subspan(i, m), next - 1 < atr.size() ? atr[next - 1] : 0.0});
                i = next;
                if (i == n) break;
            }
        }
        const OhlcvBar bar{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i],
                           bars.volume[i]};
        const auto flags = processor.next(signals.entries[i] != 0, signals.exits[i] != 0);
        sig.entry = flags.entry;
        sig.exit = flags.exit;
        sig.atr = i < atr.size() ? atr[i] : 0.0;
        if (signals.position_sizes) sig.size_mult = (*signals.position_sizes)[i];
        // The step's events are not needed here: trades and curves are kept by the session.
        (void)session.step(static_cast<std::uint64_t>(i), bar, sig);
    }
    return std::move(session).finish();
}

}  // namespace tarnwick::runners::single
