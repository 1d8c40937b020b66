#pragma once
// SHA-1 of a message given in pieces, as FIPS 180-4 defines it. Used only to
// derive the trace provider's id from its name, which is how the system's
// tools derive it; nothing here is about secrecy.
#include <cstdint>

constexpr uint32_t SHA1_DIGEST_SIZE = 20;

struct Sha1 {
  uint32_t state[5];
  uint64_t length;  // bytes taken so far
  uint8_t block[64];
  uint32_t used;  // bytes of `block` filled

  void Start();
  void Add(const void* data, uint32_t size);
  void Finish(uint8_t (&digest)[SHA1_DIGEST_SIZE]);
};
