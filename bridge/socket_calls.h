#pragma once
// The bridge's overlapped socket calls, in a unit of their own so that a
// test program can link calls that misbehave on demand in their place.
#include <winsock2.h>

// WSARecv / WSASend of one buffer, flags 0, the record's event, no
// completion routine: 0, or SOCKET_ERROR with the error in WSAGetLastError
// (WSA_IO_PENDING: started).
int SocketReceive(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped);
int SocketSend(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped);
// The outcome of a transfer whose event is set, without waiting: TRUE with
// the bytes moved in *count, or FALSE.
BOOL SocketResult(SOCKET s, OVERLAPPED* overlapped, DWORD* count);
