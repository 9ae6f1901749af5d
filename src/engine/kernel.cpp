#include "engine/kernel.h"

#include <algorithm>
#include <cmath>

#include "base/format.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using domain::BacktestConfig;
using domain::InstrumentConfig;
using domain::InstrumentSpec;

namespace {

double ledger_multiplier(const std::optional<InstrumentSpec>& spec) {
    return spec && spec->multiplier > 0.0 ? spec->multiplier : 1.0;
}

}  // namespace

Kernel::Kernel(KernelConfig cfg) : cfg_(std::move(cfg)) {
    const BacktestConfig& bc = cfg_.config;
    cash_ = bc.initial_capital;
    fill_timing_ = bc.effective_fill_timing();
    order_latency_ns_ = std::max<std::int64_t>(bc.order_latency_ns, 0);
    stop_rule_ = bc.stop;
    target_rule_ = bc.target;
    if (cfg_.instrument_config) {
        const InstrumentConfig& ic = *cfg_.instrument_config;
        if (ic.stop) stop_rule_ = ic.stop;
        if (ic.target) target_rule_ = ic.target;
        lot_size_ = ic.lot_size;
        alloted_capital_ = ic.alloted_capital;
    }
    if (cfg_.instrument) {
        const double spec_lot = cfg_.instrument->lot_size;
        if (!lot_size_ && spec_lot > 0.0 && spec_lot != 1.0) lot_size_ = spec_lot;
    }
    account_type_ = cfg_.account_type;
    leverage_ = cfg_.leverage;
    ledger_ = Ledger(cfg_.symbol, ledger_multiplier(cfg_.instrument), cfg_.oms == OmsType::Hedging);
    fill_random_ = FillRandom(bc.fill_seed);
    events_.reserve(16);
    pending_.reserve(8);
    scratch_ids_.reserve(4);
}

double Kernel::effective_multiplier() const noexcept { return ledger_multiplier(cfg_.instrument); }

std::vector<PositionSnapshot> Kernel::positions() const {
    std::vector<PositionSnapshot> out;
    out.reserve(ledger_.size());
    for (const auto& p : ledger_.positions()) out.push_back(PositionSnapshot::of(p));
    return out;
}

std::optional<PositionSnapshot> Kernel::position() const {
    if (ledger_.empty()) return std::nullopt;
    return PositionSnapshot::of(ledger_.positions().front());
}

namespace {

// The position a level setter addresses: the given id (which must be open) or the earliest.
Result<Position*, OwnError> level_target(Ledger& ledger, std::optional<std::uint64_t> position_id) {
    if (position_id) {
        Position* p = ledger.find(*position_id);
        if (!p) return err(OwnError{base::fmt::format("unknown position id {}", *position_id)});
        return p;
    }
    if (ledger.empty()) return static_cast<Position*>(nullptr);
    return ledger.find(ledger.positions().front().position_id);
}

}  // namespace

Status<OwnError> Kernel::set_stop_price(std::optional<double> price, std::optional<std::uint64_t> position_id) {
    auto p = level_target(ledger_, position_id);
    if (!p) return err(p.error());
    if (*p) (*p)->stop_price = price;
    return Unit{};
}

Status<OwnError> Kernel::set_target_price(std::optional<double> price, std::optional<std::uint64_t> position_id) {
    auto p = level_target(ledger_, position_id);
    if (!p) return err(p.error());
    if (*p) (*p)->target_price = price;
    return Unit{};
}

Result<std::uint64_t, OwnError> Kernel::adopt_position(std::int64_t timestamp, double price, double size) {
    if (!(price > 0.0 && size > 0.0) || !std::isfinite(price) || !std::isfinite(size)) {
        return err(OwnError{
            base::fmt::format("adopt_position needs positive price and size (got size {} @ {})", size, price)});
    }
    double rate = 1.0;
    if (account_type_ == AccountType::Margin) {
        bool from_instrument = false;
        rate = margin_rate(&from_instrument);
        if (rate < 1.0) {
            return err(OwnError{base::fmt::format(
                "adopt_position requires a cash or fully funded account (initial margin rate {} < 1.0); posted "
                "margin on a broker-held position is not derivable under leverage",
                rate)});
        }
    }
    if (!ledger_.accepts_new_position()) {
        return err(OwnError{"ledger refused adoption: a position is already open"});
    }
    Position p;
    p.entry_price = price;
    p.size = size;
    p.entry_time = timestamp;
    p.direction = 1;
    p.highest_price = price;
    p.lowest_price = price;
    const std::uint64_t id = ledger_.add(std::move(p));
    // Until a bar or print comes, the adoption price is the last price known.
    if (!last_mark_) last_mark_ = price;
    const double notional = price * size * effective_multiplier();
    if (account_type_ == AccountType::Margin) {
        set_locked_margin(id, rate * notional);
    } else {
        cash_ -= notional;
    }
    return id;
}

std::vector<KernelEvent> Kernel::take_pending_events() {
    std::vector<KernelEvent> out;
    out.swap(pending_);
    pending_.reserve(8);
    return out;
}

void Kernel::apply_quote(std::int64_t timestamp, double bid, double bid_size, double ask, double ask_size) {
    book_.apply_quote(timestamp, bid, bid_size, ask, ask_size);
    if (cfg_.config.queue_fill_model) queues_.on_quote(book_);
}

void Kernel::apply_depth(std::int64_t timestamp, std::span<const double> bid_prices,
                         std::span<const double> bid_sizes, std::span<const double> ask_prices,
                         std::span<const double> ask_sizes) {
    book_.apply_depth(timestamp, bid_prices, bid_sizes, ask_prices, ask_sizes);
}

}  // namespace tarnwick::engine
