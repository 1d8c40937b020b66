#pragma once
// The rows of the status window: for a tab and a row, the label from the
// string table, the value formatted from the bridge's status cache and
// traffic counters, and whether the value is a warning. Reads only.
#include <cstdint>

#include "bridge/status_cache.h"

constexpr int32_t TAB_INFO = 0;
constexpr int32_t TAB_KSEF = 1;  // also any tab other than TAB_INFO

constexpr uint32_t INFO_ROW_COUNT = 17;
constexpr uint32_t KSEF_ROW_COUNT = 6;

// Loads string `id` into `buffer` the way LoadStringA does: at most
// bufferMax - 1 characters and a NUL; gives the characters copied.
typedef int (*StringLoader)(uint32_t id, char* buffer, int bufferMax);

uint32_t RowCount(int32_t tab);

// Writes the row's label, a NUL, its value and a NUL into `buffer` of `size`
// bytes, each cut to fit, and gives 1 when the value is to be shown as a
// warning, else 0. A buffer below 2 bytes is left untouched; a row beyond
// the tab's last gives an empty label and value.
int32_t RenderStatusRow(const StatusCache& cache, const TrafficCounters& traffic, int32_t tab, uint32_t row,
                        char* buffer, uint32_t size, StringLoader loadString);
