#include "bridge/status_poll.h"

#include "bridge/status_logic.h"

namespace {

// Control messages waiting for a modem that has stopped taking them: past
// this many, ticks send nothing until the queue drains. A modem that
// answers takes each request within a tick and never gets near it.
constexpr LONG POLL_BACKLOG_LIMIT = 16;

LONG ControlBacklog(ModemBridge* bridge) {
  LONG waiting = bridge->controlOutQueued.load();
  EnterCriticalSection(&bridge->lock);
  for (IoBuffer* m = bridge->outbox; m != nullptr && waiting < POLL_BACKLOG_LIMIT; m = m->next) ++waiting;
  LeaveCriticalSection(&bridge->lock);
  return waiting;
}

}  // namespace

void OnTick(ModemBridge* bridge) {
  if (!IsPollDue(&bridge->status) || ControlBacklog(bridge) >= POLL_BACKLOG_LIMIT) return;
  IoBuffer* request = AllocIoBuffer();
  if (request == nullptr) return;  // this tick sends nothing; the next one tries again
  request->count = MakePollRequest(&bridge->status, request->data);
  PostControl(bridge, request);
}

MessageOutcome OnDeviceMessage(ModemBridge* bridge, IoBuffer* message) {
  if (message == nullptr) return MessageOutcome{};
  const MessageOutcome outcome = TakeDeviceMessage(&bridge->status, message->data, message->count);
  FreeIoBuffer(message);
  return outcome;
}
