// Market definition of one instrument: its family, quantity and price grids, contract
// multiplier, margin and fee rates, and the times between which it trades. A kernel only
// ever receives a spec that passed the checks of the constructors below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::domain {

enum class OptionRight : std::uint8_t { Call, Put };

std::string_view name(OptionRight right) noexcept;  // "call" / "put"
// ASCII capitals are lower-cased first; "c", "ce", "call", "p", "pe", "put" are accepted.
base::Result<OptionRight, base::OwnError> parse_option_right(std::string_view text);

enum class InstrumentKindTag : std::uint8_t { Cash, CurrencyPair, Contract, Option, Index };

std::string_view name(InstrumentKindTag tag) noexcept;          // "cash", "currency_pair", ...
std::string_view variant_name(InstrumentKindTag tag) noexcept;  // "Cash", "CurrencyPair", ...

// The family with the data only some families carry: the underlying for contracts and
// options, strike/right/binary for options.
struct InstrumentKind {
    InstrumentKindTag tag = InstrumentKindTag::Cash;
    double strike = 0.0;                   // Option only
    OptionRight right = OptionRight::Call;  // Option only
    bool binary = false;                   // Option only: pays 1.0 when in the money
    std::optional<std::string> underlying;  // Contract and Option only
};

// Rates are fractions of notional; times are nanoseconds since the Unix epoch.
struct InstrumentSpec {
    std::string symbol;
    InstrumentKind kind;
    double settlement_fee = 0.0;   // fraction of settlement value charged at expiry
    double price_increment = 0.0;  // 0 = no price grid
    double size_increment = 0.0;   // 0 = no quantity grid
    double lot_size = 1.0;         // never stored as 0 or below by a constructor
    double multiplier = 1.0;       // value per unit = price x multiplier
    double margin_init = 0.0;
    double span_pct = 0.0;      // deposit fraction against a sold option (0 = not modelled)
    double exposure_pct = 0.0;  // exposure margin fraction against a sold option
    double margin_maint = 0.0;
    double maker_fee = 0.0;  // carried for callers; the kernel's fee model does not read it
    double taker_fee = 0.0;
    std::optional<std::int64_t> activation_ns;
    std::optional<std::int64_t> expiration_ns;

    bool tradable() const noexcept { return kind.tag != InstrumentKindTag::Index; }
    bool is_option() const noexcept { return kind.tag == InstrumentKindTag::Option; }
    std::optional<double> strike() const noexcept {
        return is_option() ? std::optional<double>(kind.strike) : std::nullopt;
    }
    std::optional<OptionRight> right() const noexcept {
        return is_option() ? std::optional<OptionRight>(kind.right) : std::nullopt;
    }
    std::optional<std::string> underlying() const {
        if (kind.tag == InstrumentKindTag::Contract || kind.tag == InstrumentKindTag::Option) return kind.underlying;
        return std::nullopt;
    }
    // The multiplier the kernel values positions with: the instrument's own when above 0.
    double effective_multiplier() const noexcept { return multiplier > 0.0 ? multiplier : 1.0; }
    // Short options whose deposit is modelled from the strike rather than the premium.
    bool has_option_short_margin() const noexcept { return is_option() && span_pct + exposure_pct > 0.0; }

    // What every tradable kind is given alike: the symbol, the grids all of them have,
    // the margins and the fees.
    struct Terms {
        std::string symbol{};
        double price_increment = 0.0;
        double lot_size = 1.0;
        double margin_init = 0.0;
        double margin_maint = 0.0;
        double maker_fee = 0.0;
        double taker_fee = 0.0;
    };
    // Cash equities and currency pairs add a quantity grid.
    struct SpotArgs {
        Terms terms;
        double size_increment = 0.0;
    };
    using EquityArgs = SpotArgs;
    using CurrencyPairArgs = SpotArgs;
    struct FuturesArgs {
        Terms terms;
        std::int64_t expiration_ns = 0;
        double multiplier = 1.0;
        std::optional<std::string> underlying{};
        std::optional<std::int64_t> activation_ns{};
    };
    struct PerpetualArgs {
        Terms terms;
        double multiplier = 1.0;
        double size_increment = 0.0;
        std::optional<std::string> underlying{};
    };
    struct OptionArgs {
        Terms terms;
        double strike = 0.0;
        std::string right{};
        std::int64_t expiration_ns = 0;
        double multiplier = 1.0;
        std::optional<std::string> underlying{};
        bool binary = false;
        std::optional<std::int64_t> activation_ns{};
        double span_pct = 0.0;
        double exposure_pct = 0.0;
    };

    // Each fails with the text of the first check that does not pass. Comparisons are
    // made exactly as stated, so a NaN passes them (a NaN lot size is stored as 1.0).
    static base::Result<InstrumentSpec, base::OwnError> equity(EquityArgs a);
    static base::Result<InstrumentSpec, base::OwnError> futures_contract(FuturesArgs a);
    static base::Result<InstrumentSpec, base::OwnError> perpetual(PerpetualArgs a);
    static base::Result<InstrumentSpec, base::OwnError> option(OptionArgs a);
    static base::Result<InstrumentSpec, base::OwnError> currency_pair(CurrencyPairArgs a);
    static base::Result<InstrumentSpec, base::OwnError> index(std::string symbol, double price_increment = 0.0);
};

// Grid helpers shared by the fill paths. A value within a relative 1e-9 of a grid multiple
// is taken as that multiple, so accumulated rounding never loses a whole step.
//
// Quantity on the size grid: the tolerant nearest multiple, otherwise rounded down.
double snap_size_to_increment(double quantity, double increment) noexcept;
// Price on the price grid: the tolerant nearest multiple, otherwise rounded down for a
// long position's level and up for a short's (direction 1 or -1).
double snap_price_to_increment(double price, double increment, int direction) noexcept;

}  // namespace tarnwick::domain
