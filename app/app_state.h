#pragma once
// The one application record. Only the main thread touches it, except
// mainWindow, which workers read to post to; it is set before any bridge
// exists and never changes afterwards.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

struct DeviceRecord;

struct AppState {
  HINSTANCE instance;
  HWND mainWindow;
  int32_t winsockStarted;
  WSADATA wsaData;
  HDEVNOTIFY interfaceNotification;
  DeviceRecord* devices;  // head of the device list, newest first
  uint32_t rescanTicks;   // re-enumeration countdown; 0 = idle

  // The device list.
  void EnumerateDevices();
  void AddDevice(const char* path);
  void RemoveDevice(DeviceRecord* record);

  // The blocking warning balloon of the tray icon.
  BOOL ShowBalloon(const char* text);
};

extern AppState g_app;
