// Device enumeration bound to the simulated bus: a set is a snapshot of the
// modems' device interfaces, queried with the system's size and buffer rules.
#include <cstddef>
#include <cstring>
#include <memory>

#include "simbus/bus_state.h"
#include "usb/device_class.h"

namespace usbos {

using simbus::BusLock;
using simbus::DeviceSet;
using simbus::TheBus;

namespace {

bool IsModemClass(const GUID* classGuid) {
  return classGuid != nullptr && std::memcmp(classGuid, &GUID_DEVINTERFACE_FISCAL_MODEM, sizeof(GUID)) == 0;
}

DeviceSet* FindSet(simbus::Bus& bus, HDEVINFO set) {
  const auto found = bus.sets.find(set);
  if (found == bus.sets.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second.get();
}

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  // Only sets of device interfaces are simulated, the kind the gateway asks for.
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if ((flags & DIGCF_DEVICEINTERFACE) == 0 || enumerator != nullptr ||
      (classGuid == nullptr && !allClasses)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<DeviceSet>();
  if (allClasses || IsModemClass(classGuid)) {
    for (const auto& entry : bus.modems) {
      if ((flags & DIGCF_PRESENT) != 0 && !entry.second->present) continue;
      set->members.push_back({entry.first, entry.second->path});
    }
  }
  HDEVINFO handle = set.get();
  bus.sets[handle] = std::move(set);
  return handle;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* classGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const DeviceSet* devices = FindSet(bus, set);
  if (devices == nullptr) return FALSE;
  // The simulated sets have no device information elements to narrow to.
  if (interfaceData == nullptr || classGuid == nullptr || deviceInfo != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (!IsModemClass(classGuid) || memberIndex >= devices->members.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const simbus::Modem* modem = bus.FindModem(devices->members[memberIndex].modem);
  interfaceData->InterfaceClassGuid = GUID_DEVINTERFACE_FISCAL_MODEM;
  interfaceData->Flags = modem->present ? SPINT_ACTIVE : 0;
  // Reserved names the member for the detail query; 0 is no member.
  interfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const DeviceSet* devices = FindSet(bus, set);
  if (devices == nullptr) return FALSE;
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (interfaceData->Reserved == 0 || interfaceData->Reserved > devices->members.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const simbus::DeviceSetMember& member = devices->members[interfaceData->Reserved - 1];
  if (bus.Faulted(member.modem, simbus::BusCall::InterfaceDetail, 0)) return FALSE;

  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + member.path.size() + 1);
  // The size query: no buffer (and then no size) gives the size needed.
  if (detail == nullptr) {
    if (detailSize != 0) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (requiredSize != nullptr) *requiredSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // cbSize is the size of the fixed part only: 5 in the 32-bit layout, 8 in the 64-bit one.
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      (deviceInfo != nullptr && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // DevicePath is declared with one element; the text runs on into the caller's buffer.
  char* path = reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  std::memcpy(path, member.path.c_str(), member.path.size() + 1);
  if (deviceInfo != nullptr) {
    deviceInfo->ClassGuid = GUID{};
    deviceInfo->DevInst = static_cast<DWORD>(member.modem);
    deviceInfo->Reserved = 0;
  }
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return simbus::ForgetHandle(TheBus().sets, set);
}

}  // namespace usbos
