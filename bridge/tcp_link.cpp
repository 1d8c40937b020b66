#include "bridge/tcp_link.h"

#include <initializer_list>
#include <new>

#include "bridge/buffer_queues.h"
#include "bridge/control_message.h"
#include "bridge/socket_calls.h"
#include "trace/events.h"

namespace {

// A transfer cancelled by closesocket still completes, asynchronously (at
// once on a sound stack). Its buffer and overlapped record may only be
// reused after that: past this wait they are parked, so that a misbehaving
// stack can neither hold the worker (or Stop) nor write into memory in use.
constexpr DWORD CANCELLED_TRANSFER_WAIT_MS = 500;

void ReturnQueue(ModemBridge* bridge, IoBuffer** queue, std::atomic<LONG>* queued) {
  while (IoBuffer* buffer = PopHead(queue)) {
    AddQueued(queued, -1);
    ReturnBuffer(bridge, buffer);
  }
}

bool StillOutstanding(const SocketTransfer* transfer) {
  return transfer->inFlight && WaitForSingleObject(transfer->overlapped.hEvent, 0) != WAIT_OBJECT_0;
}

// Parks the slot's outstanding transfer with its buffer and puts a fresh
// record in its place, whose event the worker waits on instead: a late
// completion then wakes nothing. Without memory for a fresh record the
// transfer keeps its slot, holding its buffer, and the worker ends
// (E_OUTOFMEMORY) before the record could be used again.
void ParkTransfer(ModemBridge* bridge, SocketTransfer** slot, int waitIndex, IoBuffer* buffer) {
  SocketTransfer* outstanding = *slot;
  outstanding->buffer = buffer;
  SocketTransfer* fresh = NewSocketTransfer();
  if (fresh == nullptr) {
    bridge->workerFault = E_OUTOFMEMORY;
    return;
  }
  outstanding->next = bridge->parkedTransfers;
  bridge->parkedTransfers = outstanding;
  *slot = fresh;
  bridge->waitHandles[waitIndex] = fresh->overlapped.hEvent;
}

// After the socket is closed: waits, bounded, for the transfers its closing
// cancelled, and parks those whose completion has not come.
void SettleCancelledTransfers(ModemBridge* bridge) {
  HANDLE events[2];
  DWORD count = 0;
  for (const SocketTransfer* t : {bridge->receiveTransfer, bridge->sendTransfer}) {
    if (t->inFlight) events[count++] = t->overlapped.hEvent;
  }
  if (count == 0) return;
  WaitForMultipleObjects(count, events, TRUE, CANCELLED_TRANSFER_WAIT_MS);
  if (StillOutstanding(bridge->receiveTransfer)) {
    ParkTransfer(bridge, &bridge->receiveTransfer, RECEIVE_WAIT_INDEX, bridge->receivePending);
    bridge->receivePending = nullptr;
  }
  if (StillOutstanding(bridge->sendTransfer)) {
    AddQueued(&bridge->sendQueued, -1);
    ParkTransfer(bridge, &bridge->sendTransfer, SEND_WAIT_INDEX, PopHead(&bridge->sendQueue));
  }
  bridge->receiveTransfer->inFlight = 0;
  bridge->sendTransfer->inFlight = 0;
}

}  // namespace

SocketTransfer* NewSocketTransfer() {
  auto* transfer = new (std::nothrow) SocketTransfer();
  if (transfer == nullptr) return nullptr;
  transfer->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (transfer->overlapped.hEvent == nullptr) {
    delete transfer;
    return nullptr;
  }
  return transfer;
}

void FreeSocketTransfer(SocketTransfer* transfer) {
  if (transfer == nullptr) return;
  CloseHandle(transfer->overlapped.hEvent);
  FreeIoBuffer(transfer->buffer);
  delete transfer;
}

void ReapParkedTransfers(ModemBridge* bridge) {
  for (SocketTransfer** link = &bridge->parkedTransfers; *link != nullptr;) {
    SocketTransfer* transfer = *link;
    if (WaitForSingleObject(transfer->overlapped.hEvent, 0) != WAIT_OBJECT_0) {
      link = &transfer->next;
      continue;
    }
    *link = transfer->next;
    if (transfer->buffer != nullptr) ReturnBuffer(bridge, transfer->buffer);
    transfer->buffer = nullptr;
    FreeSocketTransfer(transfer);
  }
}

void FreeParkedTransfers(ModemBridge* bridge) {
  const ULONGLONG deadline = GetTickCount64() + CANCELLED_TRANSFER_WAIT_MS;
  while (SocketTransfer* transfer = bridge->parkedTransfers) {
    const ULONGLONG now = GetTickCount64();
    WaitForSingleObject(transfer->overlapped.hEvent, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
    bridge->parkedTransfers = transfer->next;
    FreeSocketTransfer(transfer);
  }
}

SOCKET TakeSocket(ModemBridge* bridge) {
  EnterCriticalSection(&bridge->lock);
  SOCKET s = bridge->socket;
  bridge->socket = INVALID_SOCKET;
  LeaveCriticalSection(&bridge->lock);
  return s;
}

void JoinConnectThread(ModemBridge* bridge) {
  WaitForSingleObject(bridge->connectThread, INFINITE);
  CloseHandle(bridge->connectThread);
  bridge->connectThread = nullptr;
  if (bridge->connectRequest != nullptr) {
    ReturnBuffer(bridge, bridge->connectRequest);
    bridge->connectRequest = nullptr;
  }
}

void PrepareSocketTransfer(OVERLAPPED* overlapped) {
  HANDLE event = overlapped->hEvent;
  ZeroMemory(overlapped, sizeof *overlapped);
  overlapped->hEvent = event;
  // Reset here rather than trusting the call to: an event left set by the
  // last transfer would make the next wait return before this one completes.
  ResetEvent(event);
}

void PostLinkChanged(ModemBridge* bridge) {
  PostToOwner(bridge, WM_GW_LINK_CHANGED, 0);
}

HRESULT QueueReply(ModemBridge* bridge, uint8_t type) {
  IoBuffer* reply = TakeBuffer(bridge);
  if (reply == nullptr) {
    bridge->workerFault = E_OUTOFMEMORY;
    return E_OUTOFMEMORY;
  }
  reply->data[0] = type;
  reply->count = 1;
  return QueueControlOut(bridge, reply);
}

void CloseLink(ModemBridge* bridge) {
  if (bridge->linked.load() == 1) trace::LinkEnded(bridge);
  bridge->linkEndCause = trace::LINK_END_UNSET;
  bridge->linkEndError = 0;
  bridge->linked.store(0);
  // An attempt under way is ended first: the connect thread gives up, closes
  // its own socket and returns. Only then is a connected socket closed, so
  // no socket is ever closed while another thread still calls Winsock on it.
  if (bridge->connectThread != nullptr) {
    SetEvent(bridge->connectCancel);
    JoinConnectThread(bridge);
  }
  SOCKET s = TakeSocket(bridge);
  if (s != INVALID_SOCKET) {
    shutdown(s, SD_BOTH);
    closesocket(s);
  }
  SettleCancelledTransfers(bridge);
  bridge->nextReceiveAt = 0;
  if (bridge->receivePending != nullptr) {
    ReturnBuffer(bridge, bridge->receivePending);
    bridge->receivePending = nullptr;
  }
  ReturnQueue(bridge, &bridge->sendQueue, &bridge->sendQueued);
  // The head of the data OUT queue may be on its way to the modem; it stays.
  if (bridge->dataOutQueue != nullptr)
    ReturnQueue(bridge, &bridge->dataOutQueue->next, &bridge->dataOutQueued);
  // Last, after the socket is closed: the worker ignores these events while
  // the link is down, so one left set would end every wait at once.
  ResetEvent(bridge->receiveTransfer->overlapped.hEvent);
  ResetEvent(bridge->sendTransfer->overlapped.hEvent);
  bridge->linkReceivedBase = bridge->traffic.receiveBytes.load();
  bridge->linkSentBase = bridge->traffic.sendBytes.load();
  PostLinkChanged(bridge);
}

void ReportLinkLost(ModemBridge* bridge) {
  // The failed socket call's error, before the reply below can change it.
  const DWORD error = WSAGetLastError();
  bridge->linkEndCause = error == WSAECONNRESET ? trace::LINK_END_RESET : trace::LINK_END_ERROR;
  bridge->linkEndError = error;
  // Queued before the teardown, so the modem hears of the loss even though
  // the data still in flight is dropped. A notice whose write cannot start
  // would hold every later control message behind it for good: the worker
  // ends with that result instead, as for any USB write that cannot start.
  const HRESULT r = QueueReply(bridge, CTL_LINK_LOST);
  if (r < 0) bridge->workerFault = r;
  CloseLink(bridge);
}

void StartSocketSend(ModemBridge* bridge, IoBuffer* buffer) {
  buffer->wsaBuf.len = buffer->count;
  buffer->wsaBuf.buf = reinterpret_cast<char*>(buffer->data);
  SendRemainder(bridge, buffer);
}

void SendRemainder(ModemBridge* bridge, IoBuffer* buffer) {
  PrepareSocketTransfer(&bridge->sendTransfer->overlapped);
  if (SocketSend(bridge->socket, &buffer->wsaBuf, &bridge->sendTransfer->overlapped) == SOCKET_ERROR &&
      WSAGetLastError() != WSA_IO_PENDING) {
    ReportLinkLost(bridge);
    return;
  }
  bridge->sendTransfer->inFlight = 1;
}
