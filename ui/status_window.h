#pragma once
// The modal status window of one modem: its serial in the title, the rows
// of its two tabs, a picture while its TCP link is up, and a button that
// asks the modem for an exchange with the acquirer now. Main thread only.
#include "bridge/modem_bridge.h"

// Copies the window's rows to the clipboard (WM_COMMAND wParam): Ctrl+C in
// any of its controls, or "Копіювати" in the rows' context menu.
constexpr WPARAM CMD_STATUS_COPY = 0x3001;

// The bridge's ShowStatus: runs the window until it closes; does nothing
// while the bridge already has one open. The bridge may be stopped and
// released inside the window's modal loop (a modem removed meanwhile), so
// the caller must not use it afterwards without knowing it still exists.
void ShowStatus(ModemBridge* bridge);

// Closes the bridge's window, if one is open (a removal's Stop): the window
// lets go of the bridge at once and ends with its loop.
void CloseStatusWindow(ModemBridge* bridge);
// Tells an open window to look at the bridge's cache again.
void RefreshStatusWindow(ModemBridge* bridge);

// The window's procedure. It keeps the bridge in its DWLP_USER slot and
// ignores every message once CloseStatusWindow has emptied that slot.
INT_PTR CALLBACK StatusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
