#include "platform/day_count.h"

#include <cmath>

namespace veldoran {
namespace {

// Days from 1970-01-01 to a civil date, and back (H. Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

constexpr std::int64_t kMsPerDay = 86'400'000;

}  // namespace

DayCount EncodeDayCount(const CalendarTime& t) {
  const std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  const std::int64_t ms =
      ((static_cast<std::int64_t>(t.hour) * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return static_cast<double>(days) + kUnixEpochDayCount + static_cast<double>(ms) / kMsPerDay;
}

CalendarTime DecodeDayCount(DayCount t) {
  // Whole milliseconds from the epoch of the day count, rounded: a value computed as
  // seconds / 86400 lands a hair off the second it stands for.
  const auto total_ms = static_cast<std::int64_t>(std::llround(t * kMsPerDay));
  std::int64_t days = total_ms / kMsPerDay;
  std::int64_t ms = total_ms % kMsPerDay;
  if (ms < 0) {  // before 1899-12-30: the fraction is still the time of day
    ms = -ms;
  }
  CalendarTime out;
  CivilFromDays(days - static_cast<std::int64_t>(kUnixEpochDayCount), out.year, out.month, out.day);
  out.hour = static_cast<int>(ms / 3'600'000);
  out.minute = static_cast<int>(ms / 60'000 % 60);
  out.second = static_cast<int>(ms / 1000 % 60);
  out.millisecond = static_cast<int>(ms % 1000);
  return out;
}

}  // namespace veldoran
