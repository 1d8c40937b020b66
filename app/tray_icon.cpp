// The program's one presence on screen: its icon in the notification area,
// whose picture tells whether modems are attached and linked, and the
// balloon that warns of a modem's blocking deadline.
#include "app/app_state.h"
#include "app/shell_os.h"
#include "bridge/modem_bridge.h"
#include "res/resource_ids.h"
#include "trace/events.h"
#include "usb/device_record.h"

// The version-2 layout every call uses: the size the system checks.
#if !defined(_WIN64)
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "32-bit NOTIFYICONDATAA version 2 is 488 bytes");
#endif

namespace {

constexpr UINT BALLOON_TIMEOUT_MS = 15000;

NOTIFYICONDATAA NewIconData(HWND window) {
  NOTIFYICONDATAA data = {};
  data.cbSize = NOTIFYICONDATAA_V2_SIZE;
  data.hWnd = window;
  data.uID = 0;
  return data;
}

// Loaded at the small-icon size, so that the notification area shows the
// image drawn for it (16 pixels, 20 or 24 at higher DPI) instead of a
// shrunken 32-pixel one. Shared: the system keeps it, nothing releases it.
HICON TrayIcon(HINSTANCE instance, uint32_t id) {
  return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_SHARED));
}

}  // namespace

void AppState::AddTrayIcon() {
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_GW_TRAY;
  data.hIcon = TrayIcon(instance, IDI_NO_DEVICE);
  lstrcpynA(data.szTip, MAIN_WINDOW_TITLE, sizeof data.szTip);
  trayIconShown = shellos::Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
  trayRetryTicks = TRAY_RETRY_TICKS;
}

void AppState::KeepTrayIcon() {
  if (trayIconShown) return;
  if (trayRetryTicks > 1) {
    --trayRetryTicks;
    return;
  }
  AddTrayIcon();
  UpdateTrayIcon();
}

BOOL AppState::UpdateTrayIcon() {
  uint32_t icon = IDI_NO_DEVICE;
  if (devices != nullptr) {
    icon = IDI_NO_LINK;
    for (DeviceRecord* record = devices; record != nullptr; record = record->next) {
      if (record->IsConnected() != 0) {
        icon = IDI_LINK_UP;
        break;
      }
    }
  }
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  data.uFlags = NIF_ICON;
  data.hIcon = TrayIcon(instance, icon);
  // A change the shell takes proves the icon is there, also after an add it
  // did not answer in time; one it refuses means the icon may be gone.
  const BOOL result = shellos::Shell_NotifyIconA(NIM_MODIFY, &data);
  trayIconShown = result != FALSE;
  if (trayIconShown && pendingBalloon[0] != '\0') {
    char text[sizeof pendingBalloon];
    lstrcpynA(text, pendingBalloon, sizeof text);
    pendingBalloon[0] = '\0';
    ShowBalloon(text);
  }
  return result;
}

BOOL AppState::ShowBalloon(const char* text) {
  BOOL result = FALSE;
  if (trayIconShown) {
    NOTIFYICONDATAA data = NewIconData(mainWindow);
    data.uFlags = NIF_INFO;
    lstrcpynA(data.szInfo, text, sizeof data.szInfo);  // at most 255 characters and the NUL
    data.uTimeout = BALLOON_TIMEOUT_MS;
    result = trace::BalloonShown(text, shellos::Shell_NotifyIconA(NIM_MODIFY, &data));
  }
  // A warning about the blocking deadline must not be lost with the icon:
  // it waits for the icon to come back.
  if (result == FALSE) {
    lstrcpynA(pendingBalloon, text, sizeof pendingBalloon);
    trayIconShown = false;
  }
  return result;
}

void AppState::RemoveTrayIcon() {
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  shellos::Shell_NotifyIconA(NIM_DELETE, &data);
  trayIconShown = false;
}
