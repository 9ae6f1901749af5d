// The single-instrument array driver: one instrument's whole backtest from price columns
// and raw entry/exit signals, on one CoreSession. run_single_backtest, every job of the
// single batch and the multi-strategy runner all run through here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "domain/instrument_config.h"
#include "engine/core_session.h"
#include "engine/kernel_config.h"

namespace tarnwick::runners::single {

// Six price columns, read where they lie. The bar count is the length of `close`; the
// other columns must hold at least that many values, extra values are ignored.
struct BarSeries {
    std::span<const std::int64_t> timestamps;  // nanoseconds since the Unix epoch
    std::span<const double> open;
    std::span<const double> high;
    std::span<const double> low;
    std::span<const double> close;
    std::span<const double> volume;

    std::size_t bars() const noexcept { return close.size(); }

    // Asks for bar `at` of every column ahead of the step that reads it. Always inlined:
    // a function holding nothing but prefetches is taken for one without effects, and
    // calls to it are dropped.
    [[gnu::always_inline]] void prefetch(std::size_t at) const noexcept {
        __builtin_prefetch(timestamps.data() + at);
        __builtin_prefetch(open.data() + at);
        __builtin_prefetch(high.data() + at);
        __builtin_prefetch(low.data() + at);
        __builtin_prefetch(close.data() + at);
        __builtin_prefetch(volume.data() + at);
    }
};

// One instrument's signals, owned by the caller. Signal bytes: non-zero is set. Every member
// has an initializer, so that a designated initializer may leave any out.
struct SignalInput {
    std::string symbol;
    std::span<const std::uint8_t> entries{};
    std::span<const std::uint8_t> exits{};
    std::optional<std::span<const double>> position_sizes{};  // bar i's fraction of capital
    double weight = 1.0;                                       // carried for callers; no effect on a run
    std::int8_t direction = 1;                                 // 1 long, -1 short
};

// The engine side of a run: the configuration copy and what it resolves to.
struct SingleRunConfig {
    domain::BacktestConfig config;
    engine::SlippageModel slippage;
    domain::FeeModel fee_model = domain::FeeModel::fraction(0.001);
    engine::PriceSource price_source = engine::PriceSource::Close;

    // The resolved fee model, proportional slippage when enabled and above 0, and the
    // close (same-bar close) or the open (the timings that act at a bar's open).
    static SingleRunConfig from(const domain::BacktestConfig& config);
};

// The ATR period the stop and target rules in force need: the instrument overrides win
// side by side, the stop's period wins over the target's; none when neither is ATR-based.
std::optional<std::uint64_t> resolve_atr_period(const domain::BacktestConfig& config,
                                                const std::optional<domain::InstrumentConfig>& instrument);

// The ATR series of a run, or nothing when no rule needs one (no period). A series that
// cannot be computed (period 0) is all zeros: the run goes on without ATR-based levels.
std::vector<double> atr_series(const BarSeries& bars, std::optional<std::uint64_t> period);

// Every length the run relies on, checked before anything is read: close against the
// entries, entries against the exits, then each other price column and the sizes, which
// may be longer than close but not shorter ("Data length mismatch: expected {}, got {}").
base::Status<base::OwnError> check_lengths(const BarSeries& bars, const SignalInput& signals);

// The configuration of the kernel a run of `signals` under `run` steps.
engine::KernelConfig kernel_config(const SingleRunConfig& run, const SignalInput& signals,
                                   const std::optional<domain::InstrumentConfig>& instrument);

// Runs the whole backtest: signals processed bar by bar, the ATR series computed once
// when a rule needs it (zeros if it cannot be computed), one session step per bar, then
// the session finished. The output's timestamps are left empty: they are the caller's
// column. The only errors are those of `check_lengths`.
base::Result<engine::RunOutput, base::OwnError> run_backtest(const SingleRunConfig& run, const BarSeries& bars,
                                                             const SignalInput& signals,
                                                             const std::optional<domain::InstrumentConfig>& instrument);

}  // namespace tarnwick::runners::single
