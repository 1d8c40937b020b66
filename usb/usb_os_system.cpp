// The product's binding of the USB boundary: each call goes straight to the
// system.
#include "usb/usb_os.h"

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
  return ::WinUsb_Initialize(file, handle);
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  return ::WinUsb_Free(handle);
}

BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                   PWINUSB_INTERFACE_HANDLE associated) {
  return ::WinUsb_GetAssociatedInterface(handle, index, associated);
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                   PUSB_INTERFACE_DESCRIPTOR descriptor) {
  return ::WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor);
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                      PWINUSB_PIPE_INFORMATION info) {
  return ::WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, info);
}

BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                          PVOID value) {
  return ::WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value);
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                     PULONG transferred, LPOVERLAPPED overlapped) {
  return ::WinUsb_ReadPipe(handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED overlapped) {
  return ::WinUsb_WritePipe(handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait) {
  return ::WinUsb_GetOverlappedResult(handle, overlapped, transferred, wait);
}

BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
  return ::WinUsb_AbortPipe(handle, pipeId);
}

}  // namespace usbos
