// The gateway as it stands, shown working end to end under Wine: one
// scripted modem on the simulated bus, a stand-in acquirer on 127.0.0.1,
// and the product's device list, bridge, status cache and rows in between.
// The hidden main window runs on this thread; the modem, the acquirer, the
// bridge's worker and its connect thread run on their own.
#include <winsock2.h>
#include <windows.h>

#include "app/app_state.h"
#include "base/result_codes.h"
#include "tools/demo/acquirer_server.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/demo_window.h"
#include "tools/demo/milestones.h"
#include "tools/demo/scripted_modem.h"

namespace {

struct Demo {
  AcquirerServer server;
  ModemScript script;
  HANDLE modemThread;  // owned; null until started
};

// Sets everything up and lets the modem loose. StopDemo undoes whatever was
// done, also after a failure.
HRESULT StartDemo(Demo* demo) {
  if (!CreateMilestones()) return E_OUTOFMEMORY;
  if (WSAStartup(MAKEWORD(2, 0), &g_app.wsaData) != 0) return GW_E_NETWORK;
  g_app.winsockStarted = 1;
  HRESULT result = OpenDemoWindow();
  if (FAILED(result)) return result;
  result = StartAcquirerServer(&demo->server);
  if (FAILED(result)) return result;
  Say("acquirer", "listening on 127.0.0.1:%u", static_cast<unsigned>(demo->server.port));
  demo->script.acquirerPort = demo->server.port;
  demo->modemThread = CreateThread(nullptr, 0, RunModemScript, &demo->script, 0, nullptr);
  return demo->modemThread != nullptr ? S_OK : E_FAIL;
}

void DispatchWaiting() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// The main window's message loop, until the modem's script has ended and
// everything it caused has been handled. Every step of the script is
// bounded in time, so this ends.
void RunUntilEnded(HANDLE modemThread) {
  bool ended = false;
  while (!ended) {
    ended = MsgWaitForMultipleObjects(1, &modemThread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0 + 1;
    DispatchWaiting();
  }
}

bool Passed(const Demo& demo) {
  bool passed = demo.script.passed;
  for (int m = 0; m < MILESTONE_COUNT; ++m) {
    if (!Reached(static_cast<Milestone>(m))) {
      Say("demo", "never seen: %s", MilestoneName(static_cast<Milestone>(m)));
      passed = false;
    }
  }
  return passed;
}

void StopDemo(Demo* demo) {
  if (demo->modemThread != nullptr) {
    CloseHandle(demo->modemThread);
    demo->modemThread = nullptr;
  }
  StopAcquirerServer(&demo->server);
  CloseDemoWindow();
  if (g_app.winsockStarted) {
    WSACleanup();
    g_app.winsockStarted = 0;
  }
  DestroyMilestones();
}

}  // namespace

int main() {
  OpenDemoOutput();
  g_app.instance = GetModuleHandleA(nullptr);
  Say("demo", "Varnel: one simulated fiscal modem, the gateway, an acquirer on 127.0.0.1");

  Demo demo = {};
  demo.server.listener = INVALID_SOCKET;
  const HRESULT started = StartDemo(&demo);
  if (SUCCEEDED(started)) {
    RunUntilEnded(demo.modemThread);
  } else {
    Say("demo", "could not start (0x%08lX)", static_cast<unsigned long>(started));
  }
  const bool passed = SUCCEEDED(started) && Passed(demo);
  StopDemo(&demo);

  Say("demo", passed ? "every step seen: the gateway works end to end" : "FAILED");
  CloseDemoOutput();
  return passed ? 0 : 1;
}
