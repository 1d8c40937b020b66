#include "ui/date_time.h"

namespace {

constexpr uint32_t SECONDS_PER_DAY = 86400;
constexpr uint32_t DAYS_PER_CYCLE = 1461;  // a leap year and three common years
constexpr uint32_t DAYS_PER_LEAP_YEAR = 366;
constexpr uint32_t DAYS_PER_COMMON_YEAR = 365;

// Days before the start of each month, for months 1..12, and a closing entry.
constexpr uint16_t COMMON_YEAR_MONTHS[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
constexpr uint16_t LEAP_YEAR_MONTHS[13] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};

}  // namespace

uint32_t SecondsToDateTime(uint32_t seconds, uint16_t* date, uint32_t* time) {
  const uint32_t days = seconds / SECONDS_PER_DAY;
  const uint32_t secondOfDay = seconds % SECONDS_PER_DAY;

  const uint32_t dayOfCycle = days % DAYS_PER_CYCLE;
  uint32_t years = days / DAYS_PER_CYCLE * 4;
  uint32_t dayOfYear = dayOfCycle;
  const uint16_t* months = LEAP_YEAR_MONTHS;
  if (dayOfCycle >= DAYS_PER_LEAP_YEAR) {
    const uint32_t afterLeapYear = dayOfCycle - DAYS_PER_LEAP_YEAR;
    years += 1 + afterLeapYear / DAYS_PER_COMMON_YEAR;
    dayOfYear = afterLeapYear % DAYS_PER_COMMON_YEAR;
    months = COMMON_YEAR_MONTHS;
  }
  uint32_t month = 1;
  while (months[month] <= dayOfYear) ++month;
  const uint32_t day = dayOfYear - months[month - 1] + 1;

  if (date != nullptr) {
    *date = static_cast<uint16_t>(day | (month << 5) | ((years & PACKED_YEAR_MASK) << 9));
  }
  if (time != nullptr) {
    const uint32_t hour = secondOfDay / 3600;
    const uint32_t minute = secondOfDay % 3600 / 60;
    const uint32_t second = secondOfDay % 60;
    *time = second | (minute << 6) | (hour << 12);
  }
  return years;
}
