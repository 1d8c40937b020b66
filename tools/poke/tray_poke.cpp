#include "tools/poke/tray_poke.h"

namespace trayPoke {
namespace {

// The window class every popup menu has.
constexpr char MENU_CLASS[] = "#32768";
constexpr int ITEM_LIMIT = 32;

HWND WaitFor(const char* windowClass, const char* title, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND window = FindWindowA(windowClass, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(50);
  }
}

// The menu's modal loop reads the keys from its thread's queue.
void Key(HWND menu, WPARAM key) {
  PostMessageA(menu, WM_KEYDOWN, key, 1);
  PostMessageA(menu, WM_KEYUP, key, 0xC0000001);
}

}  // namespace

HWND ProgramWindow(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND window = FindWindowA("VarnelWnd", "Varnel");
    if (window != nullptr || GetTickCount64() >= deadline) return window;
    Sleep(50);
  }
}

bool OpenMenu(DWORD timeoutMs) {
  HWND program = ProgramWindow(timeoutMs);
  if (program == nullptr) return false;
  // The menu opens at the cursor: just above the tray, clear of the icon's tooltip.
  SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 16, GetSystemMetrics(SM_CYSCREEN) - 40);
  PostMessageA(program, WM_USER, 0, WM_RBUTTONUP);
  return WaitFor(MENU_CLASS, nullptr, timeoutMs) != nullptr;
}

bool PickItem(int fromTop, DWORD timeoutMs) {
  if (fromTop < 0 || fromTop > ITEM_LIMIT) return false;
  HWND menu = WaitFor(MENU_CLASS, nullptr, 0);
  if (menu == nullptr && !OpenMenu(timeoutMs)) return false;
  menu = WaitFor(MENU_CLASS, nullptr, timeoutMs);
  if (menu == nullptr) return false;
  // Nothing is selected when the menu opens: the first Down selects the
  // first item, the first Up the last one.
  if (fromTop == 0) {
    Key(menu, VK_UP);
  } else {
    for (int i = 0; i < fromTop; ++i) Key(menu, VK_DOWN);
  }
  Key(menu, VK_RETURN);
  return true;
}

}  // namespace trayPoke
