#pragma once
// The status window as plain text, for a support call: a header line
// (program and version, the modem's serial, its device path, the time),
// then every row of both tabs as "label<TAB>value", a warning row followed
// by "<TAB>!"; lines end with CR LF. The texts stay in the program's 8-bit
// code page, as the rows are rendered.
#include <cstdint>

#include "ui/status_rows.h"

struct StatusTextHeader {
  const char* version;
  const char* serial;
  const char* path;
  const char* time;
};

// Writes the text and a NUL into `buffer` of `size` bytes (at least 1), cut
// to fit; gives its length without the NUL.
uint32_t RenderStatusText(const StatusCache& cache, const TrafficCounters& traffic,
                          const StatusTextHeader& header, char* buffer, uint32_t size,
                          StringLoader loadString);
