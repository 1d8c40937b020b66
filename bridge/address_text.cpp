#include "bridge/address_text.h"

namespace {

constexpr uint32_t MAX_PART_DIGITS = 3;
constexpr uint32_t MAX_PART_VALUE = 255;
constexpr uint32_t PART_COUNT = 4;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

uint32_t ParseIpv4Address(const char* host) {
  if (host[0] == '\0') return IPV4_REFUSED;
  uint32_t address = 0;
  uint32_t parts = 0;
  const char* p = host;
  for (;;) {
    uint32_t value = 0;
    uint32_t digits = 0;
    while (IsDigit(*p)) {
      if (++digits > MAX_PART_DIGITS) return IPV4_MALFORMED;
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      ++p;
    }
    if (*p != '\0' && *p != '.') return IPV4_MALFORMED;
    if (digits == 0 || value > MAX_PART_VALUE) return IPV4_MALFORMED;
    address = (address << 8) + value;
    ++parts;
    if (*p == '\0') {
      if (parts != PART_COUNT) return IPV4_MALFORMED;
      break;
    }
    if (parts == PART_COUNT) return IPV4_MALFORMED;
    ++p;  // past the '.'
  }
  return address == 0 ? IPV4_REFUSED : address;
}

bool ParseAddressText(char* text, ServerAddress* server) {
  uint32_t colon = 0;
  while (colon < ADDRESS_TEXT_WINDOW && text[colon] != '\0' && text[colon] != ':') ++colon;
  if (colon == ADDRESS_TEXT_WINDOW || text[colon] != ':') return false;
  text[colon] = '\0';

  const uint32_t address = ParseIpv4Address(text);
  if (address == IPV4_MALFORMED || address == IPV4_REFUSED) return false;

  uint16_t port = 0;
  for (uint32_t i = colon + 1; i < ADDRESS_TEXT_WINDOW && text[i] != '\0'; ++i) {
    if (!IsDigit(text[i])) return false;
    port = static_cast<uint16_t>(port * 10 + static_cast<uint32_t>(text[i] - '0'));
  }
  server->address = address;
  server->port = port;
  return true;
}
