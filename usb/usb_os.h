#pragma once
// The one boundary between the USB device layer and the device stack.
// Every call the product makes to device enumeration, the device file,
// device notifications and WinUSB is listed here, with the system's own
// signature. The product binds it to the system (usb_os_system.cpp); tests
// and the demo bind it to the simulated modem bus (simbus/) instead, which
// keeps the system's contract: overlapped completion through the caller's
// event and the system's error codes.
#include <winsock2.h>
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
#include <dbt.h>

namespace usbos {

// Device enumeration.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* classGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// The device file and its notifications.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE file);
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

// WinUSB.
BOOL WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle);
BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle);
BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                   PWINUSB_INTERFACE_HANDLE associated);
BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                   PUSB_INTERFACE_DESCRIPTOR descriptor);
BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                      PWINUSB_PIPE_INFORMATION info);
BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                          PVOID value);
BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                     PULONG transferred, LPOVERLAPPED overlapped);
BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED overlapped);
BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait);
BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId);
BOOL WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId);

}  // namespace usbos
