// The program as a shop owner sees it, set up for a screenshot: the real
// program (the simulated build) with one or two simulated modems that
// answer its polls and hold a link to a listener on 127.0.0.1 (the system
// completes the connects in its backlog; nothing is sent).
// Then it opens what is to be shown and waits to be captured:
//   varnel_screens info   the status window on "Інформація"
//   varnel_screens ksef   the status window on "Стан КСЕФ"
//   varnel_screens contrast  the status window on "Інформація" in high contrast
//   varnel_screens menu   the tray menu with two modems
//   varnel_screens none | attached | linked
//                         only the icon in the notification area: no modem,
//                         a modem without a link, a modem with its link up
// It ends by itself after SHOW_MS.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "bridge/control_message.h"
#include "bridge/modem_bridge.h"
#include "res/dialog_ids.h"
#include "simbus/modem_bus.h"
#include "tools/demo/modem_replies.h"
#include "tools/screens/high_contrast.h"
#include "usb/device_record.h"

namespace {

constexpr DWORD SETTLE_MS = 1500;  // polls answered and the link up by then
constexpr DWORD SHOW_MS = 20000;
constexpr char SECOND_SERIAL[] = "40005678";

enum class Scene { Info, Ksef, Menu, NoModem, Attached, Linked };

struct Modems {
  int ids[2];
  int count;
  bool link;     // each modem asks for its acquirer link
  bool balloon;  // the blocking window started an hour ago, so the warning shows
  uint16_t acquirerPort;
  std::atomic<LONG> stop;
};

// Each modem answers every poll and asks once for its acquirer link.
DWORD WINAPI PlayModems(LPVOID param) {
  auto* modems = static_cast<Modems*>(param);
  simbus::ModemBus& bus = simbus::LocalBus();
  bool connectSent[2] = {};
  while (modems->stop.load() == 0) {
    for (int m = 0; m < modems->count; ++m) {
      const int id = modems->ids[m];
      std::vector<uint8_t> request;
      if (!bus.Take(id, simbus::CONTROL_OUT, &request, 10) || request.empty()) continue;
      std::vector<uint8_t> reply;
      if (request[0] == CTL_IDENTIFY) {
        reply = IdentifyReply();
        if (m == 1) std::memcpy(&reply[5], SECOND_SERIAL, sizeof SECOND_SERIAL);
      } else if (request[0] == CTL_STATUS && request.size() == 2) {
        reply = request[1] == STATUS_MODEM ? ModemStatusReply(modems->acquirerPort) : KsefStatusReply();
        // The window starting at the modem's clock: no warning yet.
        if (!modems->balloon && request[1] == STATUS_MODEM) std::memcpy(&reply[33], &reply[25], 4);
        if (modems->link && !connectSent[m] && request[1] == STATUS_KSEF) {
          connectSent[m] = true;
          char address[32];
          wsprintfA(address, "127.0.0.1:%u", static_cast<unsigned>(modems->acquirerPort));
          std::vector<uint8_t> connect = {CTL_CONNECT, 0, 0};
          connect.insert(connect.end(), address, address + std::strlen(address));
          bus.Deliver(id, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
        }
      }
      if (!reply.empty())
        bus.Deliver(id, simbus::CONTROL_IN, reply.data(), static_cast<uint32_t>(reply.size()));
    }
  }
  return 0;
}

HWND StatusWindow() {
  if (g_app.devices == nullptr || g_app.devices->bridge == nullptr) return nullptr;
  return g_app.devices->bridge->statusWindow;
}

// Inside the status window's loop: shows the second tab.
void CALLBACK ShowSecondTab(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND window = StatusWindow();
  if (window == nullptr) return;
  KillTimer(nullptr, timer);
  HWND tabs = GetDlgItem(window, IDC_TABS);
  SendMessageA(tabs, TCM_SETCURSEL, 1, 0);
  NMHDR notice = {tabs, IDC_TABS, static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageA(window, WM_NOTIFY, IDC_TABS, reinterpret_cast<LPARAM>(&notice));
}

// Inside the status window's loop: high contrast turned on, as a user
// would with the window open. Its colours last until the script ends this
// Wine server.
void CALLBACK TurnOnHighContrast(HWND, UINT, UINT_PTR timer, DWORD) {
  if (StatusWindow() == nullptr) return;
  KillTimer(nullptr, timer);
  SetHighContrast(true);
}

Scene g_scene = Scene::Info;
bool g_highContrast = false;

void CALLBACK OpenScene(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  if (g_scene >= Scene::NoModem) return;
  if (g_scene == Scene::Menu) {
    SetCursorPos(300, 120);
    SendMessageA(g_app.mainWindow, WM_GW_TRAY, 0, WM_RBUTTONUP);
    return;
  }
  if (g_scene == Scene::Ksef) SetTimer(nullptr, 0, 50, ShowSecondTab);
  if (g_highContrast) SetTimer(nullptr, 0, 50, TurnOnHighContrast);
  g_app.RunTrayCommand(IDM_DEVICE_BASE, g_app.devices->id);
}

// A listener on 127.0.0.1 for the links; gives its port, 0 on failure.
uint16_t ListenOnLoopback() {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener, 4) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

DWORD WINAPI EndAfterShowing(LPVOID) {
  Sleep(SHOW_MS);
  ExitProcess(0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  const struct {
    const char* name;
    Scene scene;
  } scenes[] = {{"ksef", Scene::Ksef},
                {"menu", Scene::Menu},
                {"none", Scene::NoModem},
                {"attached", Scene::Attached},
                {"linked", Scene::Linked}};
  for (const auto& named : scenes)
    if (std::strcmp(commandLine, named.name) == 0) g_scene = named.scene;
  g_highContrast = std::strcmp(commandLine, "contrast") == 0;
  CreateThread(nullptr, 0, EndAfterShowing, nullptr, 0, nullptr);

  g_app.instance = instance;
  if (g_app.Initialize() < 0) return 1;
  Modems modems = {};
  modems.count = g_scene == Scene::Menu ? 2 : g_scene == Scene::NoModem ? 0 : 1;
  modems.link = g_scene != Scene::Attached;
  modems.balloon = g_scene < Scene::NoModem;
  modems.acquirerPort = ListenOnLoopback();
  if (modems.acquirerPort == 0) return 1;
  for (int m = 0; m < modems.count; ++m) modems.ids[m] = simbus::LocalBus().Plug(simbus::StandardLayout());
  CreateThread(nullptr, 0, PlayModems, &modems, 0, nullptr);

  SetTimer(nullptr, 0, SETTLE_MS, OpenScene);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
