#include "bridge/socket_calls.h"

int SocketReceive(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped) {
  DWORD flags = 0;
  return WSARecv(s, buffer, 1, nullptr, &flags, overlapped, nullptr);
}

int SocketSend(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped) {
  return WSASend(s, buffer, 1, nullptr, 0, overlapped, nullptr);
}

BOOL SocketResult(SOCKET s, OVERLAPPED* overlapped, DWORD* count) {
  DWORD flags = 0;
  return WSAGetOverlappedResult(s, overlapped, count, FALSE, &flags);
}
