#pragma once
// The bridge's cache of what the modem reported, and its traffic counters.
// Both are plain data that the main thread reads without a lock; the logic
// over them lives beside this header and needs no OS call.
#include <atomic>
#include <cstdint>

// statusFlags bits
constexpr uint32_t SF_SERIAL_KNOWN = 1;
constexpr uint32_t SF_MODEM_STATUS = 2;
constexpr uint32_t SF_KSEF_STATUS = 4;
constexpr uint32_t SF_MODEM_UPDATED = 8;
constexpr uint32_t SF_KSEF_UPDATED = 16;

constexpr uint32_t MODEM_STATUS_SIZE = 56;  // message bytes 1..56
constexpr uint32_t KSEF_STATUS_SIZE = 26;   // message bytes 1..26
constexpr uint32_t SERIAL_SIZE = 16;        // at most 15 characters and the NUL

struct StatusCache {
  int32_t warningIndex;                    // -1 none; 0..33 threshold last reached; 34 above every threshold
  uint32_t statusFlags;                    // SF_*
  int32_t pollCounter;                     // ticks counted towards the next poll
  uint8_t nextStatusSubtype;               // 0 or 1
  char serial[SERIAL_SIZE];                // NUL-terminated
  uint8_t modemStatus[MODEM_STATUS_SIZE];  // as received: a field lies at its message offset - 1
  uint8_t ksefStatus[KSEF_STATUS_SIZE];
};

// Completed transfers and bytes per direction. Written by the worker thread
// only; the status window reads them on the main thread while they change.
struct TrafficCounters {
  std::atomic<uint32_t> controlInTransfers, controlOutTransfers, dataInTransfers, dataOutTransfers,
      receiveTransfers, sendTransfers;
  std::atomic<uint64_t> controlInBytes, controlOutBytes, dataInBytes, dataOutBytes, receiveBytes, sendBytes;
};

// Single-writer update of a byte total, and of one counter pair.
inline void CountBytes(std::atomic<uint64_t>& bytes, uint32_t n) {
  bytes.store(bytes.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
inline void CountTransfer(std::atomic<uint32_t>& transfers, std::atomic<uint64_t>& bytes, uint32_t n) {
  transfers.store(transfers.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  CountBytes(bytes, n);
}
