#include "usb/usb_pipe.h"

#include "base/result_codes.h"
#include "trace/events.h"

HRESULT UsbPipe::Create(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR index) {
  handle = nullptr;
  ZeroMemory(&overlapped, sizeof(overlapped));
  if (!usbos::WinUsb_QueryPipe(interfaceHandle, 0, index, &info)) return GW_E_USB;
  // Manual reset: the event stays signalled after a completion until the next
  // transfer starts, so repeated polls see the same completion.
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return E_OUTOFMEMORY;
  handle = interfaceHandle;
  return S_OK;
}

void UsbPipe::Destroy() {
  if (overlapped.hEvent != nullptr) {
    CloseHandle(overlapped.hEvent);
    overlapped.hEvent = nullptr;
  }
}

HRESULT UsbPipe::Abort() {
  return usbos::WinUsb_AbortPipe(handle, info.PipeId) ? S_OK : GW_E_USB;
}

HRESULT UsbPipe::Reset() {
  return usbos::WinUsb_ResetPipe(handle, info.PipeId) ? S_OK : GW_E_USB;
}

HRESULT UsbPipe::SetPolicy(ULONG policyType, ULONG valueLength, PVOID value) {
  return usbos::WinUsb_SetPipePolicy(handle, info.PipeId, policyType, valueLength, value) ? S_OK : GW_E_USB;
}

namespace {

// A start that did not complete at once is either pending (1) or failed; the
// last error stays as WinUSB set it for the caller.
HRESULT StartResult(const UsbPipe& pipe, BOOL completed) {
  if (completed) return 0;
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return 1;
  trace::UsbTransferFailed(pipe.info.PipeId, error);
  SetLastError(error);
  return GW_E_USB;
}

// A transfer that ended in failure (or was aborted); its error stays.
HRESULT Failed(const UsbPipe& pipe) {
  trace::UsbTransferFailed(pipe.info.PipeId, GetLastError());
  return GW_E_USB;
}

}  // namespace

// The system resets the event as a transfer starts (the I/O manager does
// for every overlapped request), so a completion still signalled from the
// last transfer is never taken for this one's; resetting it here as well
// would cost a system call per transfer, a wineserver request under Wine.
HRESULT UsbPipe::StartRead(void* buffer, ULONG length, ULONG* count, OVERLAPPED* ov) {
  return StartResult(
      *this, usbos::WinUsb_ReadPipe(handle, info.PipeId, static_cast<PUCHAR>(buffer), length, count, ov));
}

HRESULT UsbPipe::StartWrite(const void* buffer, ULONG length, ULONG* count, OVERLAPPED* ov) {
  // WinUSB only reads a write's buffer; its signature is not const.
  PUCHAR data = static_cast<PUCHAR>(const_cast<void*>(buffer));
  return StartResult(*this, usbos::WinUsb_WritePipe(handle, info.PipeId, data, length, count, ov));
}

HRESULT UsbPipe::PollCompletion(OVERLAPPED* ov, ULONG* count, DWORD timeoutMs) {
  if (ov->hEvent == nullptr) return E_UNEXPECTED;
  const DWORD wait = WaitForSingleObject(ov->hEvent, timeoutMs);
  if (wait == WAIT_TIMEOUT) return 1;
  if (wait != WAIT_OBJECT_0) return E_FAIL;
  // The event is signalled, so waiting here does not block.
  if (!usbos::WinUsb_GetOverlappedResult(handle, ov, count, TRUE)) return Failed(*this);
  return 0;
}

HRESULT UsbPipe::TakeCompletion(OVERLAPPED* ov, ULONG* count) {
  if (usbos::WinUsb_GetOverlappedResult(handle, ov, count, FALSE)) return 0;
  return GetLastError() == ERROR_IO_INCOMPLETE ? 1 : Failed(*this);
}
