// Start-up, shut-down and the hidden main window: the timer that drives
// polling and re-enumeration, device events, and the notices of the
// bridges' workers.
#include "app/app_state.h"
#include "base/result_codes.h"
#include "bridge/io_buffer.h"
#include "bridge/modem_bridge.h"
#include "res/resource_ids.h"
#include "trace/events.h"
#include "ui/status_window.h"
#include "usb/device_class.h"
#include "usb/device_record.h"
#include "usb/usb_os.h"

// The interface filter the system checks by size.
#if !defined(_WIN64)
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "32-bit interface filter is 32 bytes");
#endif

namespace {

// The failing call's last error stays set for the caller.
HRESULT Failed(HRESULT result) {
  SetLastError(GetLastError());
  return result;
}

}  // namespace

HRESULT AppState::Initialize() {
  devices = nullptr;
  interfaceNotification = nullptr;
  winsockStarted = 0;
  rescanTicks = 0;
  trayIconShown = false;
  trayRetryTicks = 0;
  pendingBalloon[0] = '\0';
  balloonRefusals = 0;
  rescanWaited = 0;
  pendingRemovals = nullptr;
  handlerDepth = 0;
  retired = nullptr;
  stopped = false;

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = MAIN_WINDOW_CLASS;
  if (RegisterClassA(&windowClass) == 0) return Failed(E_FAIL);
  mainWindow = CreateWindowExA(WS_EX_TOPMOST, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_POPUPWINDOW, 0, 0, 0,
                               0, nullptr, nullptr, instance, nullptr);
  if (mainWindow == nullptr) return Failed(E_FAIL);

  if (WSAStartup(MAKEWORD(2, 0), &wsaData) != 0) return Failed(GW_E_NETWORK);
  winsockStarted = 1;

  DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_FISCAL_MODEM;
  interfaceNotification =
      usbos::RegisterDeviceNotificationA(mainWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (interfaceNotification == nullptr) return Failed(GW_E_NOTIFICATION);

  // Registered before the icon is added, so that a shell restarting from
  // here on is already heard.
  taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  // Started with higher rights (by an installer, say), the window would
  // otherwise not get the shell's broadcast, which comes from a lower level.
  if (taskbarCreatedMessage != 0)
    ChangeWindowMessageFilterEx(mainWindow, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
  EnumerateDevices();
  AddTrayIcon();
  UpdateTrayIcon();
  return S_OK;
}

void AppState::Shutdown(bool sessionEnding) {
  if (!stopped) trace::ProgramStopping();
  // At the session's end the icon goes with the shell, which is ending too
  // and may not answer: no call is made to it.
  if (!sessionEnding) RemoveTrayIcon();
  stopped = true;
  if (interfaceNotification != nullptr) {
    usbos::UnregisterDeviceNotification(interfaceNotification);
    interfaceNotification = nullptr;
  }
  while (pendingRemovals != nullptr) EndPendingRemoval(pendingRemovals);
  // Every worker is told first, so that all links close at once; each
  // removal then joins a worker that is already ending.
  for (DeviceRecord* record = devices; record != nullptr; record = record->next) {
    if (record->bridge != nullptr) RequestStop(record->bridge);
  }
  while (devices != nullptr) RemoveDevice(devices);
  if (winsockStarted) {
    WSACleanup();
    winsockStarted = 0;
  }
}

void AppState::OnTick() {
  if (rescanTicks != 0) {
    ++rescanWaited;
    if (--rescanTicks == 0) {
      EnumerateDevices();
      UpdateTrayIcon();
    }
  }
  AgePendingRemovals();
  // A worker whose notice could not be posted (a full queue) is seen here.
  for (DeviceRecord* record = devices; record != nullptr;) {
    if (record->bridge != nullptr && record->bridge->workerEnded.load() != 0) {
      OnWorkerEnded(record);
      record = devices;  // from the head again: the shell's call may have changed the list
      continue;
    }
    record = record->next;
  }
  KeepTrayIcon();
  // Records added just above get their first poll in this same tick.
  for (DeviceRecord* record = devices; record != nullptr; record = record->next) record->OnTick();
}

void AppState::OnWorkerEnded(DeviceRecord* record) {
  RemoveDevice(record);
  DelayRescan();
  UpdateTrayIcon();
}

void AppState::OnDeviceChange(WPARAM event, LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header == nullptr) return;
  if (event == DBT_DEVICEARRIVAL && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    // The registration already limits arrivals to the modem's class.
    const char* path = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam)->dbcc_name;
    // An arrival means a requested removal is over, whatever was heard of it.
    if (PendingRemoval* pending = FindPendingRemoval(path)) EndPendingRemoval(pending);
    AddDevice(path);
    UpdateTrayIcon();
  } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    OnHandleEvent(event, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam));
  }
}

void AppState::TakeDeviceMessage(DeviceRecord* record, IoBuffer* message) {
  if (message == nullptr) return;
  const MessageOutcome outcome = record->OnDeviceMessage(message);  // takes the buffer over
  ModemBridge* const bridge = record->bridge;
  if (bridge == nullptr) return;
  if (outcome.serialTaken) record->SetDisplayName(bridge->status.serial);
  // Every message, taken or not, tells an open status window to look again.
  RefreshStatusWindow(bridge);
  if (!outcome.warningDue) return;
  char format[WARNING_FORMAT_SIZE];
  if (LoadProgramString(IDS_BLOCKING_WARNING, format, sizeof format) == 0) return;
  char text[WARNING_TEXT_SIZE];
  FormatWarningText(text, sizeof text, format, bridge->status.serial, outcome.warningHours);
  // Last: the shell's call may dispatch messages sent meanwhile (a removal,
  // the session's end), after which nothing here is used again.
  ShowBalloon(text);
}

LRESULT AppState::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      SetTimer(window, TIMER_TICK, TICK_MS, nullptr);
      break;
    case WM_DESTROY:
      KillTimer(window, TIMER_TICK);
      PostQuitMessage(0);
      break;
    case WM_CHAR:
      if (wParam == VK_ESCAPE) DestroyWindow(window);
      return 1;
    case WM_TIMER:
      OnTick();
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      break;
    case WM_GW_TRAY:
      ShowTrayMenu(lParam);
      break;
    case WM_GW_LINK_CHANGED:
      if (DeviceRecord* record = FindRecord(wParam)) {
        record->OnStateChanged();
        UpdateTrayIcon();
      }
      break;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The process may be ended as soon as this returns: the links are
      // closed in order now, as on "Exit", instead of being reset by the
      // process's end, and the window goes so that nothing reopens them.
      if (wParam != FALSE) {
        Shutdown(true);
        DestroyWindow(window);
      }
      return 0;
    case WM_GW_WORKER_ENDED:
      // A record already removed (its Stop joined the worker that posted
      // this) schedules nothing: only a worker that ended by itself means
      // the modem may still be there to reopen. The window can be found by
      // any program, so the notice counts only once the worker has ended.
      if (DeviceRecord* record = FindRecord(wParam);
          record != nullptr && record->bridge != nullptr && record->bridge->workerEnded.load() != 0) {
        OnWorkerEnded(record);
      }
      break;
    case WM_GW_DEVICE_MESSAGE:
      // Only a buffer the record's worker posted and no one has taken yet is
      // used; any other value, from a notice of a record already gone (whose
      // bridge freed it) or a stray post, is neither read nor freed.
      if (DeviceRecord* record = FindRecord(wParam)) {
        auto* buffer = reinterpret_cast<IoBuffer*>(lParam);
        if (record->bridge != nullptr && TakePostedMessage(record->bridge, buffer))
          TakeDeviceMessage(record, buffer);
      }
      return 0;
    default:
      if (message != 0 && message == taskbarCreatedMessage) {
        AddTrayIcon();
        UpdateTrayIcon();
        return 0;
      }
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // Handlers nest whenever one calls into another process or runs a loop:
  // what they remove is freed only once the outermost has returned.
  ++g_app.handlerDepth;
  const LRESULT result = g_app.HandleMessage(window, message, wParam, lParam);
  if (--g_app.handlerDepth == 0) g_app.FreeRetired();
  return result;
}
