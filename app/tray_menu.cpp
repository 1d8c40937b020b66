// The menu of the tray icon: one item per modem, which opens its status
// window, and the item that ends the program.
#include "app/app_state.h"
#include "res/resource_ids.h"
#include "usb/device_record.h"

namespace {

constexpr int LABEL_SIZE = 64;

}  // namespace

HMENU AppState::BuildTrayMenu() {
  HMENU menu = CreatePopupMenu();
  char text[LABEL_SIZE] = {};
  LoadProgramString(IDS_EXIT, text, LABEL_SIZE);
  InsertMenuA(menu, 0, MF_BYPOSITION | MF_STRING, IDM_EXIT, text);
  // Every item goes in at the top: read downwards, the oldest modem comes
  // first, the newest just above the separator, "Exit" at the bottom.
  // Without its label format an unnamed modem is still told by its number.
  LoadProgramString(IDS_UNNAMED_DEVICE, text, LABEL_SIZE);
  if (text[0] == '\0') lstrcpynA(text, "%i", LABEL_SIZE);
  if (devices != nullptr)
    InsertMenuA(menu, 0, MF_BYPOSITION | MF_SEPARATOR, static_cast<UINT_PTR>(-1), nullptr);
  int k = 1;
  for (DeviceRecord* record = devices; record != nullptr; record = record->next, ++k) {
    const char* label = record->displayName;
    char unnamed[LABEL_SIZE];
    if (label == nullptr || label[0] == '\0') {
      wsprintfA(unnamed, text, k);
      label = unnamed;
    }
    InsertMenuA(menu, 0, MF_BYPOSITION | MF_STRING, static_cast<UINT_PTR>(k) + 1, label);
  }
  return menu;
}

void AppState::RunTrayCommand(UINT command) {
  if (command == IDM_EXIT) {
    DestroyWindow(mainWindow);
    return;
  }
  if (command < IDM_DEVICE_BASE) return;
  // The list may have changed while the menu was open: the id counts from
  // the head of the list as it is now, and one past its end does nothing.
  DeviceRecord* record = devices;
  for (UINT n = command - IDM_DEVICE_BASE; n > 0 && record != nullptr; --n) record = record->next;
  if (record != nullptr) record->ShowStatus();
}

void AppState::ShowTrayMenu(LPARAM mouseMessage) {
  if (mouseMessage != WM_LBUTTONUP && mouseMessage != WM_RBUTTONUP) return;
  SetForegroundWindow(mainWindow);
  HMENU menu = BuildTrayMenu();
  POINT cursor = {};
  GetCursorPos(&cursor);
  const UINT command = static_cast<UINT>(
      TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, mainWindow, nullptr));
  DestroyMenu(menu);
  // Without a message of its own after the menu, the window that owns it may
  // not get the focus change, and the next click elsewhere would leave the
  // next menu open.
  PostMessageA(mainWindow, WM_NULL, 0, 0);
  RunTrayCommand(command);
}
