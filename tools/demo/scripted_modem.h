#pragma once
// The scripted modem: a thread that plays one fiscal modem on the simulated
// bus from plugging in to unplugging. It answers the gateway's polls,
// has the gateway open a link to the acquirer, relays a few payloads over
// it, closes it, has the status shown and checks each answer on the way.
// Every step is bounded in time; the thread ends by itself.
#include <windows.h>

#include <cstdint>

struct ModemScript {
  uint16_t acquirerPort;  // set before the thread starts; the acquirer listens on 127.0.0.1
  bool passed;            // written by the thread: every answer was right
};

// The thread's routine; the parameter is the ModemScript. The main thread
// must keep pumping its messages meanwhile: the bus sends it the device
// events, and the script asks it to show the status.
DWORD WINAPI RunModemScript(LPVOID script);
