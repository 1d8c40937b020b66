#include "tests/win/socket_seam.h"

#include <cstring>
#include <mutex>

#include "bridge/socket_calls.h"

namespace {

constexpr ULONG_PTR STATUS_PENDING_VALUE = 0x103;
constexpr ULONG_PTR STATUS_CONNECTION_RESET_VALUE = 0xC000020D;

struct Slot {
  bool armed = false;
  seam::Fault fault = seam::Fault::FailStart;
  OVERLAPPED* fake = nullptr;  // a record whose outcome this seam reports
  OVERLAPPED* held = nullptr;  // a held transfer's record, until CompleteHeld
  WSABUF heldBuffer = {};
};

std::mutex g_lock;
Slot g_receive, g_send;
ULONG g_sendLimit = 0;
int g_receiveCalls = 0;

// The call as the armed fault makes it; the lock is held.
int Misbehave(Slot* slot, WSABUF* buffer, OVERLAPPED* overlapped) {
  slot->armed = false;
  if (slot->fault == seam::Fault::FailStart) {
    WSASetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  slot->fake = overlapped;
  overlapped->InternalHigh = 0;
  if (slot->fault == seam::Fault::Hold) {
    overlapped->Internal = STATUS_PENDING_VALUE;
    slot->held = overlapped;
    slot->heldBuffer = *buffer;
  } else {
    overlapped->Internal = STATUS_CONNECTION_RESET_VALUE;
    SetEvent(overlapped->hEvent);
  }
  WSASetLastError(WSA_IO_PENDING);
  return SOCKET_ERROR;
}

}  // namespace

int SocketReceive(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_receiveCalls;
    if (g_receive.fake == overlapped) g_receive.fake = nullptr;  // the record is used afresh
    if (g_receive.armed) return Misbehave(&g_receive, buffer, overlapped);
  }
  DWORD flags = 0;
  return WSARecv(s, buffer, 1, nullptr, &flags, overlapped, nullptr);
}

int SocketSend(SOCKET s, WSABUF* buffer, OVERLAPPED* overlapped) {
  WSABUF part = *buffer;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_send.fake == overlapped) g_send.fake = nullptr;
    if (g_send.armed) return Misbehave(&g_send, buffer, overlapped);
    if (g_sendLimit != 0 && part.len > g_sendLimit) part.len = g_sendLimit;
  }
  return WSASend(s, &part, 1, nullptr, 0, overlapped, nullptr);
}

BOOL SocketResult(SOCKET s, OVERLAPPED* overlapped, DWORD* count) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (Slot* slot : {&g_receive, &g_send}) {
      if (slot->fake != overlapped) continue;
      slot->fake = nullptr;
      *count = static_cast<DWORD>(overlapped->InternalHigh);
      if (overlapped->Internal == 0) return TRUE;
      WSASetLastError(WSAECONNRESET);
      return FALSE;
    }
  }
  DWORD flags = 0;
  return WSAGetOverlappedResult(s, overlapped, count, FALSE, &flags);
}

namespace seam {

void ArmNextReceive(Fault fault) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_receive.armed = true;
  g_receive.fault = fault;
}

void ArmNextSend(Fault fault) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_send.armed = true;
  g_send.fault = fault;
}

void LimitSends(ULONG bytes) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_sendLimit = bytes;
}

bool Holds(bool receive) {
  std::lock_guard<std::mutex> hold(g_lock);
  return (receive ? g_receive : g_send).held != nullptr;
}

int ReceiveCalls() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_receiveCalls;
}

bool CompleteHeld(bool receive, uint8_t fill) {
  std::lock_guard<std::mutex> hold(g_lock);
  Slot& slot = receive ? g_receive : g_send;
  if (slot.held == nullptr) return false;
  if (receive) std::memset(slot.heldBuffer.buf, fill, slot.heldBuffer.len);
  slot.held->InternalHigh = slot.heldBuffer.len;
  slot.held->Internal = 0;
  SetEvent(slot.held->hEvent);
  slot.held = nullptr;
  return true;
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_receive = Slot();
  g_send = Slot();
  g_sendLimit = 0;
  g_receiveCalls = 0;
}

}  // namespace seam
