#include "domain/fees/cost_segment.h"

#include <string>

#include "base/format.h"
#include "base/text.h"

namespace tarnwick::domain {

using base::OwnError;
using base::Result;
using base::ascii_lower;
using base::err;

namespace {

// Indexed by the segment's code.
constexpr std::array<CostSchedule, kCostSegmentCount> kSchedules = {{
    // flat   rate     stt      exchange    stamp
    {20.0, 0.0003, 0.00025, 3.07e-05, 3e-05},    // equity_intraday
    {0.0, 0.0, 0.001, 3.07e-05, 0.00015},        // equity_delivery
    {20.0, 0.0003, 0.0005, 1.83e-05, 2e-05},     // futures_nfo
    {20.0, 0.0, 0.0015, 0.0003553, 3e-05},       // options_nfo
    {20.0, 0.0003, 0.0001, 2.1e-05, 2e-05},      // futures_mcx
    {20.0, 0.0, 0.0005, 0.000418, 3e-05},        // options_mcx
    {20.0, 0.0003, 0.0, 3.5e-06, 1e-06},         // futures_cds
    {20.0, 0.0, 0.0, 0.000311, 1e-06},           // options_cds
}};

constexpr std::array<std::string_view, kCostSegmentCount> kNames = {
    "equity_intraday", "equity_delivery", "futures_nfo", "options_nfo",
    "futures_mcx",     "options_mcx",     "futures_cds", "options_cds",
};

}  // namespace

std::string_view name(CostSegment segment) noexcept {
    switch (segment) {
        case CostSegment::EquityIntraday:
        case CostSegment::EquityDelivery:
        case CostSegment::FuturesNfo:
        case CostSegment::OptionsNfo:
        case CostSegment::FuturesMcx:
        case CostSegment::OptionsMcx:
        case CostSegment::FuturesCds:
        case CostSegment::OptionsCds:
            return kNames[static_cast<std::size_t>(segment)];
    }
    return kNames[0];
}

Result<CostSegment, OwnError> parse_cost_segment(std::string_view text) {
    const std::string lower = ascii_lower(text);
    for (std::size_t i = 0; i < kCostSegmentCount; ++i) {
        if (lower == kNames[i]) return static_cast<CostSegment>(i);
    }
    // The accepted list names equity_delivery first, as users know it from the analytics.
    return err(OwnError{
        base::fmt::format("unknown segment '{}'; expected one of equity_delivery, equity_intraday, futures_nfo, "
                          "options_nfo, futures_mcx, options_mcx, futures_cds, options_cds",
                          lower)});
}

const CostSchedule& cost_schedule(CostSegment segment) noexcept {
    return kSchedules[static_cast<std::size_t>(segment) % kCostSegmentCount];
}

FeeBreakdown segment_fill_charges(CostSegment segment, double value, bool is_buy) noexcept {
    const CostSchedule& s = cost_schedule(segment);
    FeeBreakdown b;
    b.brokerage = s.brokerage_rate > 0.0
                      ? (value * s.brokerage_rate < s.brokerage_flat ? value * s.brokerage_rate
                                                                     : s.brokerage_flat)
                      : s.brokerage_flat;
    const bool taxed_side = !is_buy || segment == CostSegment::EquityDelivery;
    // Segments without the tax charge exactly nothing, even on a non-finite value.
    b.stt = taxed_side && s.stt_rate != 0.0 ? value * s.stt_rate : 0.0;
    b.exchange_txn = value * s.exchange_txn_rate;
    b.sebi_fee = value * kSebiTurnoverRate;
    b.stamp_duty = is_buy ? value * s.stamp_duty_rate : 0.0;
    b.gst = (b.brokerage + b.exchange_txn + b.sebi_fee) * kGstRate;
    return b;
}

}  // namespace tarnwick::domain
