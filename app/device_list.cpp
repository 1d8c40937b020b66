#include <cstddef>
#include <cstring>
#include <new>

#include "app/app_state.h"
#include "trace/events.h"
#include "ui/status_window.h"
#include "usb/device_class.h"
#include "usb/device_record.h"
#include "usb/path_match.h"

// The structure sizes the 32-bit system expects in cbSize.
#if !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SP_DEVICE_INTERFACE_DATA is 28 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail fixed part is 5 bytes");
#endif

void AppState::EnumerateDevices() {
  HDEVINFO set = usbos::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FISCAL_MODEM, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;

  uint32_t found = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    if (!usbos::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FISCAL_MODEM, index,
                                            &interfaceData)) {
      break;
    }
    DWORD required = 0;
    usbos::SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    // A size that cannot even hold the fixed part is as unusable as none.
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) break;

    // Without memory for the detail the pass ends; the modems left over are
    // opened at their arrival or at the next enumeration.
    char* const buffer = new (std::nothrow) char[required];
    if (buffer == nullptr) break;
    auto* const detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const size_t pathRoom = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const bool ok =
        usbos::SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr, nullptr) &&
        std::memchr(detail->DevicePath, '\0', pathRoom) != nullptr;
    if (ok) {
      ++found;
      AddDevice(detail->DevicePath);
    }
    delete[] buffer;
    if (!ok) break;
  }

  usbos::SetupDiDestroyDeviceInfoList(set);
  trace::DevicesEnumerated(found);
}

void AppState::AddDevice(const char* path) {
  if (stopped) return;
  if (path != nullptr) {
    for (DeviceRecord* listed = devices; listed != nullptr; listed = listed->next) {
      if (PathsMatch(listed->path, path)) return;
    }
    // Closed for a removal request whose outcome has not come: reopened now,
    // it would veto the removal the user asked for.
    if (FindPendingRemoval(path) != nullptr) return;
  }
  // A record that cannot be allocated is a modem that is not listed; it is
  // tried again at the next enumeration.
  DeviceRecord* const record = new (std::nothrow) DeviceRecord{};
  if (record == nullptr) {
    ArmRescan();
    return;
  }
  // Given before Open starts the worker, which posts it. 2^32 arrivals would
  // take a century at one a second, so the count never comes round.
  record->id = ++lastRecordId;
  const BridgeOwner owner = {mainWindow, 0, nullptr, ShowStatus, CloseStatusWindow};
  const HRESULT opened = record->Open(path, owner);
  if (FAILED(opened)) {
    record->Destroy();
    delete record;
    // A modem that is there but could not be opened now (another opener
    // holds it, its rights, a passing error, no memory, event or thread for
    // its bridge) is tried again in 5 s; one whose layout is not the
    // modem's, or a path that is no path, never will be.
    if (opened != E_NOTIMPL && opened != E_UNEXPECTED) ArmRescan();
    return;
  }
  record->next = devices;
  devices = record;
}

void AppState::ArmRescan() {
  if (rescanTicks == 0) {
    rescanTicks = RESCAN_DELAY_TICKS;
    rescanWaited = 0;
  }
}

void AppState::DelayRescan() {
  if (rescanTicks == 0) {
    ArmRescan();
    return;
  }
  const uint32_t left =
      rescanWaited < RESCAN_LONGEST_WAIT_TICKS ? RESCAN_LONGEST_WAIT_TICKS - rescanWaited : 1;
  rescanTicks = RESCAN_DELAY_TICKS < left ? RESCAN_DELAY_TICKS : left;
}

DeviceRecord* AppState::FindRecord(WPARAM id) {
  for (DeviceRecord* record = devices; record != nullptr; record = record->next) {
    if (record->id == id) return record;
  }
  return nullptr;
}

void AppState::RemoveDevice(DeviceRecord* record, HDEVNOTIFY* keptRegistration) {
  if (record == nullptr) return;
  if (devices == record) {
    devices = record->next;
  } else {
    for (DeviceRecord* listed = devices; listed != nullptr; listed = listed->next) {
      if (listed->next == record) {
        listed->next = record->next;
        break;
      }
    }
  }
  record->next = nullptr;
  record->Close(keptRegistration);
  if (handlerDepth == 0) {
    record->Free();
    delete record;
    return;
  }
  record->next = retired;
  retired = record;
}

void AppState::FreeRetired() {
  while (retired != nullptr) {
    DeviceRecord* const record = retired;
    retired = record->next;
    record->Free();
    delete record;
  }
}
