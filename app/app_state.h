#pragma once
// The one application record. Only the main thread touches it, except
// mainWindow, which workers read to post to; it is set before any bridge
// exists and never changes afterwards.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

struct DeviceRecord;

// The main window's timer: every poll, and the re-enumeration countdown.
constexpr UINT_PTR TIMER_TICK = 1;
constexpr UINT TICK_MS = 100;
// From the end of a bridge worker to the next enumeration of devices.
constexpr uint32_t RESCAN_DELAY_TICKS = 50;
// How often a tray icon the shell has not taken is offered again: a second.
constexpr uint32_t TRAY_RETRY_TICKS = 10;

constexpr char MAIN_WINDOW_CLASS[] = "VarnelWnd";
constexpr char MAIN_WINDOW_TITLE[] = "Varnel";

// Tray menu commands: Exit, and one per listed device from the head on.
constexpr UINT IDM_EXIT = 1;
constexpr UINT IDM_DEVICE_BASE = 2;

struct AppState {
  HINSTANCE instance;
  HWND mainWindow;
  int32_t winsockStarted;
  WSADATA wsaData;
  HDEVNOTIFY interfaceNotification;
  DeviceRecord* devices;  // head of the device list, newest first
  uint32_t rescanTicks;   // re-enumeration countdown; 0 = idle
  // The shell's "TaskbarCreated" broadcast: the notification area was made
  // anew (Explorer restarted) and the icon must be added again. 0 if the
  // message could not be registered.
  UINT taskbarCreatedMessage;
  uint32_t lastRecordId;  // the id given to the newest record; 0 = none yet
  // Whether the shell has the icon. At logon the taskbar may not exist yet,
  // or the shell may be too busy to answer: until it takes the icon, the
  // tick offers it again every TRAY_RETRY_TICKS.
  bool trayIconShown;
  uint32_t trayRetryTicks;  // ticks until the next offer; counts while the icon is missing
  // A balloon that fell due while the icon was missing, shown once it is
  // back; empty when none. Only the latest is kept.
  char pendingBalloon[256];

  // Start-up and shut-down (main window, sockets, notifications, devices, icon).
  HRESULT Initialize();
  void Shutdown();
  // Everything the main window receives.
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // The device list.
  void EnumerateDevices();
  void AddDevice(const char* path);
  void RemoveDevice(DeviceRecord* record);
  // Arms the re-enumeration countdown unless it is already counting.
  void ArmRescan();
  // The listed record a worker's message names (its id), or null.
  DeviceRecord* FindRecord(WPARAM id);

  // The tray icon and its menu.
  void AddTrayIcon();
  BOOL UpdateTrayIcon();
  BOOL ShowBalloon(const char* text);
  void RemoveTrayIcon();
  void ShowTrayMenu(LPARAM mouseMessage);
  // The menu for the device list as it is now; the caller destroys it.
  HMENU BuildTrayMenu();
  // Carries out a command the menu returned (0: dismissed).
  void RunTrayCommand(UINT command);

 private:
  void OnTick();
  void OnDeviceChange(WPARAM event, LPARAM lParam);
  // Offers the icon to the shell again while it is missing.
  void KeepTrayIcon();
};

extern AppState g_app;

// A string of the program's table into `buffer` of `size` bytes: its length,
// or 0 with the buffer empty when it cannot be loaded (LoadStringA does not
// promise to terminate the buffer then).
int LoadProgramString(uint32_t id, char* buffer, int size);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
