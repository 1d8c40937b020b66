#include "base/proc_address.h"

FARPROC ProcAddressOf(HMODULE module, const char* name) {
  return GetProcAddress(module, name);
}
