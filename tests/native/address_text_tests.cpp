// The address text a modem sends with CTL_CONNECT: parsed only, never
// connected to.
#include "bridge/address_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Parsed {
  bool ok;
  uint32_t address;
  uint16_t port;
};

constexpr uint32_t UNTOUCHED_ADDRESS = 0xDEADBEEFu;
constexpr uint16_t UNTOUCHED_PORT = 0xBEEF;

Parsed Parse(std::string text) {
  ServerAddress server{UNTOUCHED_ADDRESS, UNTOUCHED_PORT};
  const bool ok = ParseAddressText(&text[0], &server);
  return {ok, server.address, server.port};
}

struct AcceptedCase {
  const char* text;
  uint32_t address;
  uint16_t port;
};

TEST(AddressText, AcceptsWellFormedTexts) {
  const AcceptedCase cases[] = {
      {"10.0.0.1:5000", 0x0A000001u, 5000},
      {"192.168.001.010:80", 0xC0A8010Au, 80},  // leading zeros read as decimal
      {"1.2.3.4:", 0x01020304u, 0},             // empty port
      {"1.2.3.4:65536", 0x01020304u, 0},        // modulo 65536
      {"1.2.3.4:65535", 0x01020304u, 65535},
      {"1.2.3.4:0080", 0x01020304u, 80},
      {"1.2.3.4:00000000000000000000000443", 0x01020304u, 443},
      {"1.2.3.4:4294967377", 0x01020304u, 81},  // 4294967377 mod 65536, no overflow on the way
      {"255.255.255.254:1", 0xFFFFFFFEu, 1},
      {"0.0.0.1:1", 0x00000001u, 1},
      {"000.000.000.001:7", 0x00000001u, 7},
  };
  for (const AcceptedCase& c : cases) {
    const Parsed p = Parse(c.text);
    EXPECT_TRUE(p.ok) << c.text;
    EXPECT_EQ(p.address, c.address) << c.text;
    EXPECT_EQ(p.port, c.port) << c.text;
  }
}

TEST(AddressText, RefusesMalformedTextsAndLeavesTheResultAlone) {
  const char* const cases[] = {
      "",
      "1",  // the text of a 4-byte CTL_CONNECT
      ":",
      "10.0.0.1",  // no ':'
      "1.2.3:80",
      "1.2.3.4.5:80",
      "1.2.3.4.:80",
      "1..3.4:80",
      ".1.2.3:80",
      "1.2.3.0001:80",  // four digits, even though the value is small
      "1.2.3.256:80",
      "1.2.3.999:80",
      "1.2.3.4 :80",
      " 1.2.3.4:80",
      "+1.2.3.4:80",
      "1.2.-3.4:80",
      "0x1.2.3.4:80",
      ":80",  // empty host part
      "1.2.3.4:80x",
      "1.2.3.4:-1",
      "1.2.3.4:+1",
      "1.2.3.4: 80",
      "1.2.3.4:80 ",
      "1.2.3.4:5000:6000",
      "0.0.0.0:80",
      "000.0.00.0:80",
      "255.255.255.255:80",
  };
  for (const char* text : cases) {
    const Parsed p = Parse(text);
    EXPECT_FALSE(p.ok) << '"' << text << '"';
    EXPECT_EQ(p.address, UNTOUCHED_ADDRESS) << text;
    EXPECT_EQ(p.port, UNTOUCHED_PORT) << text;
  }
}

TEST(AddressText, OverwritesTheColonWithNul) {
  std::string text = "10.0.0.1:5000";
  ServerAddress server{};
  ASSERT_TRUE(ParseAddressText(&text[0], &server));
  EXPECT_STREQ(text.c_str(), "10.0.0.1");
  EXPECT_EQ(text[8], '\0');
  EXPECT_EQ(text.substr(9), "5000");
}

TEST(AddressText, ColonMustLieWithinTheWindow) {
  // A valid host part is at most 15 characters, so a ':' this far out always
  // follows a malformed host and both texts are refused; whether the ':' was
  // found shows in whether the text was cut there.
  ServerAddress server{};
  std::string at64 = std::string(ADDRESS_TEXT_WINDOW - 1, '1') + ":80";
  EXPECT_FALSE(ParseAddressText(&at64[0], &server));
  EXPECT_EQ(at64[ADDRESS_TEXT_WINDOW - 1], '\0');

  std::string at65 = std::string(ADDRESS_TEXT_WINDOW, '1') + ":80";
  EXPECT_FALSE(ParseAddressText(&at65[0], &server));
  EXPECT_EQ(at65[ADDRESS_TEXT_WINDOW], ':');
}

TEST(AddressText, PortEndsAtTheWindow) {
  const std::string host = "1.2.3.4:";  // the port starts at position 8
  const uint32_t portRoom = ADDRESS_TEXT_WINDOW - static_cast<uint32_t>(host.size());

  // Digits that fill the window exactly, then characters beyond it that
  // would be refused if they were read.
  std::string full = host + std::string(portRoom - 2, '0') + "42" + "x:99";
  Parsed p = Parse(full);
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.port, 42);

  // A digit just past the window does not count.
  std::string longer = host + std::string(portRoom - 1, '0') + "7" + "9";
  p = Parse(longer);
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.port, 7);

  // A non-digit as the 64th character still refuses.
  std::string bad = host + std::string(portRoom - 1, '0') + "x";
  EXPECT_FALSE(Parse(bad).ok);
}

struct Ipv4Case {
  const char* host;
  uint32_t result;
};

TEST(ParseIpv4Address, ReadsTheHostPart) {
  const Ipv4Case cases[] = {
      {"10.0.0.1", 0x0A000001u},
      {"192.168.001.010", 0xC0A8010Au},
      {"1.2.3.4", 0x01020304u},
      {"255.255.255.254", 0xFFFFFFFEu},
      {"0.0.0.255", 0x000000FFu},
      {"", IPV4_REFUSED},
      {"0.0.0.0", IPV4_REFUSED},
      {"00.000.0.000", IPV4_REFUSED},
      {"255.255.255.255", IPV4_REFUSED},
      {"1.2.3", IPV4_MALFORMED},
      {"1.2.3.4.5", IPV4_MALFORMED},
      {"1.2.3.4.", IPV4_MALFORMED},
      {"1.2.3.", IPV4_MALFORMED},
      {".", IPV4_MALFORMED},
      {"1", IPV4_MALFORMED},
      {"1..3.4", IPV4_MALFORMED},
      {"1.2.3.0001", IPV4_MALFORMED},
      {"1.2.3.256", IPV4_MALFORMED},
      {"256.1.1.1", IPV4_MALFORMED},
      {"1.2.3.4 ", IPV4_MALFORMED},
      {"1.2.3.a", IPV4_MALFORMED},
      {"1.2.3.4:80", IPV4_MALFORMED},  // the caller cuts at the ':' first
  };
  for (const Ipv4Case& c : cases) {
    EXPECT_EQ(ParseIpv4Address(c.host), c.result) << '"' << c.host << '"';
  }
}

}  // namespace
