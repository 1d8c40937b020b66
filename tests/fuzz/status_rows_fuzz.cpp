// Any cache contents and counters, any tab and row, any buffer size: the
// row stays inside its buffer and is terminated.
#include <cstring>
#include <vector>

#include "res/string_table.h"
#include "tests/fuzz/fuzz_input.h"
#include "ui/status_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const auto tab = static_cast<int32_t>(in.Take(4));
  const uint32_t row = in.Take(1);  // beyond the last rows too
  const uint32_t bufferSize = in.Take(2) % 600;
  StatusCache cache = {};
  cache.warningIndex = static_cast<int32_t>(in.Take(4));
  cache.statusFlags = in.Take(4);
  cache.pollCounter = static_cast<int32_t>(in.Take(4));
  cache.nextStatusSubtype = static_cast<uint8_t>(in.Take(1));
  // The cache always holds a terminated serial: only TakeDeviceMessage
  // writes it, and it cuts and terminates it.
  for (char& c : cache.serial) c = static_cast<char>(in.Take(1));
  cache.serial[SERIAL_SIZE - 1] = '\0';
  for (uint8_t& b : cache.modemStatus) b = static_cast<uint8_t>(in.Take(1));
  for (uint8_t& b : cache.ksefStatus) b = static_cast<uint8_t>(in.Take(1));
  TrafficCounters traffic = {};
  for (auto* count : {&traffic.controlInTransfers, &traffic.controlOutTransfers, &traffic.dataInTransfers,
                      &traffic.dataOutTransfers, &traffic.receiveTransfers, &traffic.sendTransfers})
    count->store(in.Take(4));
  for (auto* bytes : {&traffic.controlInBytes, &traffic.controlOutBytes, &traffic.dataInBytes,
                      &traffic.dataOutBytes, &traffic.receiveBytes, &traffic.sendBytes})
    bytes->store(static_cast<uint64_t>(in.Take(4)) << 32 | in.Take(4));

  // Exactly bufferSize bytes on the heap, so a write past them is caught.
  std::vector<char> buffer(bufferSize + 1);
  char* text = buffer.data() + 1;  // a buffer of 0 bytes still has an address
  const int32_t warning = RenderStatusRow(cache, traffic, tab, row, text, bufferSize, LoadStringTableText);
  Require(warning == 0 || warning == 1);
  if (bufferSize >= 2) {
    const char* end = static_cast<const char*>(std::memchr(text, '\0', bufferSize));
    Require(end != nullptr && std::memchr(end + 1, '\0', bufferSize - (end + 1 - text)) != nullptr);
  }
  return 0;
}
