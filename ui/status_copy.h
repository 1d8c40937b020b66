#pragma once
// Puts one modem's status window, as text, on the clipboard (Unicode).
// Main thread.
#include "bridge/modem_bridge.h"

// False when the clipboard could not be had or the memory not allocated.
bool CopyStatusText(HWND owner, ModemBridge* bridge);
