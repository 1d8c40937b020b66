#include "bridge/woken_set.h"

bool FindSet(const HANDLE handles[WAIT_HANDLE_COUNT], DWORD wait, Woken* woken) {
  *woken = {};
  for (int i = 0; i < WAIT_HANDLE_COUNT; ++i) woken->handles[i] = handles[i];
  DWORD after = 0;
  while (wait != WAIT_TIMEOUT) {
    // WAIT_FAILED, or an abandoned or out-of-range result, would otherwise
    // wrap into an index and ask the same handles for ever.
    if (wait - WAIT_OBJECT_0 >= WAIT_HANDLE_COUNT - after) return false;
    const DWORD next = after + (wait - WAIT_OBJECT_0);
    woken->set |= 1u << next;
    after = next + 1;
    if (after == WAIT_HANDLE_COUNT) break;
    wait = WaitForMultipleObjects(WAIT_HANDLE_COUNT - after, woken->handles + after, FALSE, 0);
  }
  return true;
}
