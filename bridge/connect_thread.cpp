#include "base/result_codes.h"
#include "bridge/address_text.h"
#include "bridge/control_message.h"
#include "bridge/tcp_link.h"
#include "trace/events.h"

namespace {

// Publishes the outcome: the result is stored before the wake event is set,
// since the worker acts on the stored value and the event only wakes it.
HRESULT Publish(ModemBridge* bridge, HRESULT result) {
  trace::ConnectEnded(static_cast<uint32_t>(bridge->deviceId), result, bridge->connectError,
                      bridge->connectStartedAt);
  bridge->connectResult.store(result);
  SetEvent(bridge->wakeEvent);
  return result;
}

HRESULT FailAttempt(ModemBridge* bridge, HRESULT result) {
  bridge->connectError = GetLastError();
  SOCKET s = TakeSocket(bridge);
  if (s != INVALID_SOCKET) closesocket(s);  // never connected: no shutdown
  return Publish(bridge, result);
}

// Connects the socket, waiting for the connect or for CloseLink to give the
// attempt up, whichever comes first; no time limit of our own. False with
// the last error set when it did not connect.
bool ConnectOrCancel(ModemBridge* bridge, SOCKET s, const sockaddr_in& to) {
  WSAEVENT connected = WSACreateEvent();
  if (connected == WSA_INVALID_EVENT) return false;
  bool ok = WSAEventSelect(s, connected, FD_CONNECT) == 0;
  if (ok && WSAConnect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, nullptr, nullptr, nullptr,
                       nullptr) == SOCKET_ERROR) {
    ok = WSAGetLastError() == WSAEWOULDBLOCK;
    if (ok) {
      const HANDLE waits[2] = {connected, bridge->connectCancel};
      WSANETWORKEVENTS events = {};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ok = false;
        WSASetLastError(WSAECONNABORTED);
      } else if (WSAEnumNetworkEvents(s, connected, &events) != 0) {
        ok = false;
      } else if (events.iErrorCode[FD_CONNECT_BIT] != 0) {
        ok = false;
        WSASetLastError(events.iErrorCode[FD_CONNECT_BIT]);
      }
    }
  }
  const DWORD error = GetLastError();
  // The worker drives the socket with overlapped calls: back to blocking
  // mode, with no event selected.
  WSAEventSelect(s, nullptr, 0);
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  WSACloseEvent(connected);
  SetLastError(error);
  return ok;
}

HRESULT Connect(ModemBridge* bridge) {
  if (bridge->connectRequest == nullptr) return FailAttempt(bridge, E_UNEXPECTED);
  ServerAddress server;
  char* text = reinterpret_cast<char*>(bridge->connectRequest->data + CONNECT_TEXT_OFFSET);
  trace::ConnectRequested(static_cast<uint32_t>(bridge->deviceId), text);
  // A malformed text keeps the thread's own last error: nothing failed.
  if (!ParseAddressText(text, &server)) return FailAttempt(bridge, E_INVALIDARG);
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) return FailAttempt(bridge, GW_E_NETWORK);
  // Stored at once; CloseLink takes it only after this thread has ended.
  EnterCriticalSection(&bridge->lock);
  bridge->socket = s;
  LeaveCriticalSection(&bridge->lock);

  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.port);
  to.sin_addr.s_addr = htonl(server.address);
  if (!ConnectOrCancel(bridge, s, to)) return FailAttempt(bridge, GW_E_NETWORK);
  // A modem's message often arrives in two USB reads, so two sends: with
  // Nagle's algorithm the second waits for the first one's acknowledgement,
  // which the server delays until it can answer, and it cannot answer
  // before the second half: tens of milliseconds lost on every such round.
  // Each send already carries a whole read, so nothing is gained by waiting.
  // Without the option the link still works, only slower.
  const BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  return Publish(bridge, S_OK);
}

}  // namespace

DWORD WINAPI ConnectThread(LPVOID param) {
  auto* bridge = static_cast<ModemBridge*>(param);
  bridge->connectStartedAt = GetTickCount64();
  return static_cast<DWORD>(Connect(bridge));
}
