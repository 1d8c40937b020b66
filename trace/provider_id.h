#pragma once
// The trace provider's id, derived from its name as the system's tools
// derive it (a tool enables a provider by name by computing the same id):
// SHA-1 over a fixed namespace followed by the upper-cased name in UTF-16
// big-endian; the first 16 bytes of the digest, with the version nibble set
// to 5, laid out as a GUID in memory.
#include <cstdint>

struct ProviderId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// `name` is ASCII (a provider name); lower-case letters count as upper-case.
ProviderId ProviderIdFromName(const char* name);
