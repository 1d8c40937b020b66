#pragma once
// One interface of an opened modem: its WinUSB handle (owned), its
// descriptor for alternate setting 0 and one UsbPipe per endpoint.
#include "usb/usb_pipe.h"

struct UsbInterface {
  WINUSB_INTERFACE_HANDLE handle;       // owned from the first step of Create: WinUsb_Free on Destroy
  USB_INTERFACE_DESCRIPTOR descriptor;  // alternate setting 0
  UsbPipe** pipes;                      // bNumEndpoints entries, owned; null entries not built yet

  // S_OK; GW_E_USB; E_UNEXPECTED (no endpoints); or the first failing pipe's
  // code. A failed creation is destroyed like a complete one.
  HRESULT Create(WINUSB_INTERFACE_HANDLE interfaceHandle);
  // Frees the pipes built so far, the array and the WinUSB handle.
  void Destroy();
};
