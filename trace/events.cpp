#include "trace/events.h"

#include "bridge/modem_bridge.h"
#include "trace/provider.h"

namespace trace {

namespace {

std::atomic<bool> g_exiting{false};

const char* const LINK_END_NAMES[] = {"",      "close",  "new request", "reset",
                                      "error", "unplug", "usb error",   "exit"};

// What a removed modem's transfers and calls fail with (433 is
// ERROR_NO_SUCH_DEVICE, which the SDK headers lack).
constexpr DWORD NO_SUCH_DEVICE = 433;

bool IsRemovalError(DWORD error) {
  return error == ERROR_DEVICE_NOT_CONNECTED || error == NO_SUCH_DEVICE || error == ERROR_BAD_COMMAND;
}

}  // namespace

void ProgramStarted() {
  RegisterProvider();
  if (!IsEnabled(LEVEL_INFO, KEYWORD_PROGRAM)) return;
  EventLayout e;
  e.Begin("Start");
  e.AddString("version", VARNEL_VERSION);
  e.AddUInt32("bits", sizeof(void*) * 8);
  WriteEvent(LEVEL_INFO, KEYWORD_PROGRAM, e);
}

void ProgramStopping() {
  g_exiting.store(true);
}

void ProgramEnded() {
  if (IsEnabled(LEVEL_INFO, KEYWORD_PROGRAM)) {
    EventLayout e;
    e.Begin("Exit");
    e.AddString("version", VARNEL_VERSION);
    e.AddUInt32("bits", sizeof(void*) * 8);
    WriteEvent(LEVEL_INFO, KEYWORD_PROGRAM, e);
  }
  UnregisterProvider();
}

void DevicesEnumerated(uint32_t found) {
  if (!IsEnabled(LEVEL_INFO, KEYWORD_DEVICE)) return;
  EventLayout e;
  e.Begin("Enumerated");
  e.AddUInt32("modems", found);
  WriteEvent(LEVEL_INFO, KEYWORD_DEVICE, e);
}

void DeviceOpenTried(uint32_t device, const char* path, uint32_t access, HANDLE file) {
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  const uint8_t level = error != ERROR_SUCCESS ? LEVEL_ERROR : LEVEL_INFO;
  if (!IsEnabled(level, KEYWORD_DEVICE)) return;
  EventLayout e;
  e.Begin("OpenTried");
  e.AddUInt32("device", device);
  e.AddString("path", path);
  e.AddHex32("access", access);
  e.AddUInt32("error", error, OUT_WIN32ERROR);
  WriteEvent(level, KEYWORD_DEVICE, e);
}

void LayoutFound(uint32_t device, int32_t interfaceCount, const USB_INTERFACE_DESCRIPTOR* first,
                 bool accepted) {
  const uint8_t level = accepted ? LEVEL_INFO : LEVEL_WARNING;
  if (!IsEnabled(level, KEYWORD_DEVICE)) return;
  EventLayout e;
  e.Begin("Layout");
  e.AddUInt32("device", device);
  e.AddUInt32("interfaces", static_cast<uint32_t>(interfaceCount));
  e.AddHex32("class", first != nullptr ? first->bInterfaceClass : 0);
  e.AddHex32("subclass", first != nullptr ? first->bInterfaceSubClass : 0);
  e.AddHex32("protocol", first != nullptr ? first->bInterfaceProtocol : 0);
  e.AddUInt32("endpoints", first != nullptr ? first->bNumEndpoints : 0);
  e.AddUInt32("accepted", accepted ? 1 : 0);
  WriteEvent(level, KEYWORD_DEVICE, e);
}

void ConnectRequested(uint32_t device, const char* text) {
  if (!IsEnabled(LEVEL_INFO, KEYWORD_LINK)) return;
  // Split at the first ':' as the modem wrote it: nothing is parsed yet.
  char host[STRING_VALUE_MAX + 1];
  uint32_t length = 0;
  while (length < STRING_VALUE_MAX && text[length] != '\0' && text[length] != ':') {
    host[length] = text[length];
    ++length;
  }
  host[length] = '\0';
  EventLayout e;
  e.Begin("ConnectRequested");
  e.AddUInt32("device", device);
  e.AddString("host", host);
  e.AddString("port", text[length] == ':' ? text + length + 1 : "");
  WriteEvent(LEVEL_INFO, KEYWORD_LINK, e);
}

void ConnectEnded(uint32_t device, HRESULT result, DWORD error, ULONGLONG startedAt) {
  const uint8_t level = result < 0 ? LEVEL_WARNING : LEVEL_INFO;
  if (!IsEnabled(level, KEYWORD_LINK)) return;
  EventLayout e;
  e.Begin("ConnectEnded");
  e.AddUInt32("device", device);
  e.AddInt32("result", result, OUT_HRESULT);
  e.AddUInt32("error", result < 0 ? error : 0, OUT_WIN32ERROR);
  e.AddUInt32("ms", static_cast<uint32_t>(GetTickCount64() - startedAt));
  WriteEvent(level, KEYWORD_LINK, e);
}

void LinkEnded(const ModemBridge* bridge) {
  if (!IsEnabled(LEVEL_INFO, KEYWORD_LINK)) return;
  uint8_t cause = bridge->linkEndCause;
  if (cause == LINK_END_UNSET) cause = g_exiting.load() ? LINK_END_EXIT : LINK_END_UNPLUG;
  EventLayout e;
  e.Begin("LinkEnded");
  e.AddUInt32("device", static_cast<uint32_t>(bridge->deviceId));
  e.AddString("cause", LINK_END_NAMES[cause]);
  e.AddUInt32("error", bridge->linkEndError, OUT_WIN32ERROR);
  e.AddUInt64("received", bridge->traffic.receiveBytes.load() - bridge->linkReceivedBase);
  e.AddUInt64("sent", bridge->traffic.sendBytes.load() - bridge->linkSentBase);
  WriteEvent(LEVEL_INFO, KEYWORD_LINK, e);
}

void UsbTransferFailed(uint8_t pipe, DWORD error) {
  if (!IsEnabled(LEVEL_ERROR, KEYWORD_USB)) return;
  EventLayout e;
  e.Begin("UsbTransferFailed");
  e.AddHex32("pipe", pipe);
  e.AddUInt32("error", error, OUT_WIN32ERROR);
  WriteEvent(LEVEL_ERROR, KEYWORD_USB, e);
}

BOOL BalloonShown(const char* text, BOOL shown) {
  if (!IsEnabled(LEVEL_INFO, KEYWORD_PROGRAM)) return shown;
  // The warning's text is Ukrainian in the ANSI code page: carried as
  // UTF-16, so that it reads the same wherever the trace is decoded.
  static_assert(sizeof(wchar_t) == sizeof(uint16_t), "UTF-16 units");
  wchar_t wide[STRING_VALUE_MAX + 1];
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, STRING_VALUE_MAX + 1) == 0) wide[0] = L'\0';
  wide[STRING_VALUE_MAX] = L'\0';
  EventLayout e;
  e.Begin("BalloonShown");
  e.AddUtf16("text", reinterpret_cast<const uint16_t*>(wide));
  e.AddUInt32("shown", shown ? 1 : 0);
  WriteEvent(LEVEL_INFO, KEYWORD_PROGRAM, e);
  return shown;
}

void WorkerEnding(ModemBridge* bridge, HRESULT result) {
  const DWORD error = result < 0 ? GetLastError() : ERROR_SUCCESS;
  if (result < 0) {
    bridge->linkEndCause = IsRemovalError(error) ? LINK_END_UNPLUG : LINK_END_USB_ERROR;
    bridge->linkEndError = error;
  }
  const uint8_t level = result < 0 ? LEVEL_WARNING : LEVEL_INFO;
  if (!IsEnabled(level, KEYWORD_DEVICE)) return;
  EventLayout e;
  e.Begin("WorkerEnded");
  e.AddUInt32("device", static_cast<uint32_t>(bridge->deviceId));
  e.AddInt32("result", result, OUT_HRESULT);
  e.AddUInt32("error", error, OUT_WIN32ERROR);
  WriteEvent(level, KEYWORD_DEVICE, e);
}

}  // namespace trace
