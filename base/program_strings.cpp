#include "base/program_strings.h"

namespace {

HINSTANCE g_module = nullptr;  // main thread

}  // namespace

HINSTANCE ProgramModule() {
  // The resources are linked into the exe itself, never into a DLL.
  return g_module != nullptr ? g_module : GetModuleHandleA(nullptr);
}

void SetProgramModule(HINSTANCE module) {
  g_module = module;
}

int LoadProgramString(uint32_t id, char* buffer, int size) {
  const int length = LoadStringA(ProgramModule(), id, buffer, size);
  if (length > 0) return length;
  if (size > 0) buffer[0] = '\0';
  return 0;
}
