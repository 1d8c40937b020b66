#include "tests/win/fake_shell.h"

#include <cstring>

std::vector<ShellCall>& ShellCalls() {
  static std::vector<ShellCall> calls;
  return calls;
}

std::vector<std::string> ShownBalloons() {
  std::vector<std::string> texts;
  for (const ShellCall& call : ShellCalls()) {
    if (call.data.uFlags & NIF_INFO) texts.push_back(call.data.szInfo);
  }
  return texts;
}

void ClearShellCalls() {
  ShellCalls().clear();
}

namespace {

bool g_refusing = false;
UINT g_refusedFlags = 0;
DWORD g_delayMs = 0;
struct Intrusion {
  DWORD message;
  UINT flags;
  std::function<void()> inside;
} g_intrusion;

bool Matches(const PNOTIFYICONDATAA data, UINT flags) {
  return (data->uFlags & flags) == flags;
}

}  // namespace

void RefuseShellCalls(bool refuse, UINT flags) {
  g_refusing = refuse;
  g_refusedFlags = flags;
}

void DelayShellCalls(DWORD ms) {
  g_delayMs = ms;
}

void InsideNextShellCall(DWORD message, UINT flags, std::function<void()> inside) {
  g_intrusion = {message, flags, std::move(inside)};
}

namespace shellos {

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  ShellCall call = {message, {}};
  std::memcpy(&call.data, data, data->cbSize < sizeof call.data ? data->cbSize : sizeof call.data);
  ShellCalls().push_back(call);
  if (g_delayMs != 0) Sleep(g_delayMs);
  if (g_intrusion.inside && g_intrusion.message == message && Matches(data, g_intrusion.flags)) {
    const std::function<void()> inside = std::move(g_intrusion.inside);
    g_intrusion.inside = nullptr;
    inside();
  }
  return g_refusing && Matches(data, g_refusedFlags) ? FALSE : ::Shell_NotifyIconA(message, data);
}

}  // namespace shellos
