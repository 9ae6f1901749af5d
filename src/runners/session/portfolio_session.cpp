// Construction, registration, attached streams, the seal and live appends.
#include "runners/session/portfolio_session.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/format.h"
#include "domain/direction.h"

namespace tarnwick::runners {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;
using data::DepthSnapshot;
using data::FeedEvent;
using data::FeedEventKind;
using data::ScheduleEntry;
using data::ScheduleKind;
using data::TickColumns;
using data::TickRow;
using data::append_entry;
using data::merge_streams;
using data::quote_payload;
using data::tick_events_from_columns;
using data::trade_payload;
using domain::BacktestConfig;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using engine::AccountSetup;
using engine::Kernel;
using engine::KernelConfig;
using engine::OmsType;
using engine::parse_oms_type;

PortfolioSession::PortfolioSession(BacktestConfig config, AccountSetup account)
    : config_(std::move(config)), account_(account) {
    pool_cash_ = config_.initial_capital;
    peak_equity_ = config_.initial_capital;
}

Result<OmsType, OwnError> PortfolioSession::check_instrument(std::int32_t direction, std::string_view oms_type,
                                                             const std::optional<InstrumentSpec>& spec) {
    if (!domain::direction_of(direction)) return err(OwnError{"direction must be 1 or -1"});
    auto oms = parse_oms_type(oms_type);
    if (!oms) return err(oms.error());
    if (spec && !spec->tradable())
        return err(OwnError{base::fmt::format("instrument {} is not tradable", spec->symbol)});
    return *oms;
}

std::uint64_t PortfolioSession::add_instrument(std::string symbol, std::int8_t direction,
                                               std::optional<InstrumentConfig> instrument_config,
                                               std::optional<InstrumentSpec> instrument, OmsType oms) {
    KernelConfig kc = KernelConfig::for_session(config_, symbol, direction, std::move(instrument_config));
    kc.instrument = std::move(instrument);
    kc.oms = oms;
    kc.account_type = account_.type;
    kc.leverage = account_.leverage;
    Kernel& k = kernels_.emplace_back(std::move(kc));
    // 0 positions means no limit; a threshold of 0 or below means no kill switch.
    if (config_.max_positions && *config_.max_positions != 0) k.set_max_positions(config_.max_positions);
    if (config_.max_drawdown_pct && *config_.max_drawdown_pct > 0.0) k.set_max_drawdown_pct(config_.max_drawdown_pct);
    k.set_cash(0.0);
    // A halt stops every instrument, including one registered after it latched.
    for (const Kernel& other : kernels_) {
        if (other.margin_call()) k.set_margin_call(true);
        if (other.drawdown_halt()) k.set_drawdown_halt(true);
    }
    symbols_.push_back(std::move(symbol));
    bar_streams_.emplace_back();
    tick_streams_.emplace_back();
    depth_streams_.emplace_back();
    local_counts_.push_back(0);
    last_marks_.emplace_back();
    last_bars_.emplace_back();
    return kernels_.size() - 1;
}

Status<OwnError> PortfolioSession::check_index(std::uint64_t instrument) const {
    if (instrument >= kernels_.size())
        return err(OwnError{base::fmt::format("unknown instrument index {}", instrument)});
    return Unit{};
}

Result<const Kernel*, OwnError> PortfolioSession::kernel(std::uint64_t instrument) const {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    return &kernels_[instrument];
}

Status<OwnError> PortfolioSession::set_bars(std::uint64_t instrument, std::vector<OhlcvBar> bars) {
    if (auto ok = check_index(instrument); !ok) return ok;
    bar_streams_[instrument] = std::move(bars);
    return Unit{};
}

Status<OwnError> PortfolioSession::set_ticks(std::uint64_t instrument, TickColumns ticks) {
    if (auto ok = check_index(instrument); !ok) return ok;
    tick_streams_[instrument] = std::move(ticks);
    return Unit{};
}

Status<OwnError> PortfolioSession::set_depth(std::uint64_t instrument, std::vector<DepthSnapshot> snapshots) {
    if (auto ok = check_index(instrument); !ok) return ok;
    depth_streams_[instrument] = std::move(snapshots);
    return Unit{};
}

void PortfolioSession::seal() {
    if (sealed_) return;
    const std::size_t n = kernels_.size();
    std::vector<std::vector<FeedEvent>> streams;
    streams.reserve(n * 2);

    // Stream ids: one bar stream per instrument (id = its index, bars or not), then a
    // trade and a quote stream per instrument with ticks, then one per depth stream.
    for (std::size_t k = 0; k < n; ++k) {
        const auto id = static_cast<std::uint32_t>(k);
        std::vector<FeedEvent>& s = streams.emplace_back();
        s.reserve(bar_streams_[k].size());
        for (const OhlcvBar& b : bar_streams_[k]) {
            s.push_back({FeedEventKind::Bar, b.timestamp, {b.open, b.high, b.low, b.close, b.volume}, id, id});
        }
        bar_streams_[k] = {};
    }
    auto next_id = static_cast<std::uint32_t>(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (!tick_streams_[k]) continue;
        const std::uint32_t t = next_id;
        std::vector<FeedEvent> both = tick_events_from_columns(*tick_streams_[k], static_cast<std::uint32_t>(k), t,
                                                               t + 1);
        tick_streams_[k].reset();
        std::vector<FeedEvent> trades;
        std::vector<FeedEvent> quotes;
        for (const FeedEvent& e : both) (e.kind == FeedEventKind::Trade ? trades : quotes).push_back(e);
        streams.push_back(std::move(trades));
        streams.push_back(std::move(quotes));
        next_id = t + 2;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (depth_streams_[k].empty()) continue;
        const std::uint32_t d = next_id++;
        std::vector<DepthSnapshot> snaps = std::move(depth_streams_[k]);
        depth_streams_[k] = {};
        std::vector<FeedEvent>& s = streams.emplace_back();
        s.reserve(snaps.size());
        for (const DepthSnapshot& snap : snaps) {
            const auto position = static_cast<double>(depth_store_.size());
            depth_store_.push_back(snap);
            s.push_back({FeedEventKind::Depth, snap.ts, {position, 0.0, 0.0, 0.0, 0.0}, static_cast<std::uint32_t>(k), d});
        }
    }
    merge_streams(streams, schedule_, local_counts_);
    sealed_ = true;
}

Status<OwnError> PortfolioSession::push_bar(std::uint64_t instrument, const OhlcvBar& bar) {
    if (auto ok = check_index(instrument); !ok) return ok;
    seal();
    append_entry(ScheduleKind::Bar, bar.timestamp, {bar.open, bar.high, bar.low, bar.close, bar.volume}, instrument,
                 schedule_, local_counts_);
    return Unit{};
}

Result<std::uint64_t, OwnError> PortfolioSession::push_tick(std::uint64_t instrument, std::int64_t timestamp,
                                                            const TickRow& row) {
    if (auto ok = check_index(instrument); !ok) return err(ok.error());
    std::uint64_t appended = 0;
    if (auto p = trade_payload(row)) {
        seal();
        append_entry(ScheduleKind::Trade, timestamp, *p, instrument, schedule_, local_counts_);
        ++appended;
    }
    if (auto p = quote_payload(row)) {
        seal();
        append_entry(ScheduleKind::Quote, timestamp, *p, instrument, schedule_, local_counts_);
        ++appended;
    }
    return appended;
}

Status<OwnError> PortfolioSession::push_depth(std::uint64_t instrument, DepthSnapshot snapshot) {
    if (auto ok = check_index(instrument); !ok) return ok;
    // Stored before the seal: the merge appends attached snapshots after it, and positions
    // already taken never move.
    const auto position = static_cast<double>(depth_store_.size());
    const std::int64_t ts = snapshot.ts;
    depth_store_.push_back(snapshot);
    seal();
    append_entry(ScheduleKind::Book, ts, {position, 0.0, 0.0, 0.0, 0.0}, instrument, schedule_, local_counts_);
    return Unit{};
}

const ScheduleEntry* PortfolioSession::pending() const noexcept {
    return cursor_ < schedule_.size() ? &schedule_[cursor_] : nullptr;
}

const DepthSnapshot& PortfolioSession::depth_snapshot(std::uint64_t position) const {
    base::check_index(position, depth_store_.size());
    return depth_store_[position];
}

bool PortfolioSession::is_halted() const noexcept {
    if (halted_) return true;
    return std::any_of(kernels_.begin(), kernels_.end(),
                       [](const Kernel& k) { return k.margin_call() || k.drawdown_halt(); });
}

}  // namespace tarnwick::runners
