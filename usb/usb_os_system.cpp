// The product's binding of the USB boundary: each call goes straight to the
// system.
#include "usb/usb_os.h"

#include <cstring>

#include "base/proc_address.h"

namespace {

// WinUSB is not one of the system's known DLLs, so a static import would be
// looked for in the program's own folder first, where anyone who can write
// there could plant one. It is loaded by full path from the system folder
// instead, once, and kept for the life of the process.
struct WinUsbTable {
  DWORD loadError;  // why a function is missing; 0 when all were found
  decltype(&::WinUsb_Initialize) initialize;
  decltype(&::WinUsb_Free) free;
  decltype(&::WinUsb_GetAssociatedInterface) getAssociatedInterface;
  decltype(&::WinUsb_QueryInterfaceSettings) queryInterfaceSettings;
  decltype(&::WinUsb_QueryPipe) queryPipe;
  decltype(&::WinUsb_SetPipePolicy) setPipePolicy;
  decltype(&::WinUsb_ReadPipe) readPipe;
  decltype(&::WinUsb_WritePipe) writePipe;
  decltype(&::WinUsb_GetOverlappedResult) getOverlappedResult;
  decltype(&::WinUsb_AbortPipe) abortPipe;
  decltype(&::WinUsb_ResetPipe) resetPipe;
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* slot, DWORD* loadError) {
  *slot = ProcAddress<Function>(module, name);
  if (*slot == nullptr) *loadError = ERROR_PROC_NOT_FOUND;
}

WinUsbTable LoadWinUsb() {
  WinUsbTable table = {};
  static const char fileName[] = "\\winusb.dll";
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof fileName > MAX_PATH) {
    table.loadError = ERROR_PATH_NOT_FOUND;
    return table;
  }
  std::memcpy(path + length, fileName, sizeof fileName);
  // Its own dependencies are looked for beside it, in the system folder.
  const HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    table.loadError = GetLastError();
    return table;
  }
  Resolve(module, "WinUsb_Initialize", &table.initialize, &table.loadError);
  Resolve(module, "WinUsb_Free", &table.free, &table.loadError);
  Resolve(module, "WinUsb_GetAssociatedInterface", &table.getAssociatedInterface, &table.loadError);
  Resolve(module, "WinUsb_QueryInterfaceSettings", &table.queryInterfaceSettings, &table.loadError);
  Resolve(module, "WinUsb_QueryPipe", &table.queryPipe, &table.loadError);
  Resolve(module, "WinUsb_SetPipePolicy", &table.setPipePolicy, &table.loadError);
  Resolve(module, "WinUsb_ReadPipe", &table.readPipe, &table.loadError);
  Resolve(module, "WinUsb_WritePipe", &table.writePipe, &table.loadError);
  Resolve(module, "WinUsb_GetOverlappedResult", &table.getOverlappedResult, &table.loadError);
  Resolve(module, "WinUsb_AbortPipe", &table.abortPipe, &table.loadError);
  Resolve(module, "WinUsb_ResetPipe", &table.resetPipe, &table.loadError);
  return table;
}

// One table for every call: a static inside the template below would be one
// per instantiation, each loading the library and resolving it again.
const WinUsbTable& TheWinUsbTable() {
  static const WinUsbTable table = LoadWinUsb();  // the first caller loads it; others wait
  return table;
}

// A call of a function that could not be had fails as a WinUSB call does,
// with its reason as the last error.
template <typename Function, typename... Args>
BOOL CallWinUsb(Function WinUsbTable::*slot, Args... args) {
  const WinUsbTable& table = TheWinUsbTable();
  if (table.*slot == nullptr) {
    SetLastError(table.loadError);
    return FALSE;
  }
  return (table.*slot)(args...);
}

}  // namespace

namespace usbos {

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* classGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, classGuid, memberIndex, interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
  return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, deviceInfo);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return ::SetupDiDestroyDeviceInfoList(set);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  return ::CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
}

BOOL CloseHandle(HANDLE file) {
  return ::CloseHandle(file);
}

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
  return ::RegisterDeviceNotificationA(recipient, filter, flags);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
  return ::UnregisterDeviceNotification(notification);
}

BOOL WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  return CallWinUsb(&WinUsbTable::initialize, file, handle);
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  return CallWinUsb(&WinUsbTable::free, handle);
}

BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                   PWINUSB_INTERFACE_HANDLE associated) {
  return CallWinUsb(&WinUsbTable::getAssociatedInterface, handle, index, associated);
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                   PUSB_INTERFACE_DESCRIPTOR descriptor) {
  return CallWinUsb(&WinUsbTable::queryInterfaceSettings, handle, alternateSetting, descriptor);
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                      PWINUSB_PIPE_INFORMATION info) {
  return CallWinUsb(&WinUsbTable::queryPipe, handle, alternateSetting, pipeIndex, info);
}

BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                          PVOID value) {
  return CallWinUsb(&WinUsbTable::setPipePolicy, handle, pipeId, policyType, valueLength, value);
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                     PULONG transferred, LPOVERLAPPED overlapped) {
  return CallWinUsb(&WinUsbTable::readPipe, handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED overlapped) {
  return CallWinUsb(&WinUsbTable::writePipe, handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait) {
  return CallWinUsb(&WinUsbTable::getOverlappedResult, handle, overlapped, transferred, wait);
}

BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
  return CallWinUsb(&WinUsbTable::abortPipe, handle, pipeId);
}

BOOL WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
  return CallWinUsb(&WinUsbTable::resetPipe, handle, pipeId);
}

}  // namespace usbos
