#include "trace/provider_id.h"

#include "trace/sha1.h"

namespace {

// The namespace every provider name is hashed under.
constexpr uint8_t NAME_NAMESPACE[16] = {0x48, 0x2C, 0x2D, 0xB2, 0xC3, 0x90, 0x47, 0xC8,
                                        0x87, 0xF8, 0x1A, 0x15, 0xBF, 0xC1, 0x30, 0xFB};

}  // namespace

ProviderId ProviderIdFromName(const char* name) {
  Sha1 hash;
  hash.Start();
  hash.Add(NAME_NAMESPACE, sizeof NAME_NAMESPACE);
  for (const char* c = name; *c != '\0'; ++c) {
    const char upper = (*c >= 'a' && *c <= 'z') ? static_cast<char>(*c - 'a' + 'A') : *c;
    const uint8_t unit[2] = {0, static_cast<uint8_t>(upper)};
    hash.Add(unit, sizeof unit);
  }
  uint8_t digest[SHA1_DIGEST_SIZE];
  hash.Finish(digest);
  digest[7] = static_cast<uint8_t>((digest[7] & 0x0F) | 0x50);
  // The bytes are the GUID's memory image: its first three fields little-endian.
  ProviderId id;
  id.data1 = static_cast<uint32_t>(digest[3]) << 24 | static_cast<uint32_t>(digest[2]) << 16 |
             static_cast<uint32_t>(digest[1]) << 8 | digest[0];
  id.data2 = static_cast<uint16_t>(digest[5] << 8 | digest[4]);
  id.data3 = static_cast<uint16_t>(digest[7] << 8 | digest[6]);
  for (int i = 0; i < 8; ++i) id.data4[i] = digest[8 + i];
  return id;
}
