#include "usb/usb_interface.h"

#include <new>

#include "base/result_codes.h"

namespace {

// The allocator does not set the system's last error; the caller expects it.
HRESULT OutOfMemory() {
  SetLastError(ERROR_OUTOFMEMORY);
  return E_OUTOFMEMORY;
}

}  // namespace

HRESULT UsbInterface::Create(WINUSB_INTERFACE_HANDLE interfaceHandle) {
  pipes = nullptr;
  handle = interfaceHandle;
  if (!usbos::WinUsb_QueryInterfaceSettings(handle, 0, &descriptor)) return GW_E_USB;
  if (descriptor.bNumEndpoints == 0) return E_UNEXPECTED;
  // Every entry starts as none, so destruction after a failure below frees
  // exactly the pipes built so far.
  pipes = new (std::nothrow) UsbPipe*[descriptor.bNumEndpoints]();
  if (pipes == nullptr) return OutOfMemory();
  for (UCHAR i = 0; i < descriptor.bNumEndpoints; ++i) {
    pipes[i] = new (std::nothrow) UsbPipe();
    if (pipes[i] == nullptr) return OutOfMemory();
    const HRESULT result = pipes[i]->Create(handle, i);
    if (result < 0) return result;
  }
  return S_OK;
}

void UsbInterface::Destroy() {
  if (pipes != nullptr) {
    for (UCHAR i = 0; i < descriptor.bNumEndpoints; ++i) {
      if (pipes[i] == nullptr) continue;
      pipes[i]->Destroy();
      delete pipes[i];
    }
    delete[] pipes;
    pipes = nullptr;
  }
  if (handle != nullptr) {
    usbos::WinUsb_Free(handle);
    handle = nullptr;
  }
}
