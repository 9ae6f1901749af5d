// The one configuration record of every backtest and session. Engines copy it
// whole when they are built, so later changes affect only what is built afterwards.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::domain {

enum class FillTiming : std::uint8_t {
    SameBarClose,
    NextBarOpen,
    SameBarOpenLookahead,  // the older look-ahead timing, kept only to reproduce old results
};

std::string_view name(FillTiming t);
// Trims Unicode white space, then matches the three names exactly (case-sensitive).
base::Result<FillTiming, base::OwnError> parse_fill_timing(std::string_view text);

struct StopRule {
    enum class Kind : std::uint8_t { Fixed, Trailing, Atr };
    Kind kind;
    double value;              // percent for Fixed and Trailing, multiplier for Atr
    std::uint64_t period = 0;  // Atr only

    static StopRule fixed(double percent) { return {Kind::Fixed, percent, 0}; }
    static StopRule trailing(double percent) { return {Kind::Trailing, percent, 0}; }
    static StopRule atr(double multiplier, std::uint64_t period) { return {Kind::Atr, multiplier, period}; }

    // The same rules with the percent or multiplier passed through `check_positive` under
    // its own name ("multiplier must be finite and above 0, got 0"), and an ATR rule's
    // period through `check_atr_period`.
    static base::Result<StopRule, base::OwnError> checked_fixed(double percent);
    static base::Result<StopRule, base::OwnError> checked_trailing(double percent);
    static base::Result<StopRule, base::OwnError> checked_atr(double multiplier, std::uint64_t period);
};

struct TargetRule {
    enum class Kind : std::uint8_t { Fixed, Atr, RiskReward };
    Kind kind;
    double value;              // percent for Fixed, multiplier for Atr, ratio for RiskReward
    std::uint64_t period = 0;  // Atr only

    static TargetRule fixed(double percent) { return {Kind::Fixed, percent, 0}; }
    static TargetRule atr(double multiplier, std::uint64_t period) { return {Kind::Atr, multiplier, period}; }
    static TargetRule risk_reward(double ratio) { return {Kind::RiskReward, ratio, 0}; }

    // As StopRule's: the percent, multiplier or ratio checked under its own name, and an
    // ATR rule's period.
    static base::Result<TargetRule, base::OwnError> checked_fixed(double percent);
    static base::Result<TargetRule, base::OwnError> checked_atr(double multiplier, std::uint64_t period);
    static base::Result<TargetRule, base::OwnError> checked_risk_reward(double ratio);
};

// Fractions are plain fractions (0.001 = 0.1%); `_pct` fields are percent; times are
// nanoseconds. Only the starting capital, the fields that turn into money at every fill
// (`check_money_fields`) and the parameters of the stop and target rules
// (`check_positive` and `check_atr_period`, through the rules' checked factories) are
// range-checked; every other value is stored as given.
struct BacktestConfig {
    double initial_capital = 100000.0;
    double fees = 0.001;
    double slippage = 0.0;
    bool upon_bar_close = true;  // used only while fill_timing is unset
    bool apply_slippage = true;
    std::optional<double> periods_per_year;
    double risk_free_rate = 0.0;
    std::optional<double> session_minutes;
    std::optional<std::string> fee_segment;
    std::optional<std::uint64_t> max_positions;
    std::optional<double> max_drawdown_pct;
    bool legacy_annualization = false;
    double fill_prob_limit = 1.0;
    double fill_prob_slippage = 0.0;
    bool queue_fill_model = false;
    bool partial_fills = false;
    std::int64_t order_latency_ns = 0;
    std::int64_t session_tz_offset_ns = 0;
    std::optional<std::uint32_t> squareoff_time_minutes;  // minutes from local midnight, 0..1439
    double limit_slippage = 0.0;
    bool liquidate_on_margin_call = false;
    std::uint64_t fill_seed = 0;
    bool bar_path_adaptive = false;
    std::optional<FillTiming> fill_timing;
    std::optional<StopRule> stop;
    std::optional<TargetRule> target;

    // An explicit fill_timing wins; otherwise the deprecated upon_bar_close flag decides.
    FillTiming effective_fill_timing() const {
        if (fill_timing) return *fill_timing;
        return upon_bar_close ? FillTiming::SameBarClose : FillTiming::NextBarOpen;
    }
};

// The fields every fill prices with, refused where they would make nonsense money; each
// message names the field and the value. Fees are finite and within (-1, 1): below 0 they
// are a rebate, and at 1 a fill costs its whole value again; a slippage fraction is finite
// and within (-1, 1), so a fill price stays above 0; a probability is a number in [0, 1].
base::Status<base::OwnError> check_fees(double fees);
base::Status<base::OwnError> check_slippage_fraction(std::string_view field, double value);
base::Status<base::OwnError> check_probability(std::string_view field, double value);
// A value that only means something above 0: a starting capital (at 0 every return is
// 0 / 0), a margin account's leverage (at infinity the margin rate is 0 and a position
// costs nothing to hold), or a stop or target rule's percent, ratio or multiplier (at 0 or
// below the level sits at or beyond the entry price and fires on the entry bar). 1 and
// above stay accepted: a short's stop may lie more than 100 % above its entry.
base::Status<base::OwnError> check_positive(std::string_view field, double value);
// What check_positive accepts, without the message.
constexpr bool is_positive(double value) { return value > 0.0 && value <= std::numeric_limits<double>::max(); }
// An ATR rule's period in bars, at least 1: over 0 bars the ATR is all zeros, so the level
// sits on the entry price and the rule never fires.
base::Status<base::OwnError> check_atr_period(std::uint64_t period);

namespace detail {
template <class Rule>
inline base::Result<Rule, base::OwnError> checked_rule(std::string_view field, double value, Rule rule) {
    if (is_positive(value)) return rule;
    return base::err(std::move(check_positive(field, value)).error());
}
// The multiplier is refused before the period, in the order the installers take them.
template <class Rule>
inline base::Result<Rule, base::OwnError> checked_atr_rule(double multiplier, std::uint64_t period, Rule rule) {
    if (is_positive(multiplier) && period > 0) return rule;
    if (!is_positive(multiplier)) return base::err(std::move(check_positive("multiplier", multiplier)).error());
    return base::err(std::move(check_atr_period(period)).error());
}
}  // namespace detail

// Defined here so that a caller sees the rule built in place and calls out only to word a
// refusal: setting a rule from Python costs no more than the plain factory.
inline base::Result<StopRule, base::OwnError> StopRule::checked_fixed(double percent) {
    return detail::checked_rule("percent", percent, fixed(percent));
}
inline base::Result<StopRule, base::OwnError> StopRule::checked_trailing(double percent) {
    return detail::checked_rule("percent", percent, trailing(percent));
}
inline base::Result<StopRule, base::OwnError> StopRule::checked_atr(double multiplier, std::uint64_t period) {
    return detail::checked_atr_rule(multiplier, period, atr(multiplier, period));
}
inline base::Result<TargetRule, base::OwnError> TargetRule::checked_fixed(double percent) {
    return detail::checked_rule("percent", percent, fixed(percent));
}
inline base::Result<TargetRule, base::OwnError> TargetRule::checked_atr(double multiplier, std::uint64_t period) {
    return detail::checked_atr_rule(multiplier, period, atr(multiplier, period));
}
inline base::Result<TargetRule, base::OwnError> TargetRule::checked_risk_reward(double ratio) {
    return detail::checked_rule("ratio", ratio, risk_reward(ratio));
}
// initial_capital, fees, slippage, limit_slippage and fill_prob_slippage, in that order.
base::Status<base::OwnError> check_money_fields(const BacktestConfig& config);

// "HH:MM" (24-hour, local time) -> minutes from midnight.
base::Result<std::uint32_t, base::OwnError> parse_squareoff_time(std::string_view text);

// Unicode White_Space trimmed from both ends of UTF-8 text.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace tarnwick::domain
