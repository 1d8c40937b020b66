#include "app/result_codes.h"
#include "bridge/address_text.h"
#include "bridge/control_message.h"
#include "bridge/tcp_link.h"

namespace {

// Publishes the outcome: the result is stored before the wake event is set,
// since the worker acts on the stored value and the event only wakes it.
HRESULT Publish(ModemBridge* bridge, HRESULT result) {
  bridge->connectResult.store(result);
  SetEvent(bridge->wakeEvent);
  return result;
}

HRESULT FailAttempt(ModemBridge* bridge, HRESULT result) {
  bridge->connectError = GetLastError();
  SOCKET s = TakeSocket(bridge, false);
  if (s != INVALID_SOCKET) closesocket(s);  // never connected: no shutdown
  return Publish(bridge, result);
}

HRESULT Connect(ModemBridge* bridge) {
  if (bridge->connectRequest == nullptr) return FailAttempt(bridge, E_UNEXPECTED);
  ServerAddress server;
  char* text = reinterpret_cast<char*>(bridge->connectRequest->data + CONNECT_TEXT_OFFSET);
  if (!ParseAddressText(text, &server)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FailAttempt(bridge, E_INVALIDARG);
  }
  SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) return FailAttempt(bridge, GW_E_NETWORK);

  // The store and CloseLink's take-and-clear exclude each other: once
  // CloseLink has given this attempt up, the new socket must not stay open
  // where nothing would ever close it.
  EnterCriticalSection(&bridge->lock);
  const bool abandoned = bridge->connectAbandoned != 0;
  if (!abandoned) bridge->socket = s;
  LeaveCriticalSection(&bridge->lock);
  if (abandoned) {
    closesocket(s);
    SetLastError(WSAECONNABORTED);
    return FailAttempt(bridge, GW_E_NETWORK);
  }

  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.port);
  to.sin_addr.s_addr = htonl(server.address);
  if (WSAConnect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, nullptr, nullptr, nullptr, nullptr) ==
      SOCKET_ERROR) {
    return FailAttempt(bridge, GW_E_NETWORK);
  }
  return Publish(bridge, S_OK);
}

}  // namespace

DWORD WINAPI ConnectThread(LPVOID param) {
  return static_cast<DWORD>(Connect(static_cast<ModemBridge*>(param)));
}
