#include "ui/status_copy.h"

#include <cstdio>

#include "base/program_strings.h"
#include "ui/status_text.h"

namespace {

// Every row (512 bytes at most each) and the header fit.
constexpr uint32_t TEXT_SIZE = 16384;

// The text in UTF-16 in memory the clipboard can own, or null. The program's
// texts (its string table loaded by LoadStringA, the device path) are in the
// ANSI code page.
HGLOBAL WideCopy(const char* text, int length) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text, length + 1, nullptr, 0);
  if (units <= 0) return nullptr;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(units) * sizeof(wchar_t));
  if (memory == nullptr) return nullptr;
  auto* wide = static_cast<wchar_t*>(GlobalLock(memory));
  const bool converted =
      wide != nullptr && MultiByteToWideChar(CP_ACP, 0, text, length + 1, wide, units) == units;
  if (wide != nullptr) GlobalUnlock(memory);
  if (!converted) {
    GlobalFree(memory);
    return nullptr;
  }
  return memory;
}

}  // namespace

bool CopyStatusText(HWND owner, ModemBridge* bridge) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char time[32];
  std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(now.wYear),
                static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay),
                static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                static_cast<unsigned>(now.wSecond));
  const StatusTextHeader header = {VARNEL_VERSION, bridge->status.serial,
                                   bridge->owner.path != nullptr ? bridge->owner.path : "", time};
  static char text[TEXT_SIZE];  // main thread only
  const uint32_t length =
      RenderStatusText(bridge->status, bridge->traffic, header, text, sizeof text, LoadProgramString);
  HGLOBAL memory = WideCopy(text, static_cast<int>(length));
  if (memory == nullptr) return false;
  if (!OpenClipboard(owner)) {
    GlobalFree(memory);
    return false;
  }
  EmptyClipboard();
  // Once set, the clipboard owns the memory.
  const bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  if (!set) GlobalFree(memory);
  CloseClipboard();
  return set;
}
