#include "simbus/process_counts.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>

namespace simbus {

namespace {

// Counts the handle values that name an object. Wine answers
// GetProcessHandleCount with 0; its handle values are small multiples of 4
// handed out lowest first, so the scan ends after a long run of free ones.
DWORD ProbeHandles() {
  constexpr uintptr_t FREE_RUN_END = 1024, VALUE_LIMIT = 1u << 20;
  DWORD count = 0;
  uintptr_t freeRun = 0;
  for (uintptr_t value = 4; value < VALUE_LIMIT && freeRun < FREE_RUN_END; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      freeRun = 0;
    } else {
      ++freeRun;
    }
  }
  return count;
}

}  // namespace

ProcessCounters CountProcess() {
  ProcessCounters counts = {};
  DWORD handles = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &handles) || handles == 0) handles = ProbeHandles();
  counts.handles = handles;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++counts.threads;
    }
    CloseHandle(snapshot);
  }
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                       sizeof memory);
  // Wine leaves PrivateUsage 0; its page-file usage is the process's
  // anonymous memory, which is what the private bytes are on Windows.
  const SIZE_T privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
  counts.privateKiB = static_cast<uint32_t>(privateBytes / 1024);
  return counts;
}

}  // namespace simbus
