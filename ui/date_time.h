#pragma once
// The modem's clock (seconds since 00:00:00 on 1 January 2000) as a packed
// date and time. The calendar is the modem's: every fourth year from 2000
// is a leap year, with no century rule.
#include <cstdint>

// Packed date: day 1..31 in bits 0-4, month 1..12 in bits 5-8, years since
// 2000 in bits 9-15. Packed time: second in bits 0-5, minute in bits 6-11,
// hour in bits 12-16.
constexpr uint32_t PACKED_YEAR_MASK = 0x7F;

inline uint32_t PackedDay(uint16_t date) {
  return date & 0x1Fu;
}
inline uint32_t PackedMonth(uint16_t date) {
  return (date >> 5) & 0x0Fu;
}
inline uint32_t PackedYear(uint16_t date) {
  return (date >> 9) & PACKED_YEAR_MASK;
}
inline uint32_t PackedHour(uint32_t time) {
  return (time >> 12) & 0x1Fu;
}
inline uint32_t PackedMinute(uint32_t time) {
  return (time >> 6) & 0x3Fu;
}
inline uint32_t PackedSecond(uint32_t time) {
  return time & 0x3Fu;
}

// Writes the packed date and time of `seconds` to each place that is given
// (either may be null). Gives the full number of years since 2000 (0..136):
// the packed year field holds only its low 7 bits, so years past 2127 are
// read from the result, never from the field.
uint32_t SecondsToDateTime(uint32_t seconds, uint16_t* date, uint32_t* time);
