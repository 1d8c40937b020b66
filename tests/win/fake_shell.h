#pragma once
// The shell boundary as test programs see it: every call the program made
// to the notification area, in order, each then passed on to the system.
#include <functional>
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
// While refusing, the shell answers every call with FALSE (recorded, not
// made); with `flags`, only calls that set all of them (NIF_INFO: balloons).
void RefuseShellCalls(bool refuse, UINT flags = 0);
// A shell that is busy or ending: every call answers only after `ms`.
void DelayShellCalls(DWORD ms);
// Runs `inside` within the next call of `message` that sets all of `flags`,
// before it answers: what Windows dispatches to a thread that waits in a
// call to another process (messages sent to it meanwhile).
void InsideNextShellCall(DWORD message, UINT flags, std::function<void()> inside);
