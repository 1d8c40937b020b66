#include "trace/sha1.h"

namespace {

uint32_t Rotate(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void Compress(uint32_t (&state)[5], const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t t = Rotate(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotate(b, 30);
    b = a;
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void Sha1::Start() {
  const uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  for (int i = 0; i < 5; ++i) state[i] = initial[i];
  length = 0;
  used = 0;
}

void Sha1::Add(const void* data, uint32_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  length += size;
  for (uint32_t i = 0; i < size; ++i) {
    block[used++] = bytes[i];
    if (used == sizeof block) {
      Compress(state, block);
      used = 0;
    }
  }
}

void Sha1::Finish(uint8_t (&digest)[SHA1_DIGEST_SIZE]) {
  const uint64_t bits = length * 8;
  const uint8_t one = 0x80, zero = 0;
  Add(&one, 1);
  while (used != 56) Add(&zero, 1);
  uint8_t size[8];
  for (int i = 0; i < 8; ++i) size[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Add(size, sizeof size);
  for (uint32_t i = 0; i < SHA1_DIGEST_SIZE; ++i)
    digest[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
}
