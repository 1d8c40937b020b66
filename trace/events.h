#pragma once
// The program's trace events, one function each. A function does nothing
// beyond one check unless a trace session has the provider enabled at its
// level and keyword; none of them changes the caller's last error. No
// event carries a byte of what the modem and its acquirer exchange.
#include <winsock2.h>
#include <windows.h>
#include <winusb.h>

#include <cstdint>

struct ModemBridge;

namespace trace {

// Why a link ended (ModemBridge::linkEndCause). Unset, a link closed by a
// stop request ended with the program's exit or the modem's removal.
constexpr uint8_t LINK_END_UNSET = 0;
constexpr uint8_t LINK_END_CLOSE = 1;        // the modem asked to close it
constexpr uint8_t LINK_END_NEW_REQUEST = 2;  // the modem asked for another link
constexpr uint8_t LINK_END_RESET = 3;        // the server reset it
constexpr uint8_t LINK_END_ERROR = 4;        // another socket error (linkEndError)
constexpr uint8_t LINK_END_UNPLUG = 5;       // the modem went away
constexpr uint8_t LINK_END_USB_ERROR = 6;    // a USB call failed otherwise (linkEndError)
constexpr uint8_t LINK_END_EXIT = 7;         // the program exits

// Start: registers the provider and writes "Start"; end: "Exit", and the
// provider goes. ProgramStopping marks what closes from then on as the
// program's exit.
void ProgramStarted();
void ProgramStopping();
void ProgramEnded();

void DevicesEnumerated(uint32_t found);
// One try to open a modem's device file: `file` is what CreateFileA gave,
// the error is the last error when it failed.
void DeviceOpenTried(uint32_t device, const char* path, uint32_t access, HANDLE file);
// The interfaces a modem's device offers (the first one's descriptor, null
// when none) and whether the bridge accepts them.
void LayoutFound(uint32_t device, int32_t interfaceCount, const USB_INTERFACE_DESCRIPTOR* first,
                 bool accepted);
// The address text as the modem gave it, before it is parsed.
void ConnectRequested(uint32_t device, const char* text);
void ConnectEnded(uint32_t device, HRESULT result, DWORD error, ULONGLONG startedAt);
// Before the bridge's link closes; bytes each way since it came up.
void LinkEnded(const ModemBridge* bridge);
void UsbTransferFailed(uint8_t pipe, DWORD error);
// Gives `shown` back, so that the call wraps the shell's.
BOOL BalloonShown(const char* text, BOOL shown);

// Right after the worker's passes end, with the last error its failing
// call left: writes "WorkerEnded", and notes for the link's end that the
// modem went away or a USB call failed (which the bridge keeps whether or
// not anyone traces).
void WorkerEnding(ModemBridge* bridge, HRESULT result);

}  // namespace trace
