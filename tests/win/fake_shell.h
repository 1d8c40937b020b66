#pragma once
// The shell boundary as test programs see it: every call the program made
// to the notification area, in order, each then passed on to the system.
#include <string>
#include <vector>

#include "app/shell_os.h"

struct ShellCall {
  DWORD message;  // NIM_*
  NOTIFYICONDATAA data;
};

std::vector<ShellCall>& ShellCalls();
// The balloon texts among them, in order.
std::vector<std::string> ShownBalloons();
void ClearShellCalls();
// While refusing, the shell answers every call with FALSE (recorded, not made).
void RefuseShellCalls(bool refuse);
