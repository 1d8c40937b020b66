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

// How long a copy that finds the mutex held but no window waits for it: the
// copy holding it may be closing its links after "Exit", or starting.
constexpr DWORD INSTANCE_WAIT_MS = 5000;
constexpr DWORD INSTANCE_POLL_MS = 100;

bool OtherInstanceWindow() {
  return FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE) != nullptr;
}

// Whether this copy is to run: it owns the instance mutex (held for the
// process's life) and no other copy's window is there.
bool TakeInstance(HANDLE* instanceMutex) {
  SetLastError(ERROR_SUCCESS);  // read below whether the mutex was made or opened
  *instanceMutex = CreateMutexA(nullptr, TRUE, INSTANCE_MUTEX);
  // Refused access, it was made by another user in this session's namespace.
  const DWORD mutexError = GetLastError();
  if (*instanceMutex == nullptr && mutexError == ERROR_ACCESS_DENIED) return false;
  if (*instanceMutex != nullptr && mutexError == ERROR_ALREADY_EXISTS) {
    // A copy that has its window serves the modems; one without is starting
    // (and its window comes) or ending (and lets go of the mutex).
    bool owned = false;
    for (DWORD waited = 0; !owned && waited < INSTANCE_WAIT_MS; waited += INSTANCE_POLL_MS) {
      if (OtherInstanceWindow()) return false;
      const DWORD wait = WaitForSingleObject(*instanceMutex, INSTANCE_POLL_MS);
      owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    if (!owned) return false;
  }
  // Another instance already serves the modems (one older than the mutex,
  // say): leave without a word.
  return !OtherInstanceWindow();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  HANDLE instanceMutex = nullptr;
  if (!TakeInstance(&instanceMutex)) {
    if (instanceMutex != nullptr) CloseHandle(instanceMutex);
    return 0;
  }
  trace::ProgramStarted();
  // After a crash or a hang Windows Error Reporting starts the program
  // again, rather than leaving every modem unserved until the next logon.
  // The Run entry starts it after a reboot.
  RegisterApplicationRestart(nullptr, RESTART_NO_REBOOT);
  g_app.instance = instance;
  SetProgramModule(instance);
  if (g_app.Initialize() >= 0) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  g_app.Shutdown();
  trace::ProgramEnded();
  if (instanceMutex != nullptr) {
    ReleaseMutex(instanceMutex);
    CloseHandle(instanceMutex);
  }
  return 0;
}
