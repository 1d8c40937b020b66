#include "app/app_state.h"

AppState g_app;

int LoadProgramString(uint32_t id, char* buffer, int size) {
  const int length = LoadStringA(g_app.instance, id, buffer, size);
  if (length > 0) return length;
  if (size > 0) buffer[0] = '\0';
  return 0;
}
