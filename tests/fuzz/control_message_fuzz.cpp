// Any sequence of control messages from a modem, 0 to 64 bytes each, taken
// into the status cache, then every row of both tabs rendered from it.
#include <cstring>
#include <vector>

#include "bridge/status_logic.h"
#include "res/string_table.h"
#include "tests/fuzz/fuzz_input.h"
#include "ui/status_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  StatusCache cache;
  ResetStatusCache(&cache);
  while (in.Left() > 0) {
    const size_t length = in.Take(1) % 65;
    // Exactly the message's bytes on the heap: reading past them is caught.
    std::vector<uint8_t> message(in.Next(), in.Next() + (length < in.Left() ? length : in.Left()));
    in.Skip(length);
    const MessageOutcome outcome =
        TakeDeviceMessage(&cache, message.data(), static_cast<uint32_t>(message.size()));
    Require(std::memchr(cache.serial, '\0', sizeof cache.serial) != nullptr);
    // 0 hours once the window has run out; 72 at the most.
    if (outcome.warningDue) Require(outcome.warningHours >= 0 && outcome.warningHours <= 72);
    uint8_t request[POLL_REQUEST_MAX];
    if (IsPollDue(&cache)) Require(MakePollRequest(&cache, request) <= POLL_REQUEST_MAX);
  }
  TrafficCounters traffic = {};
  for (int32_t tab : {TAB_INFO, TAB_KSEF}) {
    for (uint32_t row = 0; row < RowCount(tab); ++row) {
      char text[512];
      const int32_t warning =
          RenderStatusRow(cache, traffic, tab, row, text, sizeof text, LoadStringTableText);
      Require(warning == 0 || warning == 1);
      const char* end = static_cast<const char*>(std::memchr(text, '\0', sizeof text));
      Require(end != nullptr && std::memchr(end + 1, '\0', sizeof text - (end + 1 - text)) != nullptr);
    }
  }
  return 0;
}
