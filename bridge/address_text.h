#pragma once
// The server address a modem names in CTL_CONNECT: "a.b.c.d:port" as 8-bit
// text. Pure parsing; nothing here touches the network.
#include <cstdint>

// Only this many characters of the text take part; the ':' must be among
// them and the port ends at the last of them.
constexpr uint32_t ADDRESS_TEXT_WINDOW = 64;

// Results of ParseIpv4Address besides an address.
constexpr uint32_t IPV4_MALFORMED = 0;
constexpr uint32_t IPV4_REFUSED = 0xFFFFFFFFu;  // empty, 0.0.0.0 or 255.255.255.255

// Reads a dotted quad "a.b.c.d" (1 to 3 decimal digits per part, each at
// most 255, leading zeros read as decimal) that ends at its NUL. Gives the
// address in host order with the first part in the most significant byte,
// IPV4_MALFORMED or IPV4_REFUSED.
uint32_t ParseIpv4Address(const char* host);

struct ServerAddress {
  uint32_t address;  // host order, first part most significant
  uint16_t port;
};

// Applies the whole grammar to the NUL-terminated address text: finds the
// first ':' within the window and overwrites it with a NUL (so the text ends
// up holding the host part alone), parses the host, then the port as
// decimal digits modulo 65536 up to the NUL or the end of the window.
// Gives false, and leaves *server alone, for any text that names no server.
bool ParseAddressText(char* text, ServerAddress* server);
