// Functions of system DLLs looked up by name at run time. Every such lookup
// goes through ProcAddress, which takes the function's type and refuses, at
// compile time, one without the system's calling convention.
#pragma once

#include <windows.h>

#include <type_traits>

// Whether a function pointer type has the system's calling convention,
// WINAPI. On 32-bit x86 that is stdcall, and a call through a pointer of
// another convention compiles, runs on 64-bit, and unbalances the stack on
// 32-bit; on 64-bit there is one convention, and every type has it.
template <typename Function>
struct IsWinapi : std::false_type {};
template <typename Result, typename... Args>
struct IsWinapi<Result(WINAPI*)(Args...)> : std::true_type {};

// The one call of GetProcAddress in the program (tools/imports/check-stdcall.sh
// checks that it stays the only one).
FARPROC ProcAddressOf(HMODULE module, const char* name);

// The function `name` of `module` as a `Function`, or null when it has none.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
  static_assert(IsWinapi<Function>::value, "a function of a system DLL is declared WINAPI");
  // Through the generic function pointer type, which converts to and from
  // any other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(ProcAddressOf(module, name)));
}
