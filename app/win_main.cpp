// The program's entry point: one instance, its hidden window and the
// message loop that everything runs on.
#include "app/app_state.h"
#include "trace/events.h"

namespace {

// One copy per session: the Run entry starts one for every user logged on,
// and whichever holds a modem serves it. Named in the session's namespace,
// the mutex closes the race that the window check alone leaves open, when
// two starts come at once (the Run entry and the installer's "start now").
constexpr char INSTANCE_MUTEX[] = "Local\\Varnel.Instance";

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  SetLastError(ERROR_SUCCESS);  // read below whether the mutex was made or opened
  const HANDLE instanceMutex = CreateMutexA(nullptr, FALSE, INSTANCE_MUTEX);
  // Refused access, it was made by another user in this session's namespace.
  const DWORD mutexError = GetLastError();
  if (mutexError == ERROR_ALREADY_EXISTS || (instanceMutex == nullptr && mutexError == ERROR_ACCESS_DENIED)) {
    if (instanceMutex != nullptr) CloseHandle(instanceMutex);
    return 0;
  }
  // Another instance already serves the modems (one older than the mutex,
  // say): leave without a word.
  if (FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE) != nullptr) {
    if (instanceMutex != nullptr) CloseHandle(instanceMutex);
    return 0;
  }
  trace::ProgramStarted();
  // After a crash or a hang Windows Error Reporting starts the program
  // again, rather than leaving every modem unserved until the next logon.
  // The Run entry starts it after a reboot.
  RegisterApplicationRestart(nullptr, RESTART_NO_REBOOT);
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
  if (instanceMutex != nullptr) CloseHandle(instanceMutex);
  return 0;
}
