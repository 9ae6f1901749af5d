#include "runners/multi.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "base/format.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_curves.h"
#include "signals/processor.h"

namespace tarnwick::runners::multi {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using base::fault;
using domain::BacktestConfig;
using domain::TradeRecord;
using engine::RunOutput;

CombineMode parse(std::string_view text) noexcept {
    if (text == "all") return CombineMode::All;
    if (text == "majority") return CombineMode::Majority;
    if (text == "weighted") return CombineMode::Weighted;
    if (text == "independent") return CombineMode::Independent;
    return CombineMode::Any;
}

std::string_view name(CombineMode mode) noexcept {
    switch (mode) {
        case CombineMode::Any: return "any";
        case CombineMode::All: return "all";
        case CombineMode::Majority: return "majority";
        case CombineMode::Weighted: return "weighted";
        case CombineMode::Independent: return "independent";
    }
    return "any";
}

namespace {

using single::BarSeries;
using single::SignalInput;
using single::SingleRunConfig;

Status<OwnError> check_lengths(const BarSeries& bars, std::span<const SignalInput> strategies) {
    const std::size_t n = bars.bars();
    if (auto st = columns_match_close(bars); !st.ok()) return st;
    for (const SignalInput& s : strategies) {
        if (s.entries.size() != n) {
            return err(
                OwnError{base::fmt::format("All strategies must have same length as OHLCV: '{}' has {}, expected {}",
                                           s.symbol, s.entries.size(), n)});
        }
        if (auto st = signals::processor::check_lengths(s.entries.size(), s.exits.size()); !st.ok()) {
            return err(std::move(st).error());
        }
    }
    return Unit{};
}

bool entry_vote(CombineMode mode, std::size_t c, std::size_t n) noexcept {
    switch (mode) {
        case CombineMode::Any: return c > 0;
        case CombineMode::All: return c == n;
        case CombineMode::Majority: return c > n / 2;
        case CombineMode::Weighted: return static_cast<double>(c) * 1.0 / static_cast<double>(n) > 0.5;
        case CombineMode::Independent: return false;  // no vote
    }
    return false;
}

RunOutput run_voted(const BacktestConfig& config, const BarSeries& bars, std::span<const SignalInput> strategies,
                    CombineMode mode) {
    const std::size_t n = bars.bars();
    const std::size_t k = strategies.size();
    std::vector<std::uint8_t> entries(n, 0), exits(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t c_entry = 0, c_exit = 0;
        for (const SignalInput& s : strategies) {
            c_entry += s.entries[i] != 0 ? 1 : 0;
            c_exit += s.exits[i] != 0 ? 1 : 0;
        }
        entries[i] = entry_vote(mode, c_entry, k) ? 1 : 0;
        exits[i] = c_exit > 0 ? 1 : 0;
    }
    SignalInput combined;
    combined.symbol = strategies.front().symbol;
    combined.direction = strategies.front().direction;
    combined.entries = entries;
    combined.exits = exits;
    combined.weight = 1.0;
    auto out = single::run_backtest(SingleRunConfig::from(config), bars, combined, std::nullopt);
    if (!out.ok()) fault("multi-strategy run refused lengths it was checked against: " + out.error().message());
    return std::move(out).value();
}

RunOutput run_independent(const BacktestConfig& config, const BarSeries& bars,
                          std::span<const SignalInput> strategies) {
    const std::size_t n = bars.bars();
    if (n == 0) return own_loop::empty_run(config);
    const std::size_t k = strategies.size();
    BacktestConfig share = config;
    share.initial_capital = config.initial_capital / static_cast<double>(k);
    const SingleRunConfig resolved = SingleRunConfig::from(share);

    std::vector<TradeRecord> trades;
    std::vector<double> summed(n, -0.0);
    for (std::size_t j = 0; j < k; ++j) {
        auto out = single::run_backtest(resolved, bars, strategies[j], std::nullopt);
        if (!out.ok()) fault("multi-strategy run refused lengths it was checked against: " + out.error().message());
        RunOutput& r = out.value();
        const std::string symbol = base::fmt::format("{}_{}", strategies[j].symbol, j);
        for (TradeRecord& t : r.trades) {
            t.symbol = symbol;
            trades.push_back(std::move(t));
        }
        if (r.equity_curve.size() != n) fault("a driver run sampled equity other than once per bar");
        for (std::size_t i = 0; i < n; ++i) summed[i] += r.equity_curve[i];
    }

    // The running peak starts at the first merged sample, not at the capital.
    own_loop::Curves curves(n, summed.front());
    for (std::size_t i = 0; i < n; ++i) curves.mark(i, summed[i]);
    const metrics::TradeTally tally = metrics::tally_per_record(trades);
    return own_loop::finish(config, std::move(curves), bars.timestamps.first(n), std::move(trades), tally);
}

}  // namespace

Result<RunOutput, OwnError> run(const BacktestConfig& config, const BarSeries& bars,
                                std::span<const SignalInput> strategies, CombineMode mode) {
    if (strategies.empty()) return own_loop::empty_run(config);
    if (auto st = check_lengths(bars, strategies); !st.ok()) return err(std::move(st).error());
    if (mode == CombineMode::Independent) return run_independent(config, bars, strategies);
    return run_voted(config, bars, strategies, mode);
}

}  // namespace tarnwick::runners::multi
