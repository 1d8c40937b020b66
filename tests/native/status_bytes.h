#pragma once
// Writes little-endian fields into control messages and cached status
// blocks the way the modem lays them out.
#include <cstdint>

inline void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
