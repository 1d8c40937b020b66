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
}

void RefuseShellCalls(bool refuse) {
  g_refusing = refuse;
}

namespace shellos {

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  ShellCall call = {message, {}};
  std::memcpy(&call.data, data, data->cbSize < sizeof call.data ? data->cbSize : sizeof call.data);
  ShellCalls().push_back(call);
  return g_refusing ? FALSE : ::Shell_NotifyIconA(message, data);
}

}  // namespace shellos
