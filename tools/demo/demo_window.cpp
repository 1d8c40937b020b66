#include "tools/demo/demo_window.h"

#include "app/app_state.h"
#include "base/result_codes.h"
#include "bridge/modem_bridge.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/milestones.h"
#include "tools/demo/status_print.h"
#include "usb/device_class.h"
#include "usb/device_record.h"
#include "usb/usb_os.h"

namespace {

constexpr char CLASS_NAME[] = "VarnelDemoWnd";

// The record whose link the window last reported up. A bridge also posts a
// link notice when it closes a link that was never open (before each
// connect, and at its end); only real changes are told.
DeviceRecord* g_linkShownUp = nullptr;

const char* NameOf(const DeviceRecord* record) {
  return record->displayName != nullptr ? record->displayName : "(not named yet)";
}

void Remove(DeviceRecord* record) {
  if (g_linkShownUp == record) g_linkShownUp = nullptr;
  g_app.RemoveDevice(record);
}

void OnArrival(const DEV_BROADCAST_DEVICEINTERFACE_A* broadcast) {
  Say("gateway", "arrival of %s", broadcast->dbcc_name);
  const DeviceRecord* const head = g_app.devices;
  g_app.AddDevice(broadcast->dbcc_name);
  if (g_app.devices == head) {
    Say("gateway", "nothing new listed");
    return;
  }
  Say("gateway", "modem opened and listed, its bridge is running");
  Reach(MS_LISTED);
}

void OnHandleRemoval(WPARAM event, const DEV_BROADCAST_HANDLE* broadcast) {
  for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next) {
    if (record->file == broadcast->dbch_handle) {
      Say("gateway", "%s of %s: record removed, worker joined",
          event == DBT_DEVICEQUERYREMOVE ? "removal request" : "removal", NameOf(record));
      Remove(record);
      Reach(MS_REMOVED);
      return;
    }
  }
}

void OnDeviceChange(WPARAM event, LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header == nullptr) return;
  if (event == DBT_DEVICEARRIVAL && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    OnArrival(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam));
  } else if ((event == DBT_DEVICEQUERYREMOVE || event == DBT_DEVICEREMOVECOMPLETE) &&
             header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    OnHandleRemoval(event, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam));
  }
}

// A listed record always has a bridge: a modem without one is never listed.
void OnLinkChanged(DeviceRecord* record) {
  record->OnStateChanged();
  const bool up = record->IsConnected() != 0;
  if (up && g_linkShownUp != record) {
    g_linkShownUp = record;
    Say("gateway", "link up: %s is connected to its acquirer", NameOf(record));
    Reach(MS_LINK_UP);
  } else if (!up && g_linkShownUp == record) {
    g_linkShownUp = nullptr;
    const TrafficCounters& t = record->bridge->traffic;
    Say("gateway", "link down: %s relayed %u blocks / %u bytes to the acquirer, %u blocks / %u bytes back",
        NameOf(record), static_cast<unsigned>(t.sendTransfers.load()),
        static_cast<unsigned>(t.sendBytes.load()), static_cast<unsigned>(t.receiveTransfers.load()),
        static_cast<unsigned>(t.receiveBytes.load()));
    Reach(MS_LINK_DOWN);
  }
}

// What the message changed in the record, told once.
void TellNews(DeviceRecord* record) {
  if (!Reached(MS_NAMED) && record->displayName != nullptr) {
    Say("gateway", "device listed as \"%s\", the modem's serial", record->displayName);
    Reach(MS_NAMED);
  }
  const uint32_t both = SF_MODEM_STATUS | SF_KSEF_STATUS;
  if (!Reached(MS_STATUS_TAKEN) && (record->bridge->status.statusFlags & both) == both) {
    Say("gateway", "status cache holds both blocks of %s", NameOf(record));
    Reach(MS_STATUS_TAKEN);
  }
}

void OnDeviceMessage(WPARAM wParam, LPARAM lParam) {
  auto* message = reinterpret_cast<IoBuffer*>(lParam);
  // As the main window: only a buffer the record's worker posted is used;
  // a record already gone freed its own.
  if (DeviceRecord* record = g_app.FindRecord(wParam)) {
    if (record->bridge == nullptr || !TakePostedMessage(record->bridge, message)) return;
    g_app.TakeDeviceMessage(record, message);  // takes the buffer over
    TellNews(record);
  }
}

void ShowStatus() {
  for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next) {
    PrintStatusTabs(record);
  }
  Reach(MS_STATUS_SHOWN);
}

LRESULT CALLBACK DemoWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next) record->OnTick();
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      break;
    case WM_GW_LINK_CHANGED:
      if (DeviceRecord* record = g_app.FindRecord(wParam)) {
        OnLinkChanged(record);
      } else {
        Say("gateway", "link notice from a record no longer listed: ignored");
      }
      break;
    case WM_GW_WORKER_ENDED:
      if (DeviceRecord* record = g_app.FindRecord(wParam)) {
        Say("gateway", "worker of %s ended: record removed", NameOf(record));
        Remove(record);
      } else {
        Say("gateway", "worker-ended notice from a record no longer listed: ignored");
      }
      break;
    case WM_GW_DEVICE_MESSAGE:
      OnDeviceMessage(wParam, lParam);
      return 0;
    case WM_DEMO_SHOW_STATUS:
      ShowStatus();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

HRESULT OpenDemoWindow() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = DemoWindowProc;
  windowClass.hInstance = g_app.instance;
  windowClass.lpszClassName = CLASS_NAME;
  if (RegisterClassA(&windowClass) == 0) return E_FAIL;
  g_app.mainWindow = CreateWindowExA(WS_EX_TOPMOST, CLASS_NAME, "Varnel demo", WS_POPUPWINDOW, 0, 0, 0, 0,
                                     nullptr, nullptr, g_app.instance, nullptr);
  if (g_app.mainWindow == nullptr || SetTimer(g_app.mainWindow, TIMER_TICK, TICK_MS, nullptr) == 0)
    return E_FAIL;
  // The console stands in for the notification area, which always has the icon.
  g_app.trayIconShown = true;

  DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_FISCAL_MODEM;
  g_app.interfaceNotification =
      usbos::RegisterDeviceNotificationA(g_app.mainWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return g_app.interfaceNotification != nullptr ? S_OK : GW_E_NOTIFICATION;
}

void CloseDemoWindow() {
  if (g_app.interfaceNotification != nullptr) {
    usbos::UnregisterDeviceNotification(g_app.interfaceNotification);
    g_app.interfaceNotification = nullptr;
  }
  while (g_app.devices != nullptr) Remove(g_app.devices);
  if (g_app.mainWindow != nullptr) DestroyWindow(g_app.mainWindow);  // its timer goes with it
}
