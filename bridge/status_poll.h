#pragma once
// The main thread's side of the control channel: one poll request per tick,
// and each message from the modem taken into the status cache.
#include "bridge/modem_bridge.h"

void OnTick(ModemBridge* bridge);
// Takes the message over into the status cache and frees it; gives what the
// owner is to act on (a serial to show, a warning due).
MessageOutcome OnDeviceMessage(ModemBridge* bridge, IoBuffer* message);
