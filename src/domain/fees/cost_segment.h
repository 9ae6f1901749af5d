// The eight Indian market cost schedules. Both the execution kernel's fee model and the
// analytics' cost export and rebalance simulation read the rates from here, so the two
// can never drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "domain/trade_record.h"

namespace tarnwick::domain {

enum class CostSegment : std::uint8_t {
    EquityIntraday = 0,
    EquityDelivery = 1,
    FuturesNfo = 2,
    OptionsNfo = 3,
    FuturesMcx = 4,
    OptionsMcx = 5,
    FuturesCds = 6,
    OptionsCds = 7,
};

inline constexpr std::size_t kCostSegmentCount = 8;

// Snake-case name: "equity_intraday", "options_nfo", ...
std::string_view name(CostSegment segment) noexcept;

// The segment name with its ASCII letters lower-cased, matched exactly against the eight
// names; nothing is trimmed. Fails with "unknown segment '<lower-cased text>'; expected
// one of ...".
base::Result<CostSegment, base::OwnError> parse_cost_segment(std::string_view text);

// Rates of one segment. Every rate is a fraction of traded value, except brokerage_flat,
// an amount per fill (trade leg) in the price currency.
struct CostSchedule {
    double brokerage_flat;
    double brokerage_rate;  // > 0: brokerage = min(rate x value, flat); 0: brokerage = flat
    double stt_rate;        // securities (commodities for MCX) transaction tax
    double exchange_txn_rate;
    double stamp_duty_rate;
};

// Charges common to every segment.
inline constexpr double kSebiTurnoverRate = 1e-06;       // fraction of traded value
inline constexpr double kGstRate = 0.18;                 // on brokerage + exchange + SEBI
inline constexpr double kDpSellChargePerIsinPerDay = 15.34;  // price currency

const CostSchedule& cost_schedule(CostSegment segment) noexcept;

// The six charges of one fill of absolute traded value `value` on the given side. Only
// the sell side pays transaction tax (both sides under equity delivery); only the buy
// side pays stamp duty.
FeeBreakdown segment_fill_charges(CostSegment segment, double value, bool is_buy) noexcept;

// The charge of one fill, its lines added in the schedule's own order:
// stt + brokerage + exchange_txn + sebi_fee + stamp_duty + gst.
constexpr double fill_total(const FeeBreakdown& b) noexcept {
    return b.stt + b.brokerage + b.exchange_txn + b.sebi_fee + b.stamp_duty + b.gst;
}

}  // namespace tarnwick::domain
