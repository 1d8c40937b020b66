#pragma once
// Writes little-endian fields into control messages and cached status
// blocks the way the modem lays them out.
#include <cstdint>
#include <vector>

#include "bridge/control_message.h"

inline void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A modem status reply with the blocking window's start and the modem's time
// (seconds), everything else zero.
inline std::vector<uint8_t> ModemStatusReply(uint32_t windowStart, uint32_t modemTime) {
  std::vector<uint8_t> reply(57, 0);
  reply[0] = CTL_STATUS;
  reply[1] = 56;
  reply[2] = STATUS_MODEM;
  PutLittleEndian(&reply[25], modemTime, 4);
  PutLittleEndian(&reply[33], windowStart, 4);
  return reply;
}
