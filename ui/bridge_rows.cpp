#include "ui/bridge_rows.h"

#include "base/program_strings.h"
#include "ui/status_rows.h"

int32_t RenderStatusRow(ModemBridge* bridge, int32_t tab, uint32_t row, char* buffer, uint32_t size) {
  return RenderStatusRow(bridge->status, bridge->traffic, tab, row, buffer, size, LoadProgramString);
}
