#pragma once
// What every bridge benchmark starts with.
#include "tests/win/bridged_modem.h"
#include "tests/win/loopback_server.h"
#include "tests/win/test_window.h"

// Starts the modem's bridge and links it to the server; false, said on
// stdout under `name`, when there is no link.
bool LinkBridge(const char* name, TestWindow* window, BridgedModem* modem, LoopbackServer* server);

// A plain blocking socket connected to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET ConnectLoopback(uint16_t port);
