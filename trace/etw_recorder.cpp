#include "trace/etw_recorder.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr UCHAR LEVEL_VERBOSE = 5;

std::mutex g_lock;
PENABLECALLBACK g_callback = nullptr;
std::vector<etwrec::RecordedEvent> g_events;
std::vector<uint8_t> g_traits;
const REGHANDLE RECORDER_HANDLE = 1;

void PutInteger(std::FILE* file, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) std::fputc(static_cast<int>(value >> (8 * i) & 0xFF), file);
}

void WriteRecord(std::FILE* file, const etwrec::RecordedEvent& event) {
  PutInteger(file, event.descriptor.Level, 1);
  PutInteger(file, event.descriptor.Keyword, 8);
  PutInteger(file, event.parts.size(), 4);
  for (size_t i = 0; i < event.parts.size(); ++i) {
    PutInteger(file, event.types[i], 1);
    PutInteger(file, event.parts[i].size(), 4);
    std::fwrite(event.parts[i].data(), 1, event.parts[i].size(), file);
  }
}

}  // namespace

namespace etwos {

ULONG EventRegister(LPCGUID, PENABLECALLBACK enableCallback, PVOID, PREGHANDLE handle) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_callback = enableCallback;
  }
  *handle = RECORDER_HANDLE;
  if (std::getenv("VARNEL_TRACE_FILE") != nullptr) etwrec::Enable(LEVEL_VERBOSE, ~0ull);
  return ERROR_SUCCESS;
}

ULONG EventSetInformation(REGHANDLE, int, PVOID information, ULONG length) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto* bytes = static_cast<const uint8_t*>(information);
  g_traits.assign(bytes, bytes + length);
  return ERROR_SUCCESS;
}

ULONG EventWriteTransfer(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, LPCGUID, LPCGUID, ULONG dataCount,
                         PEVENT_DATA_DESCRIPTOR data) {
  etwrec::RecordedEvent event = {*descriptor, {}, {}};
  for (ULONG i = 0; i < dataCount; ++i) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(data[i].Ptr));
    event.types.push_back(static_cast<uint8_t>(data[i].Reserved));
    event.parts.emplace_back(bytes, bytes + data[i].Size);
  }
  std::lock_guard<std::mutex> hold(g_lock);
  if (const char* path = std::getenv("VARNEL_TRACE_FILE")) {
    if (std::FILE* file = std::fopen(path, "ab")) {
      WriteRecord(file, event);
      std::fclose(file);
    }
  }
  g_events.push_back(event);
  return ERROR_SUCCESS;
}

ULONG EventUnregister(REGHANDLE) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_callback = nullptr;
  return ERROR_SUCCESS;
}

}  // namespace etwos

namespace etwrec {

void Enable(UCHAR level, ULONGLONG anyKeyword) {
  if (g_callback != nullptr)
    g_callback(nullptr, etwos::CONTROL_ENABLE_PROVIDER, level, anyKeyword, 0, nullptr, nullptr);
}

void Disable() {
  if (g_callback != nullptr) g_callback(nullptr, etwos::CONTROL_DISABLE_PROVIDER, 0, 0, 0, nullptr, nullptr);
}

std::vector<RecordedEvent> Events() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_events;
}

void ClearEvents() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_events.clear();
}

std::vector<uint8_t> Traits() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_traits;
}

bool SaveEvents(const char* path) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  for (const RecordedEvent& event : g_events) WriteRecord(file, event);
  return std::fclose(file) == 0;
}

}  // namespace etwrec
