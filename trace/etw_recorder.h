#pragma once
// The trace boundary bound to a recorder (the simulated build and the test
// programs): registration keeps the enable callback, a session is played by
// Enable and Disable, and every write is kept whole, as a session would
// receive it. With VARNEL_TRACE_FILE set in its environment, a process
// starts enabled for every event and appends each one to that file.
#include <cstdint>
#include <vector>

#include "trace/etw_os.h"

namespace etwrec {

struct RecordedEvent {
  EVENT_DESCRIPTOR descriptor;
  std::vector<uint8_t> types;               // each data descriptor's type
  std::vector<std::vector<uint8_t>> parts;  // and its bytes
};

// As a session enabling (or disabling) the registered provider.
void Enable(UCHAR level, ULONGLONG anyKeyword);
void Disable();
std::vector<RecordedEvent> Events();
void ClearEvents();
// The traits EventSetInformation was given last.
std::vector<uint8_t> Traits();
// Writes the events to `path`, each as: level (1 byte), keyword (8), part
// count (4), then per part its type (1), size (4) and bytes; integers
// little-endian. False when the file cannot be written.
bool SaveEvents(const char* path);

}  // namespace etwrec
