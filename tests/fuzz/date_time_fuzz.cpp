// The modem's clock at any value: every packed field within its range, and
// the next second never earlier.
#include "tests/fuzz/fuzz_input.h"
#include "ui/date_time.h"

namespace {

uint64_t Ordinal(uint32_t years, uint16_t date, uint32_t time) {
  return ((((static_cast<uint64_t>(years) * 16 + PackedMonth(date)) * 32 + PackedDay(date)) * 32 +
           PackedHour(time)) *
              64 +
          PackedMinute(time)) *
             64 +
         PackedSecond(time);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint32_t seconds = in.Take(4);
  uint16_t date = 0;
  uint32_t time = 0;
  const uint32_t years = SecondsToDateTime(seconds, &date, &time);
  Require(years <= 136 && PackedYear(date) == (years & PACKED_YEAR_MASK));
  Require(PackedMonth(date) >= 1 && PackedMonth(date) <= 12 && PackedDay(date) >= 1 && PackedDay(date) <= 31);
  Require(PackedHour(time) < 24 && PackedMinute(time) < 60 && PackedSecond(time) < 60);
  Require(SecondsToDateTime(seconds, nullptr, nullptr) == years);
  if (seconds != 0xFFFFFFFFu) {
    uint16_t nextDate = 0;
    uint32_t nextTime = 0;
    const uint32_t nextYears = SecondsToDateTime(seconds + 1, &nextDate, &nextTime);
    Require(Ordinal(nextYears, nextDate, nextTime) > Ordinal(years, date, time));
  }
  return 0;
}
