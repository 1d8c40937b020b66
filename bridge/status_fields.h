#pragma once
// Readers of the fields of the two cached status blocks. The cache keeps
// message bytes 1..56 (1..26) as they came, so a field stands at its message
// offset - 1; multi-byte fields are little-endian.
#include <cstdint>

#include "bridge/status_cache.h"

namespace status_fields {

inline uint16_t U16(const uint8_t* block, uint32_t messageOffset) {
  const uint8_t* p = block + messageOffset - 1;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t U32(const uint8_t* block, uint32_t messageOffset) {
  const uint8_t* p = block + messageOffset - 1;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace status_fields

// ModemStatus (sub-type 0).
inline uint8_t FaultCode(const StatusCache& c) {
  return c.modemStatus[3 - 1];
}
inline uint8_t ExchangeResult(const StatusCache& c) {
  return c.modemStatus[4 - 1];
}
inline uint32_t SerialNumber(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 5);
}
inline uint32_t IdDev(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 9);
}
inline uint32_t IdSam(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 13);
}
inline uint32_t IdAcq(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 17);
}
inline uint32_t OperatingTime(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 21);
}
inline uint32_t ModemTime(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 25);
}
inline uint32_t LastExchangeAt(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 29);
}
inline uint32_t BlockingWindowStart(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 33);
}
inline uint32_t NtSam(const StatusCache& c) {
  return status_fields::U32(c.modemStatus, 37);
}
inline uint16_t NtSession(const StatusCache& c) {
  return status_fields::U16(c.modemStatus, 41);
}
inline uint8_t NtSessionLow(const StatusCache& c) {
  return c.modemStatus[43 - 1];
}
inline uint8_t CurrentOperation(const StatusCache& c) {
  return c.modemStatus[44 - 1];
}
inline uint16_t ExchangePeriod(const StatusCache& c) {
  return status_fields::U16(c.modemStatus, 45);
}
inline uint16_t Version(const StatusCache& c) {
  return status_fields::U16(c.modemStatus, 47);
}
inline uint16_t OsRevision(const StatusCache& c) {
  return status_fields::U16(c.modemStatus, 49);
}
inline uint16_t AcquirerPort(const StatusCache& c) {
  return status_fields::U16(c.modemStatus, 51);
}
// The acquirer's address in message order: byte 53 is the first number of
// the dotted form.
inline const uint8_t* AcquirerAddress(const StatusCache& c) {
  return c.modemStatus + 53 - 1;
}

// KsefStatus (sub-type 1); message bytes 3 and 4 are kept but mean nothing.
inline uint16_t StoreUsed(const StatusCache& c) {
  return status_fields::U16(c.ksefStatus, 5);
}
inline uint32_t NextPacket(const StatusCache& c) {
  return status_fields::U32(c.ksefStatus, 7);
}
inline uint32_t PersonalizationPacket(const StatusCache& c) {
  return status_fields::U32(c.ksefStatus, 11);
}
inline uint32_t LastStoredPacket(const StatusCache& c) {
  return status_fields::U32(c.ksefStatus, 15);
}
inline uint32_t LastSignedPacket(const StatusCache& c) {
  return status_fields::U32(c.ksefStatus, 19);
}
inline uint32_t LastSentPacket(const StatusCache& c) {
  return status_fields::U32(c.ksefStatus, 23);
}
