#pragma once
// Drives the running program's tray menu from another process, the way a
// shop owner's clicks do: a right click on the icon (the tray message the
// shell would post to the program's window), then keys on the open menu.
#include <windows.h>

namespace trayPoke {

// The program's main window once it shows up within timeoutMs; null if not.
HWND ProgramWindow(DWORD timeoutMs);
// Opens the tray menu of the program running in this session and leaves it
// open; false when the program's window or its menu did not appear within
// timeoutMs.
bool OpenMenu(DWORD timeoutMs);
// Picks the menu's item `fromTop` (1 is the first) or, when 0, its last
// item ("Вихід"), opening the menu first when it is not open.
bool PickItem(int fromTop, DWORD timeoutMs);

}  // namespace trayPoke
