#pragma once
// Dispatching this thread's messages while a test waits for something.
#include <windows.h>

#include <functional>

void PumpMessages();
// Dispatches until `done` holds (true) or timeoutMs passes (false).
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs);
