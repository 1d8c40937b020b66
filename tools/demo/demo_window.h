#pragma once
// The demo's stand-in for the application's hidden main window. It follows
// the rules the main window follows (a tick every 100 ms, device arrivals
// and removals, the workers' notices) and tells on the terminal what it
// does. Main thread only.
#include <windows.h>

// Sent by the script where a user would open the status window: renders
// both tabs of every listed modem.
constexpr UINT WM_DEMO_SHOW_STATUS = WM_APP;

// Creates the window as g_app.mainWindow, starts its timer and registers it
// for arrivals of the modem's interface class: S_OK, E_FAIL or
// GW_E_NOTIFICATION. Close undoes whatever was done, also after a failure.
HRESULT OpenDemoWindow();
// Unregisters, removes every listed modem (joining its worker) and
// destroys the window.
void CloseDemoWindow();
