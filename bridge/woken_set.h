#pragma once
// Which of the worker's wait handles were set when a pass began.
#include <windows.h>

#include <cstdint>

#include "bridge/modem_bridge.h"

// A wait for any of several handles returns the lowest index set, so a zero
// time-out wait on the handles after it finds the next one, and a time-out
// means none after it is set: one wait per source to serve, plus one,
// instead of one per handle (under Wine each is a wineserver round trip). A
// source set after this keeps its manual-reset event set until it is
// served, so the next pass's wait returns at once for it.
struct Woken {
  HANDLE handles[WAIT_HANDLE_COUNT];  // as they were: a link's record may be replaced during the pass
  uint32_t set;                       // bit i: handles[i] was set
};

// Fills `woken` from the handles and the result of the wait that began the
// pass. False when a wait failed (a handle no longer valid): the worker
// cannot tell what to serve and must end.
bool FindSet(const HANDLE handles[WAIT_HANDLE_COUNT], DWORD wait, Woken* woken);
