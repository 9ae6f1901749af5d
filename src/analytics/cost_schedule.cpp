#include "analytics/cost_schedule.h"

namespace tarnwick::analytics {

using domain::CostSchedule;
using domain::CostSegment;
using domain::cost_schedule;
using domain::kDpSellChargePerIsinPerDay;
using domain::kGstRate;
using domain::kSebiTurnoverRate;

std::array<NamedRate, kScheduleEntryCount> schedule_entries(CostSegment segment) noexcept {
    const CostSchedule& s = cost_schedule(segment);
    return {{
        {"brokerage_flat", s.brokerage_flat},
        {"brokerage_rate", s.brokerage_rate},
        {"stt_rate", s.stt_rate},
        {"exchange_txn_rate", s.exchange_txn_rate},
        {"sebi_turnover_rate", kSebiTurnoverRate},
        {"stamp_duty_rate", s.stamp_duty_rate},
        {"gst_rate", kGstRate},
        {"dp_sell_charge_per_isin_per_day", kDpSellChargePerIsinPerDay},
    }};
}

}  // namespace tarnwick::analytics
