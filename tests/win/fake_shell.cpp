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

namespace shellos {

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  ShellCall call = {message, {}};
  std::memcpy(&call.data, data, data->cbSize < sizeof call.data ? data->cbSize : sizeof call.data);
  ShellCalls().push_back(call);
  return ::Shell_NotifyIconA(message, data);
}

}  // namespace shellos
