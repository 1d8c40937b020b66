#include "usb/device_record.h"

#include <new>

#include "base/result_codes.h"
#include "base/text_copy.h"
#include "trace/events.h"

// The handle filter registered for each device file; the system checks its size.
#if !defined(_WIN64)
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 44, "32-bit DEV_BROADCAST_HANDLE is 44 bytes");
#endif

namespace {

HRESULT OutOfMemory() {
  SetLastError(ERROR_OUTOFMEMORY);
  return E_OUTOFMEMORY;
}

}  // namespace

HRESULT DeviceRecord::Open(const char* devicePath, const BridgeOwner& owner) {
  file = INVALID_HANDLE_VALUE;
  bridge = nullptr;
  stoppedBridge = nullptr;
  path = nullptr;
  displayName = nullptr;
  handleNotification = nullptr;
  interfaceCount = 0;

  if (devicePath == nullptr || devicePath[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_UNEXPECTED;
  }
  path = CopyText(devicePath);
  if (path == nullptr) return OutOfMemory();

  // A device object's default security gives full access to administrators
  // only, and everyone else read, write and execute, which is all WinUSB
  // needs. Started at logon the program runs with the user's token (filtered
  // under UAC), so full access is refused there: it asks for less.
  file = usbos::CreateFileA(path, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  trace::DeviceOpenTried(id, path, GENERIC_ALL, file);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = usbos::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    trace::DeviceOpenTried(id, path, GENERIC_READ | GENERIC_WRITE, file);
  }
  if (file == INVALID_HANDLE_VALUE) return GW_E_OPEN_DEVICE;

  DEV_BROADCAST_HANDLE filter = {};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = file;
  handleNotification = usbos::RegisterDeviceNotificationA(owner.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (handleNotification == nullptr) return GW_E_NOTIFICATION;

  WINUSB_INTERFACE_HANDLE current = nullptr;
  if (!usbos::WinUsb_Initialize(file, &current)) return GW_E_USB;
  for (;;) {
    UsbInterface* usbInterface = new (std::nothrow) UsbInterface{};
    if (usbInterface == nullptr) {
      // No interface object owns this handle yet, so Destroy would never free it.
      usbos::WinUsb_Free(current);
      return OutOfMemory();
    }
    interfaces[interfaceCount++] = usbInterface;
    const HRESULT created = usbInterface->Create(current);
    if (FAILED(created)) return created;
    if (interfaceCount == MAX_INTERFACES) break;
    if (!usbos::WinUsb_GetAssociatedInterface(interfaces[0]->handle, static_cast<UCHAR>(interfaceCount - 1),
                                              &current)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      return GW_E_USB;
    }
  }

  BridgeOwner mine = owner;
  mine.id = id;
  mine.path = path;
  return CreateBridge(interfaces, interfaceCount, mine, &bridge);
}

void DeviceRecord::Destroy() {
  Close();
  Free();
}

void DeviceRecord::Close(HDEVNOTIFY* kept) {
  if (kept != nullptr) {
    *kept = handleNotification;
  } else if (handleNotification != nullptr) {
    usbos::UnregisterDeviceNotification(handleNotification);
  }
  handleNotification = nullptr;
  // The worker must be stopped before the pipes it uses go away; the bridge
  // object itself is released only after them and never touches them then.
  ModemBridge* const stopped = bridge;
  bridge = nullptr;
  if (stopped != nullptr) {
    stopped->ops->Stop(stopped);
    stoppedBridge = stopped;
  }
  for (int32_t i = 0; i < interfaceCount; ++i) {
    interfaces[i]->Destroy();
    delete interfaces[i];
    interfaces[i] = nullptr;
  }
  interfaceCount = 0;
  if (file != INVALID_HANDLE_VALUE) {
    usbos::CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
}

void DeviceRecord::Free() {
  delete[] path;
  path = nullptr;
  delete[] displayName;
  displayName = nullptr;
  if (stoppedBridge != nullptr) stoppedBridge->ops->Release(stoppedBridge);
  stoppedBridge = nullptr;
}

void DeviceRecord::SetDisplayName(const char* text) {
  // Copied before the old name is freed: the text may be the current name.
  char* const copy = (text != nullptr && text[0] != '\0') ? CopyText(text) : nullptr;
  delete[] displayName;
  displayName = copy;
}

int32_t DeviceRecord::IsConnected() {
  return bridge != nullptr ? bridge->ops->IsConnected(bridge) : 0;
}

MessageOutcome DeviceRecord::OnDeviceMessage(IoBuffer* message) {
  if (bridge != nullptr) return bridge->ops->OnDeviceMessage(bridge, message);
  FreeIoBuffer(message);
  return MessageOutcome{};
}

void DeviceRecord::OnTick() {
  if (bridge != nullptr) bridge->ops->OnTick(bridge);
}

void DeviceRecord::ShowStatus() {
  if (bridge != nullptr) bridge->ops->ShowStatus(bridge);
}

void DeviceRecord::OnStateChanged() {
  if (bridge != nullptr) bridge->ops->OnStateChanged(bridge);
}
