// The menu of the tray icon: one item per modem, which opens its status
// window, and the item that ends the program.
#include "app/app_state.h"
#include "res/resource_ids.h"
#include "base/program_strings.h"
#include "usb/device_record.h"

namespace {

constexpr int LABEL_SIZE = 64;

// Around a loop of its own (the menu, the status window), entered as the
// last thing a handler does and holding nothing it uses afterwards: inside
// it handlers count from the top again, so that what they remove is freed
// when each returns, not when the window closes.
class NestedLoop {
 public:
  explicit NestedLoop(uint32_t* depth) : depth_(depth), saved_(*depth) { *depth_ = 0; }
  ~NestedLoop() { *depth_ = saved_; }
  NestedLoop(const NestedLoop&) = delete;
  NestedLoop& operator=(const NestedLoop&) = delete;

 private:
  uint32_t* depth_;
  uint32_t saved_;
};

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
    // The item stands for this record, wherever the list has moved by the
    // time it is chosen.
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_DATA;
    item.dwItemData = record->id;
    SetMenuItemInfoA(menu, 0, TRUE, &item);
  }
  return menu;
}

uint32_t AppState::TrayItemRecord(HMENU menu, UINT command) {
  MENUITEMINFOA item = {};
  item.cbSize = sizeof item;
  item.fMask = MIIM_DATA;
  if (command < IDM_DEVICE_BASE || !GetMenuItemInfoA(menu, command, FALSE, &item)) return 0;
  return static_cast<uint32_t>(item.dwItemData);
}

void AppState::RunTrayCommand(UINT command, uint32_t recordId) {
  if (command == IDM_EXIT) {
    DestroyWindow(mainWindow);
    return;
  }
  if (command < IDM_DEVICE_BASE) return;
  // The list may have changed while the menu was open: the item's record,
  // if it is still listed; record ids are never given twice.
  if (DeviceRecord* record = FindRecord(recordId)) {
    NestedLoop loop(&handlerDepth);
    record->ShowStatus();
  }
}

void AppState::ShowTrayMenu(LPARAM mouseMessage) {
  if (mouseMessage != WM_LBUTTONUP && mouseMessage != WM_RBUTTONUP) return;
  SetForegroundWindow(mainWindow);
  HMENU menu = BuildTrayMenu();
  POINT cursor = {};
  GetCursorPos(&cursor);
  UINT command = 0;
  {
    NestedLoop loop(&handlerDepth);
    command = static_cast<UINT>(
        TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, mainWindow, nullptr));
  }
  const uint32_t recordId = TrayItemRecord(menu, command);
  DestroyMenu(menu);
  // Without a message of its own after the menu, the window that owns it may
  // not get the focus change, and the next click elsewhere would leave the
  // next menu open.
  PostMessageA(mainWindow, WM_NULL, 0, 0);
  RunTrayCommand(command, recordId);
}
