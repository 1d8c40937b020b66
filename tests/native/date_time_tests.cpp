// The modem clock's conversion to a packed date and time, checked against
// calendars computed here independently.
#include "ui/date_time.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct CivilDate {
  uint32_t year, month, day;
};

// The modem's calendar: a leap year every four years from 2000, no century
// rule.
bool ModemLeapYear(uint32_t year) {
  return year % 4 == 0;
}

uint32_t MonthLength(uint32_t year, uint32_t month, bool (*leap)(uint32_t)) {
  static const uint32_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : lengths[month - 1];
}

void NextDay(CivilDate* d, bool (*leap)(uint32_t)) {
  if (++d->day <= MonthLength(d->year, d->month, leap)) return;
  d->day = 1;
  if (++d->month <= 12) return;
  d->month = 1;
  ++d->year;
}

// Days since 1970-01-01 in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, uint32_t m, uint32_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const uint32_t yoe = static_cast<uint32_t>(y - era * 400);
  const uint32_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr uint32_t SECONDS_PER_DAY = 86400;
constexpr uint32_t LAST_DAY = 0xFFFFFFFFu / SECONDS_PER_DAY;

TEST(SecondsToDateTime, FollowsTheModemCalendarOnEveryDay) {
  CivilDate expected{2000, 1, 1};
  for (uint32_t day = 0; day <= LAST_DAY; ++day, NextDay(&expected, ModemLeapYear)) {
    // A different second of the day each time, and the day's last second.
    const uint32_t seconds[] = {day * SECONDS_PER_DAY + day * 7919 % SECONDS_PER_DAY,
                                day == LAST_DAY ? 0xFFFFFFFFu : day * SECONDS_PER_DAY + SECONDS_PER_DAY - 1};
    for (uint32_t s : seconds) {
      uint16_t date = 0;
      const uint32_t years = SecondsToDateTime(s, &date, nullptr);
      ASSERT_EQ(years, expected.year - 2000) << s;
      ASSERT_EQ(PackedYear(date), (expected.year - 2000) & 0x7F) << s;
      ASSERT_EQ(PackedMonth(date), expected.month) << s;
      ASSERT_EQ(PackedDay(date), expected.day) << s;
    }
  }
  EXPECT_EQ(expected.year, 2136u);  // the clock's range ends in 2136
}

TEST(SecondsToDateTime, AgreesWithTheGregorianCalendarUntilFebruary2100) {
  const int64_t epoch = DaysFromCivil(2000, 1, 1);
  const uint32_t lastAgreeing = static_cast<uint32_t>(DaysFromCivil(2100, 2, 28) - epoch);
  CivilDate gregorian{2000, 1, 1};
  for (uint32_t day = 0; day <= lastAgreeing; ++day) {
    uint16_t date = 0;
    SecondsToDateTime(day * SECONDS_PER_DAY, &date, nullptr);
    ASSERT_EQ(static_cast<int64_t>(day),
              DaysFromCivil(gregorian.year, gregorian.month, gregorian.day) - epoch);
    ASSERT_EQ(PackedYear(date) + 2000, gregorian.year) << day;
    ASSERT_EQ(PackedMonth(date), gregorian.month) << day;
    ASSERT_EQ(PackedDay(date), gregorian.day) << day;
    NextDay(&gregorian, [](uint32_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); });
  }
  // The next day is 1 March 2100 in the Gregorian calendar and 29 February
  // in the modem's; from then on the two differ by a day.
  uint16_t date = 0;
  SecondsToDateTime((lastAgreeing + 1) * SECONDS_PER_DAY, &date, nullptr);
  EXPECT_EQ(PackedMonth(date), 2u);
  EXPECT_EQ(PackedDay(date), 29u);
}

TEST(SecondsToDateTime, SplitsEverySecondOfTheDay) {
  for (uint32_t second = 0; second < SECONDS_PER_DAY; ++second) {
    uint32_t time = 0xFFFFFFFFu;
    SecondsToDateTime(123 * SECONDS_PER_DAY + second, nullptr, &time);
    ASSERT_EQ(PackedHour(time), second / 3600);
    ASSERT_EQ(PackedMinute(time), second / 60 % 60);
    ASSERT_EQ(PackedSecond(time), second % 60);
    ASSERT_EQ(time >> 17, 0u);
  }
}

TEST(SecondsToDateTime, KnownInstants) {
  struct Case {
    uint32_t seconds;
    uint32_t years, month, day, hour, minute, second;
  };
  const Case cases[] = {
      {0, 0, 1, 1, 0, 0, 0},       {31622399, 0, 12, 31, 23, 59, 59}, {31622400, 1, 1, 1, 0, 0, 0},
      {5184000, 0, 3, 1, 0, 0, 0}, {5183999, 0, 2, 29, 23, 59, 59},   {0xFFFFFFFFu, 136, 2, 6, 6, 28, 15},
  };
  for (const Case& c : cases) {
    uint16_t date = 0;
    uint32_t time = 0;
    EXPECT_EQ(SecondsToDateTime(c.seconds, &date, &time), c.years);
    EXPECT_EQ(PackedMonth(date), c.month) << c.seconds;
    EXPECT_EQ(PackedDay(date), c.day) << c.seconds;
    EXPECT_EQ(PackedHour(time), c.hour) << c.seconds;
    EXPECT_EQ(PackedMinute(time), c.minute) << c.seconds;
    EXPECT_EQ(PackedSecond(time), c.second) << c.seconds;
  }
  EXPECT_EQ(SecondsToDateTime(5184000, nullptr, nullptr), 0u);
}

}  // namespace
