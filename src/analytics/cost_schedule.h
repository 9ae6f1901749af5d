// One cost segment's schedule as named rates: the export callers check their own cost
// models against. The rates themselves live with the fee models (core/fees/cost_segment.h).
#pragma once

#include <array>
#include <string_view>

#include "domain/fees/cost_segment.h"

namespace tarnwick::analytics {

struct NamedRate {
    std::string_view key;
    double value;
};

inline constexpr std::size_t kScheduleEntryCount = 8;

// brokerage_flat, brokerage_rate, stt_rate, exchange_txn_rate, sebi_turnover_rate,
// stamp_duty_rate, gst_rate, dp_sell_charge_per_isin_per_day.
std::array<NamedRate, kScheduleEntryCount> schedule_entries(domain::CostSegment segment) noexcept;

}  // namespace tarnwick::analytics
