#pragma once
// The one application record. Only the main thread touches it, except
// mainWindow, which workers read to post to; it is set before any bridge
// exists and never changes afterwards.
#include <winsock2.h>
#include <windows.h>
#include <dbt.h>

#include <cstdint>

#include "base/program_strings.h"
#include "bridge/modem_bridge.h"

struct DeviceRecord;
struct IoBuffer;

// The main window's timer: every poll, and the re-enumeration countdown.
constexpr UINT_PTR TIMER_TICK = 1;
constexpr UINT TICK_MS = 100;
// From the end of a bridge worker to the next enumeration of devices.
constexpr uint32_t RESCAN_DELAY_TICKS = 50;
// The longest a pending enumeration waits, however often workers end (a
// loose cable) and push it back: 15 s from when it was first due.
constexpr uint32_t RESCAN_LONGEST_WAIT_TICKS = 150;
// How long a modem whose removal was requested is left alone when neither
// the removal's completion nor its veto is heard: 30 s. Then the
// enumeration decides.
constexpr uint32_t REMOVAL_WAIT_TICKS = 300;
// How often a tray icon the shell has not taken is offered again: a second.
constexpr uint32_t TRAY_RETRY_TICKS = 10;

constexpr char MAIN_WINDOW_CLASS[] = "VarnelWnd";
constexpr char MAIN_WINDOW_TITLE[] = "Varnel";

// Tray menu commands: Exit, and one per listed device from the head on;
// each device's item carries its record's id as its data.
constexpr UINT IDM_EXIT = 1;
constexpr UINT IDM_DEVICE_BASE = 2;

// A modem closed on a removal request, until the removal completes, is
// vetoed, or REMOVAL_WAIT_TICKS pass.
struct PendingRemoval {
  PendingRemoval* next;
  HDEVNOTIFY registration;  // the record's handle registration, kept for the outcome
  HANDLE closedFile;        // the handle the outcome's broadcast names (closed)
  char* path;               // owned
  uint32_t ticks;           // since the request
};

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
  // Ticks until the next offer; counts while the icon is missing or a
  // balloon waits.
  uint32_t trayRetryTicks;
  // A balloon that fell due while the icon was missing, shown once it is
  // back; empty when none. Only the latest is kept.
  char pendingBalloon[256];
  uint32_t balloonRefusals;  // refusals of the pending balloon by a shell that has the icon
  // Enumeration countdown's age: ticks since it was armed from idle.
  uint32_t rescanWaited;
  // Modems whose removal was requested: closed, their handle registration
  // kept until the removal completes or is vetoed. Newest first.
  PendingRemoval* pendingRemovals;
  // Main-window handlers running (nested inside calls that wait for another
  // process or run a loop of their own). Records removed meanwhile are
  // closed at once and freed only when the outermost returns, so no handler
  // can find a record or bridge it holds freed under it.
  uint32_t handlerDepth;
  DeviceRecord* retired;  // closed, waiting for handlerDepth to reach 0
  bool stopped;           // Shutdown has run: no shell call, no reopen

  // Start-up and shut-down (main window, sockets, notifications, devices,
  // icon). At the session's end every link is closed at once and the shell,
  // which is ending too, is not called.
  HRESULT Initialize();
  void Shutdown(bool sessionEnding = false);
  // Everything the main window receives.
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // A modem's message taken over from its worker: the cache, its name, its
  // open status window, and last, the balloon (a call into the shell).
  void TakeDeviceMessage(DeviceRecord* record, IoBuffer* message);

  // The device list.
  void EnumerateDevices();
  void AddDevice(const char* path);
  // Unlists and closes the record; frees it now, or once the outermost
  // handler returns.
  void RemoveDevice(DeviceRecord* record, HDEVNOTIFY* keptRegistration = nullptr);
  void FreeRetired();
  // Arms the re-enumeration countdown unless it is already counting.
  void ArmRescan();
  // Sets it RESCAN_DELAY_TICKS from now, but never past its longest wait.
  void DelayRescan();
  // The listed record a worker's message names (its id), or null.
  DeviceRecord* FindRecord(WPARAM id);

  // The tray icon and its menu.
  void AddTrayIcon();
  BOOL UpdateTrayIcon();
  BOOL ShowBalloon(const char* text);
  // The balloon that waits (pendingBalloon), if the shell has the icon.
  BOOL ShowPendingBalloon();
  void RemoveTrayIcon();
  void ShowTrayMenu(LPARAM mouseMessage);
  // The menu for the device list as it is now; the caller destroys it.
  HMENU BuildTrayMenu();
  // The id of the record a device item of the menu was built from; 0 for
  // any other command.
  static uint32_t TrayItemRecord(HMENU menu, UINT command);
  // Carries out a command the menu returned (0: dismissed) on the record
  // its item was built from; an item whose record is gone does nothing.
  void RunTrayCommand(UINT command, uint32_t recordId = 0);

 private:
  void OnTick();
  void OnDeviceChange(WPARAM event, LPARAM lParam);
  void OnHandleEvent(WPARAM event, const DEV_BROADCAST_HANDLE* broadcast);
  void OnWorkerEnded(DeviceRecord* record);
  // Removal requests: a modem closed on the query, waiting for the outcome.
  PendingRemoval* FindPendingRemoval(const char* path);
  // Closes the record on a removal request, keeping its registration.
  void BeginPendingRemoval(DeviceRecord* record);
  void EndPendingRemoval(PendingRemoval* pending);
  void AgePendingRemovals();
  // Offers the icon to the shell again while it is missing.
  void KeepTrayIcon();
};

extern AppState g_app;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
