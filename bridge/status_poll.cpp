#include "bridge/status_poll.h"

#include "app/app_state.h"
#include "bridge/status_logic.h"
#include "res/resource_ids.h"
#include "usb/device_record.h"

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

void ShowBlockingWarning(ModemBridge* bridge, int32_t hours) {
  char format[WARNING_FORMAT_SIZE];
  if (LoadProgramString(IDS_BLOCKING_WARNING, format, sizeof format) == 0) return;
  char text[WARNING_TEXT_SIZE];
  FormatWarningText(text, sizeof text, format, bridge->status.serial, hours);
  g_app.ShowBalloon(text);
}

}  // namespace

void OnTick(ModemBridge* bridge) {
  if (!IsPollDue(&bridge->status) || ControlBacklog(bridge) >= POLL_BACKLOG_LIMIT) return;
  IoBuffer* request = AllocIoBuffer();
  if (request == nullptr) return;  // this tick sends nothing; the next one tries again
  request->count = MakePollRequest(&bridge->status, request->data);
  PostControl(bridge, request);
}

void OnDeviceMessage(ModemBridge* bridge, IoBuffer* message) {
  if (message == nullptr) return;
  const MessageOutcome outcome = TakeDeviceMessage(&bridge->status, message->data, message->count);
  if (outcome.serialTaken) bridge->device->SetDisplayName(bridge->status.serial);
  if (outcome.warningDue) ShowBlockingWarning(bridge, outcome.warningHours);
  // Every message, taken or not, tells an open status window to look again.
  if (bridge->statusWindow != nullptr) PostMessageA(bridge->statusWindow, WM_COMMAND, CMD_STATUS_REFRESH, 0);
  FreeIoBuffer(message);
}
