// The address text of a connect request, as any modem may send it.
#include <cstring>

#include "bridge/address_text.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The worker terminates the text inside its read; longer inputs show
  // that nothing past the window is read.
  char* text = new char[size + 1];
  std::memcpy(text, data, size);
  text[size] = '\0';
  ServerAddress server = {0x5A5A5A5Au, 0x5A5A};
  if (ParseAddressText(text, &server)) {
    Require(server.address != IPV4_MALFORMED && server.address != IPV4_REFUSED);
    // What was parsed is the host part left in the text.
    Require(ParseIpv4Address(text) == server.address);
  } else {
    Require(server.address == 0x5A5A5A5Au && server.port == 0x5A5A);
  }
  delete[] text;
  return 0;
}
