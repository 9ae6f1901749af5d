#include "data/aggregate/calendar_bar_builder.h"

#include "base/fault.h"
#include "data/aggregate/wide_time.h"

namespace tarnwick::data::aggregate {

using base::fault;

namespace {

constexpr std::int64_t kDayNs = 86'400'000'000'000;

constexpr std::int64_t floor_div64(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if (a % b != 0 && a < 0) --q;
    return q;
}

}  // namespace

CivilDate civil_from_days(std::int64_t days) noexcept {
    const std::int64_t z = days + 719'468;  // days since 0000-03-01
    const std::int64_t era = floor_div64(z, 146'097);
    const std::int64_t doe = z - era * 146'097;                                       // [0, 146096]
    const std::int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;  // [0, 399]
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                 // [0, 365]
    const std::int64_t mp = (5 * doy + 2) / 153;                                      // March = 0
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = floor_div64(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = month > 2 ? month - 3 : month + 9;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + doe - 719'468;
}

CalendarBarBuilder::CalendarBarBuilder(std::uint32_t step, CalendarPeriod period, std::int64_t align_offset_ns)
    : step_(step), period_(period), align_offset_ns_(align_offset_ns) {
    if (step_ == 0) fault("calendar bar step must be positive");
}

std::int64_t CalendarBarBuilder::first_day(std::int64_t key) const noexcept {
    switch (period_) {
        case CalendarPeriod::Year: return days_from_civil(key, 1, 1);
        case CalendarPeriod::Month: {
            const std::int64_t year = floor_div64(key, 12);
            return days_from_civil(year, static_cast<unsigned>(key - year * 12) + 1, 1);
        }
    }
    return 0;
}

ClockWindow CalendarBarBuilder::window_of(std::int64_t t) const noexcept {
    // The shifted timestamp may leave 64 bits; its day number never does.
    const auto days = static_cast<std::int64_t>(floor_div(WideNs{t} + align_offset_ns_, kDayNs));
    const CivilDate date = civil_from_days(days);
    const std::int64_t key = period_ == CalendarPeriod::Year ? date.year : date.year * 12 + (date.month - 1);
    const std::int64_t bucket = floor_div64(key, step_);
    // bucket * step and (bucket + 1) * step stay far inside 64 bits: |bucket| <= |key| / step.
    const auto step = static_cast<std::int64_t>(step_);
    const WideNs first = WideNs{first_day(bucket * step)} * kDayNs - align_offset_ns_;
    const WideNs end = WideNs{first_day((bucket + 1) * step)} * kDayNs - align_offset_ns_;
    return {saturate_ns(first), saturate_ns(end - 1), saturate_ns(end)};
}

}  // namespace tarnwick::data::aggregate
