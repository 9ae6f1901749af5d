#include "engine/kernel_config.h"

#include <string>
#include <utility>

#include "base/format.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::err;
using domain::BacktestConfig;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::OhlcvBar;
using domain::resolve_fee_model;

std::string_view name(AccountType t) noexcept {
    switch (t) {
        case AccountType::Cash: return "cash";
        case AccountType::Margin: return "margin";
    }
    return "cash";
}

Result<AccountSetup, OwnError> parse_account_type(std::string_view text, double leverage) {
    AccountType type;
    if (text == "cash") {
        type = AccountType::Cash;
    } else if (text == "margin") {
        type = AccountType::Margin;
    } else {
        return err(OwnError{"account_type must be 'cash' or 'margin', got " + base::fmt::quoted(text)});
    }
    // A cash account borrows nothing: whatever leverage comes with it is ignored.
    if (type == AccountType::Cash) return AccountSetup{type, 1.0};
    if (auto ok = domain::check_positive("leverage", leverage); !ok) return err(std::move(ok).error());
    return AccountSetup{type, leverage};
}

std::string_view name(OmsType t) noexcept {
    switch (t) {
        case OmsType::Netting: return "netting";
        case OmsType::Hedging: return "hedging";
    }
    return "netting";
}

Result<OmsType, OwnError> parse_oms_type(std::string_view text) {
    if (text == "netting") return OmsType::Netting;
    if (text == "hedging") return OmsType::Hedging;
    return err(OwnError{"oms_type must be 'netting' or 'hedging', got " + std::string(text)});
}

double reference_price(PriceSource source, const OhlcvBar& bar, int direction, bool opening) noexcept {
    // A buy is an opening long or a closing short; the adverse extreme of a buy is the high.
    const bool buy = (direction > 0) == opening;
    switch (source) {
        case PriceSource::Close: return bar.close;
        case PriceSource::Open: return bar.open;
        case PriceSource::Ohlc4: return (bar.open + bar.high + bar.low + bar.close) * 0.25;
        case PriceSource::Hlc3:
        case PriceSource::Hlc3Alt: return (bar.high + bar.low + bar.close) / 3.0;
        case PriceSource::Adverse: return buy ? bar.high : bar.low;
        case PriceSource::Favourable: return buy ? bar.low : bar.high;
    }
    return bar.close;
}

PriceSource price_source_for(FillTiming timing) noexcept {
    switch (timing) {
        case FillTiming::SameBarClose: return PriceSource::Close;
        case FillTiming::NextBarOpen:
        case FillTiming::SameBarOpenLookahead: return PriceSource::Open;
    }
    return PriceSource::Close;
}

double SlippageModel::amount_for(double reference, double volume) const noexcept {
    switch (kind) {
        case SlippageKind::None: return 0.0;
        case SlippageKind::Fraction: return amount * reference;
        case SlippageKind::Fixed:
        case SlippageKind::FixedAlt: return amount;
        case SlippageKind::VolumeScaled: return volume > 0.0 ? amount / (1.0 + volume * scale) : amount;
    }
    return 0.0;
}

SlippageModel SlippageModel::from_config(const BacktestConfig& cfg) noexcept {
    if (cfg.apply_slippage && cfg.slippage > 0.0) return SlippageModel{SlippageKind::Fraction, cfg.slippage, 0.0};
    return SlippageModel{};
}

KernelConfig KernelConfig::for_session(const BacktestConfig& cfg, std::string symbol, std::int8_t direction,
                                       std::optional<InstrumentConfig> instrument_config) {
    KernelConfig k;
    k.config = cfg;
    k.symbol = std::move(symbol);
    k.direction = direction;
    k.price_source = price_source_for(cfg.effective_fill_timing());
    k.slippage = SlippageModel::from_config(cfg);
    k.fee_model = resolve_fee_model(cfg);
    k.instrument_config = std::move(instrument_config);
    return k;
}

}  // namespace tarnwick::engine
