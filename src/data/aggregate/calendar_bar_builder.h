// Calendar month and year bars in the proleptic Gregorian calendar of an offset clock.
// Buckets are whole multiples of `step` months counted from January of year 0 (step 3
// gives quarters) or of `step` years; a bar is stamped with the first instant of the
// next bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "data/aggregate/clock_bars.h"

namespace tarnwick::data::aggregate {

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

// Day 0 is 1970-01-01; eras of 146,097 days.
CivilDate civil_from_days(std::int64_t days) noexcept;
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept;

enum class CalendarPeriod : std::uint8_t { Month, Year };

class CalendarBarBuilder final : public ClockBarBuilder<CalendarBarBuilder> {
public:
    // step >= 1.
    CalendarBarBuilder(std::uint32_t step, CalendarPeriod period, std::int64_t align_offset_ns);

    // The bucket holding timestamp t, from its first instant to the first of the next.
    ClockWindow window_of(std::int64_t t) const noexcept;

private:
    // The day number of the first day of the period numbered `key` (months from January
    // of year 0, or years).
    std::int64_t first_day(std::int64_t key) const noexcept;

    std::uint32_t step_;
    CalendarPeriod period_;
    std::int64_t align_offset_ns_;
};

}  // namespace tarnwick::data::aggregate
