#pragma once
// The program's own module and the strings of its table, for every room.
#include <windows.h>

#include <cstdint>

// The module whose resources (strings, dialog) the program uses: the exe
// itself unless another was set (a test's module without them, say).
HINSTANCE ProgramModule();
void SetProgramModule(HINSTANCE module);

// A string of the program's table into `buffer` of `size` bytes: its length,
// or 0 with the buffer empty when it cannot be loaded (LoadStringA does not
// promise to terminate the buffer then).
int LoadProgramString(uint32_t id, char* buffer, int size);
