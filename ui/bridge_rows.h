#pragma once
// The status rows of one bridge, labelled from the program's string table.
#include "bridge/modem_bridge.h"

// Label, NUL, value, NUL into `buffer` of `size` bytes; gives 1 when the
// value is to be drawn as a warning. Reads the bridge's cache and traffic
// counters only; main thread.
int32_t RenderStatusRow(ModemBridge* bridge, int32_t tab, uint32_t row, char* buffer, uint32_t size);
