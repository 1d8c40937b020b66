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
// A shell that has the icon but refuses balloons (group policy,
// notifications turned off) is asked this many times, a second apart; then
// the warning is dropped until its next threshold.
constexpr uint32_t BALLOON_TRIES = 3;

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
  if (stopped) return;
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_GW_TRAY;
  data.hIcon = TrayIcon(instance, IDI_NO_DEVICE);
  lstrcpynA(data.szTip, MAIN_WINDOW_TITLE, sizeof data.szTip);
  trayIconShown = shellos::Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
  trayRetryTicks = TRAY_RETRY_TICKS;
}

void AppState::KeepTrayIcon() {
  if (trayIconShown && pendingBalloon[0] == '\0') return;
  if (trayRetryTicks > 1) {
    --trayRetryTicks;
    return;
  }
  trayRetryTicks = TRAY_RETRY_TICKS;
  // A plain change tells whether the shell still has the icon; taken, it
  // shows the balloon that waits.
  if (!trayIconShown) AddTrayIcon();
  UpdateTrayIcon();
}

BOOL AppState::UpdateTrayIcon() {
  if (stopped) return FALSE;
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
  // From here on only the program's own state is used: the call may have
  // dispatched messages sent meanwhile.
  trayIconShown = result != FALSE;
  if (trayIconShown && pendingBalloon[0] != '\0') ShowPendingBalloon();
  return result;
}

BOOL AppState::ShowBalloon(const char* text) {
  // A warning about the blocking deadline must not be lost with the icon:
  // it waits for the icon to come back.
  lstrcpynA(pendingBalloon, text, sizeof pendingBalloon);
  balloonRefusals = 0;
  return ShowPendingBalloon();
}

BOOL AppState::ShowPendingBalloon() {
  if (stopped || !trayIconShown || pendingBalloon[0] == '\0') return FALSE;
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  data.uFlags = NIF_INFO;
  lstrcpynA(data.szInfo, pendingBalloon, sizeof data.szInfo);  // at most 255 characters and the NUL
  data.uTimeout = BALLOON_TIMEOUT_MS;
  // Taken before the call: a handler run inside it sees no balloon waiting
  // (and does not show it twice), and may leave a newer one.
  pendingBalloon[0] = '\0';
  const BOOL result = trace::BalloonShown(data.szInfo, shellos::Shell_NotifyIconA(NIM_MODIFY, &data));
  // A refused balloon says nothing of the icon, which a plain change judges
  // (KeepTrayIcon); the warning is asked again a few times, then dropped.
  if (result != FALSE || ++balloonRefusals >= BALLOON_TRIES) {
    balloonRefusals = 0;
  } else if (pendingBalloon[0] == '\0') {
    lstrcpynA(pendingBalloon, data.szInfo, sizeof pendingBalloon);
  }
  return result;
}

void AppState::RemoveTrayIcon() {
  if (stopped) return;
  NOTIFYICONDATAA data = NewIconData(mainWindow);
  shellos::Shell_NotifyIconA(NIM_DELETE, &data);
  trayIconShown = false;
}
