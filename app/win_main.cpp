// The program's entry point: one instance, its hidden window and the
// message loop that everything runs on.
#include "app/app_state.h"
#include "trace/events.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Another instance already serves the modems: leave without a word.
  if (FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE) != nullptr) return 0;
  trace::ProgramStarted();
  g_app.instance = instance;
  if (g_app.Initialize() >= 0) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  g_app.Shutdown();
  trace::ProgramEnded();
  return 0;
}
