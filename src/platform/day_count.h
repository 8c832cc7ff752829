// Date-times as day counts: days since 1899-12-30 00:00 with the time of day as the fraction
// (1970-01-01 00:00 is 25569.0). This is how the controller's clock value is defined, so the
// conversions work in this form and only the display turns it into calendar fields.
#pragma once

#include <cstdint>

namespace veldoran {

using DayCount = double;

inline constexpr DayCount kUnixEpochDayCount = 25569.0;

struct CalendarTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

// Day count of a calendar date-time (proleptic Gregorian).
DayCount EncodeDayCount(const CalendarTime& t);

// Calendar fields of a day count, the time of day rounded to the millisecond.
CalendarTime DecodeDayCount(DayCount t);

}  // namespace veldoran
