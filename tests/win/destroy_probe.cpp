// Loaded into the running program by installer_tests' window hook: sets a
// named event when the program's main window receives WM_DESTROY, which
// happens only when the program destroys its window itself. A killed
// process runs none of its window procedures.
#include <windows.h>

#include "tests/win/destroy_probe.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK WatchMainWindow(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == WM_DESTROY) {
    char name[16] = {};
    if (GetClassNameA(call->hwnd, name, sizeof name) != 0 && lstrcmpA(name, "VarnelWnd") == 0) {
      HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, DESTROY_PROBE_EVENT);
      if (event != nullptr) {
        SetEvent(event);
        CloseHandle(event);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
