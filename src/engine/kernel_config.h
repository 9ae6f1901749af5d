// What a Kernel is built from, and the small closed sets it is configured with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/bar.h"
#include "domain/fees/fee_model.h"
#include "domain/instrument_config.h"
#include "domain/instrument_spec.h"

namespace tarnwick::engine {

enum class AccountType : std::uint8_t { Cash = 0, Margin = 1 };
std::string_view name(AccountType t) noexcept;  // "cash" / "margin"

struct AccountSetup {
    AccountType type = AccountType::Cash;
    double leverage = 1.0;
};
// "cash" or "margin" (exact). A margin account's leverage must be finite and above 0
// (`domain::check_positive`); a cash account ignores the leverage given and carries 1.0.
base::Result<AccountSetup, base::OwnError> parse_account_type(std::string_view text, double leverage);

enum class OmsType : std::uint8_t { Netting = 0, Hedging = 1 };
std::string_view name(OmsType t) noexcept;  // "netting" / "hedging"
// Exact match, nothing trimmed.
base::Result<OmsType, base::OwnError> parse_oms_type(std::string_view text);

// The bar price at which signal entries, signal exits and requested closes execute.
enum class PriceSource : std::uint8_t {
    Close = 0,
    Open = 1,
    Ohlc4 = 2,       // (open + high + low + close) * 0.25
    Hlc3 = 3,        // (high + low + close) / 3
    Hlc3Alt = 4,     // same as Hlc3
    Adverse = 5,     // long enters at the high, exits at the low; short the reverse
    Favourable = 6,  // long enters at the low, exits at the high; short the reverse
};

// The table price for a fill of `direction` that opens (true) or closes a position.
double reference_price(PriceSource source, const domain::OhlcvBar& bar, int direction, bool opening) noexcept;

// Open for the timings that act at a bar's open, close for same-bar-close.
PriceSource price_source_for(domain::FillTiming timing) noexcept;

// Price slippage of ledger fills: none; amount x reference price; a fixed amount (two
// codes); amount / (1 + volume x scale) when the bar's volume is above 0.
enum class SlippageKind : std::uint8_t { None = 0, Fraction = 1, Fixed = 2, VolumeScaled = 3, FixedAlt = 4 };

struct SlippageModel {
    SlippageKind kind = SlippageKind::None;
    double amount = 0.0;
    double scale = 0.0;

    double amount_for(double reference, double volume) const noexcept;
    // Enabled exactly when apply_slippage is set and slippage is above 0 (fraction kind).
    static SlippageModel from_config(const domain::BacktestConfig& cfg) noexcept;
};

struct KernelConfig {
    domain::BacktestConfig config;
    std::string symbol;
    std::int8_t direction = 1;  // side of signal entries: 1 long, -1 short
    PriceSource price_source = PriceSource::Close;
    SlippageModel slippage;
    std::optional<domain::InstrumentConfig> instrument_config;
    domain::FeeModel fee_model = domain::FeeModel::fraction(0.001);
    AccountType account_type = AccountType::Cash;
    double leverage = 1.0;
    std::optional<domain::InstrumentSpec> instrument;
    OmsType oms = OmsType::Netting;

    // The configuration a single-instrument session derives from a BacktestConfig: the
    // fee model it resolves, the slippage model of `from_config` and the price source of
    // the effective fill timing.
    static KernelConfig for_session(const domain::BacktestConfig& cfg, std::string symbol, std::int8_t direction,
                                    std::optional<domain::InstrumentConfig> instrument_config = std::nullopt);
};

}  // namespace tarnwick::engine
