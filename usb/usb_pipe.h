#pragma once
// One endpoint of an opened WinUSB interface, with the one overlapped record
// (and manual-reset event) that every transfer on it uses: at most one
// transfer is outstanding on a pipe.
#include "usb/usb_os.h"

struct UsbPipe {
  WINUSB_INTERFACE_HANDLE handle;  // the owning interface's handle; not owned; null until created
  WINUSB_PIPE_INFORMATION info;    // as WinUsb_QueryPipe gives it; PipeId addresses the endpoint
  OVERLAPPED overlapped;           // zero-filled at creation; hEvent is owned by the pipe

  // Queries pipe `index` of `interfaceHandle` and creates the event.
  // S_OK; GW_E_USB; E_OUTOFMEMORY.
  HRESULT Create(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR index);
  // Closes the event; the interface handle is left alone.
  void Destroy();

  // 0 or GW_E_USB.
  HRESULT Abort();
  // Clears a halt (stall) of the endpoint and resets its data toggle; 0 or GW_E_USB.
  HRESULT Reset();
  HRESULT SetPolicy(ULONG policyType, ULONG valueLength, PVOID value);
  // 0 = completed at once, 1 = pending, GW_E_USB (last error left as WinUSB set it).
  HRESULT StartRead(void* buffer, ULONG length, ULONG* count, OVERLAPPED* ov);
  HRESULT StartWrite(const void* buffer, ULONG length, ULONG* count, OVERLAPPED* ov);
  // 0 = completed (count stored), 1 = not yet, E_FAIL (wait failed), GW_E_USB
  // (transfer failed or was aborted), E_UNEXPECTED (no event). Never resets the event.
  HRESULT PollCompletion(OVERLAPPED* ov, ULONG* count, DWORD timeoutMs);
  // For a transfer whose event was seen set: 0 = completed (count stored),
  // 1 = still pending, GW_E_USB (failed or aborted). Never waits.
  HRESULT TakeCompletion(OVERLAPPED* ov, ULONG* count);
};
