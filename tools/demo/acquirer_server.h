#pragma once
// The acquirer's stand-in: a TCP server on 127.0.0.1, on a port the system
// picks, run by a thread of the demo. It takes one connection and answers
// every request it receives with a reply made from it. Its number of
// replies and its life are bounded.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

struct AcquirerServer {
  SOCKET listener;  // owned; INVALID_SOCKET when none
  uint16_t port;    // host order
  HANDLE thread;    // owned; null when not running
  std::atomic<LONG> stopRequested;
};

// The reply to `request` (`size` bytes): "ACK:" and the request's bytes in
// reverse order, into `reply` of `room` bytes. Gives the reply's length, 0
// when it does not fit.
uint32_t MakeAcquirerReply(const uint8_t* request, uint32_t size, uint8_t* reply, uint32_t room);

// Listens and starts the thread; Winsock must have been started. S_OK,
// GW_E_NETWORK or E_FAIL. Stop undoes whatever was done, also after a failure.
HRESULT StartAcquirerServer(AcquirerServer* server);
// Asks the thread to end, waits for it (a tenth of a second at most) and
// closes the listener.
void StopAcquirerServer(AcquirerServer* server);
