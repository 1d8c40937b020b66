// The bridge's worker thread: every transfer of one modem, on one thread
// that waits on seven events and, whenever it wakes, looks at every source
// in a fixed order.
#include "bridge/buffer_queues.h"
#include "bridge/control_message.h"
#include "bridge/socket_calls.h"
#include "bridge/tcp_link.h"
#include "bridge/woken_set.h"
#include "trace/events.h"
#include "usb/usb_pipe.h"

namespace {

constexpr ULONG DATA_READ_SIZE = IO_BUFFER_SIZE;
constexpr UCHAR POLICY_ON = 1;
// While a read cannot get a buffer, or receives are paced after the server
// closed its side, the worker looks again this often.
constexpr DWORD RETRY_MS = 100;

// A transfer started during the pass may have completed already (at once,
// or since): its record says so, and reading it is no system call.
void LookAgain(Woken* woken, const UsbPipe* pipe) {
  for (int i = 0; i < WAIT_HANDLE_COUNT; ++i) {
    if (woken->handles[i] != pipe->overlapped.hEvent) continue;
    if (HasOverlappedIoCompleted(&pipe->overlapped)) {
      woken->set |= 1u << i;
    } else {
      woken->set &= ~(1u << i);
    }
  }
}

bool IsSet(const Woken& woken, HANDLE event) {
  for (int i = 0; i < WAIT_HANDLE_COUNT; ++i) {
    if (woken.handles[i] == event) return (woken.set >> i & 1u) != 0;
  }
  // Made during this pass (a new link's record): asked now.
  return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// Lowers the time-out of this pass's wait to `ms`.
void WaitAtMost(DWORD* timeout, ULONGLONG ms) {
  if (ms < *timeout) *timeout = static_cast<DWORD>(ms);
}

HRESULT SetPolicies(ModemBridge* b) {
  UCHAR on = POLICY_ON;
  HRESULT r = b->controlOut->SetPolicy(SHORT_PACKET_TERMINATE, sizeof on, &on);
  if (r >= 0) r = b->dataOut->SetPolicy(SHORT_PACKET_TERMINATE, sizeof on, &on);
  if (r >= 0) r = b->controlIn->SetPolicy(AUTO_CLEAR_STALL, sizeof on, &on);
  if (r >= 0) r = b->dataIn->SetPolicy(AUTO_CLEAR_STALL, sizeof on, &on);
  return r;
}

// Keeps one read outstanding on an IN pipe, unless the queue it feeds is
// full. Without a read the pipe's event is cleared (the last completion left
// it set); without a buffer the worker looks again soon, while a held read
// starts when its queue drains, which wakes the worker anyway.
HRESULT KeepReading(ModemBridge* b, UsbPipe* pipe, IoBuffer** pending, ULONG length, bool held,
                    DWORD* timeout) {
  if (*pending != nullptr) return S_OK;
  IoBuffer* buffer = held ? nullptr : TakeBuffer(b);
  if (buffer == nullptr) {
    ResetEvent(pipe->overlapped.hEvent);
    if (!held) WaitAtMost(timeout, RETRY_MS);
    return S_OK;
  }
  *pending = buffer;
  ULONG scratch = 0;
  HRESULT r = pipe->StartRead(buffer->data, length, &scratch, &pipe->overlapped);
  return r < 0 ? r : S_OK;
}

// Keeps one receive outstanding while the link is up. After the server has
// closed its side, receives are paced by the clock, however often other
// sources wake the worker: a later reset is still noticed soon, and empty
// receives do not spin.
void KeepReceiving(ModemBridge* b, DWORD* timeout) {
  if (b->receivePending != nullptr || b->linked.load() != 1) return;
  if (QueueFull(b->dataOutQueued, &b->dataOutFull)) {
    ResetEvent(b->receiveTransfer->overlapped.hEvent);
    return;
  }
  if (b->nextReceiveAt != 0) {
    const ULONGLONG now = GetTickCount64();
    if (now < b->nextReceiveAt) {
      WaitAtMost(timeout, b->nextReceiveAt - now);
      return;
    }
  }
  IoBuffer* buffer = TakeBuffer(b);
  if (buffer == nullptr) {
    ResetEvent(b->receiveTransfer->overlapped.hEvent);
    WaitAtMost(timeout, RETRY_MS);
    return;
  }
  b->receivePending = buffer;
  buffer->wsaBuf.len = IO_BUFFER_SIZE;
  buffer->wsaBuf.buf = reinterpret_cast<char*>(buffer->data);
  PrepareSocketTransfer(&b->receiveTransfer->overlapped);
  if (SocketReceive(b->socket, &buffer->wsaBuf, &b->receiveTransfer->overlapped) == SOCKET_ERROR &&
      WSAGetLastError() != WSA_IO_PENDING) {
    ReportLinkLost(b);
    return;
  }
  b->receiveTransfer->inFlight = 1;
}

HRESULT TakeOutbox(ModemBridge* b) {
  for (;;) {
    EnterCriticalSection(&b->lock);
    IoBuffer* message = PopHead(&b->outbox);
    LeaveCriticalSection(&b->lock);
    if (message == nullptr) return S_OK;
    const HRESULT r = QueueControlOut(b, message);
    if (r < 0) return r;
  }
}

HRESULT TakeConnectOutcome(ModemBridge* b) {
  if (b->connectThread == nullptr || b->connectResult.load() == 1) return S_OK;
  // The thread has published its result and is about to return; waiting for
  // it makes sure it no longer touches the bridge once the outcome is taken.
  JoinConnectThread(b);
  if (b->connectResult.load() < 0) return QueueReply(b, CTL_CONNECT_FAILED);
  b->linked.store(1);
  PostLinkChanged(b);
  return QueueReply(b, CTL_CONNECTED);
}

// A completed write on an OUT pipe: the head is counted and recycled, the
// next one started; with nothing left the pipe's event is cleared.
HRESULT CompleteWrite(ModemBridge* b, const Woken& woken, UsbPipe* pipe, IoBuffer** queue,
                      std::atomic<uint32_t>& transfers, std::atomic<uint64_t>& bytes,
                      std::atomic<LONG>* queued) {
  if (!IsSet(woken, pipe->overlapped.hEvent)) return S_OK;
  ULONG transferred = 0;
  HRESULT r = pipe->TakeCompletion(&pipe->overlapped, &transferred);
  if (r != 0) return r < 0 ? r : S_OK;
  if (IoBuffer* done = PopHead(queue)) {
    AddQueued(queued, -1);
    // The queued length counts, whatever the pipe reports.
    CountTransfer(transfers, bytes, done->count);
    ReturnBuffer(b, done);
  }
  if (*queue != nullptr) {
    ULONG scratch = 0;
    r = pipe->StartWrite((*queue)->data, (*queue)->count, &scratch, &pipe->overlapped);
    return r < 0 ? r : S_OK;
  }
  ResetEvent(pipe->overlapped.hEvent);
  return S_OK;
}

void CompleteSend(ModemBridge* b, const Woken& woken) {
  if (b->linked.load() != 1 || !IsSet(woken, b->sendTransfer->overlapped.hEvent)) return;
  b->sendTransfer->inFlight = 0;
  DWORD sent = 0;
  if (!SocketResult(b->socket, &b->sendTransfer->overlapped, &sent)) {
    ReportLinkLost(b);
    return;
  }
  IoBuffer* head = b->sendQueue;
  if (head != nullptr && sent < head->wsaBuf.len) {
    // The stack took part of the buffer: the rest goes out next. A send that
    // took nothing would be repeated for ever, so the link counts as lost.
    if (sent == 0) {
      ReportLinkLost(b);
      return;
    }
    CountBytes(b->traffic.sendBytes, sent);
    head->wsaBuf.buf += sent;
    head->wsaBuf.len -= sent;
    SendRemainder(b, head);
    return;
  }
  if (IoBuffer* done = PopHead(&b->sendQueue)) {
    AddQueued(&b->sendQueued, -1);
    // The bytes of this completion; earlier parts were counted as they went.
    CountTransfer(b->traffic.sendTransfers, b->traffic.sendBytes, sent);
    ReturnBuffer(b, done);
  }
  if (b->sendQueue != nullptr) {
    StartSocketSend(b, b->sendQueue);
  } else {
    ResetEvent(b->sendTransfer->overlapped.hEvent);
  }
}

// Collects a completed read on an IN pipe: *done gets the buffer, holding
// the delivered count, and nothing is pending on the pipe any more.
HRESULT CollectRead(const Woken& woken, UsbPipe* pipe, IoBuffer** pending, IoBuffer** done) {
  if (*pending == nullptr || !IsSet(woken, pipe->overlapped.hEvent)) return S_OK;
  ULONG count = 0;
  const HRESULT r = pipe->TakeCompletion(&pipe->overlapped, &count);
  if (r != 0) return r < 0 ? r : S_OK;
  (*pending)->count = count;
  *done = *pending;
  *pending = nullptr;
  return S_OK;
}

HRESULT ServeConnectRequest(ModemBridge* b, IoBuffer* message) {
  if (message->count < 4) {  // a request to close the link
    b->linkEndCause = trace::LINK_END_CLOSE;
    CloseLink(b);
    ReturnBuffer(b, message);
    return S_OK;
  }
  message->data[message->count] = '\0';  // count <= 64: inside the buffer
  b->linkEndCause = trace::LINK_END_NEW_REQUEST;
  CloseLink(b);
  ResetEvent(b->connectCancel);
  b->connectResult.store(1);
  b->connectRequest = message;
  b->connectThread = CreateThread(nullptr, 0, ConnectThread, b, 0, &b->connectThreadId);
  if (b->connectThread != nullptr) return S_OK;
  b->connectRequest = nullptr;
  ReturnBuffer(b, message);
  return QueueReply(b, CTL_CONNECT_FAILED);
}

HRESULT CompleteControlRead(ModemBridge* b, const Woken& woken) {
  IoBuffer* message = nullptr;
  const HRESULT r = CollectRead(woken, b->controlIn, &b->controlInPending, &message);
  if (r < 0 || message == nullptr) return r;
  CountTransfer(b->traffic.controlInTransfers, b->traffic.controlInBytes, message->count);
  if (message->count >= 1 && message->data[0] == CTL_CONNECT) return ServeConnectRequest(b, message);
  // A message the main window cannot receive would have no owner.
  if (!PostDeviceMessage(b, message)) ReturnBuffer(b, message);
  return S_OK;
}

HRESULT CompleteDataRead(ModemBridge* b, const Woken& woken) {
  IoBuffer* buffer = nullptr;
  const HRESULT r = CollectRead(woken, b->dataIn, &b->dataInPending, &buffer);
  if (r < 0 || buffer == nullptr) return r;
  if (b->linked.load() != 1) {  // no link: the modem's data is dropped
    ReturnBuffer(b, buffer);
    return S_OK;
  }
  CountTransfer(b->traffic.dataInTransfers, b->traffic.dataInBytes, buffer->count);
  if (buffer->count > 0) {
    QueueSend(b, buffer);
  } else {
    ReturnBuffer(b, buffer);
  }
  return S_OK;
}

HRESULT CompleteReceive(ModemBridge* b, const Woken& woken) {
  if (b->linked.load() != 1 || !IsSet(woken, b->receiveTransfer->overlapped.hEvent)) return S_OK;
  IoBuffer* buffer = b->receivePending;
  if (buffer == nullptr) {
    ResetEvent(b->receiveTransfer->overlapped.hEvent);
    return S_OK;
  }
  b->receiveTransfer->inFlight = 0;
  DWORD count = 0;
  if (!SocketResult(b->socket, &b->receiveTransfer->overlapped, &count)) {
    ReportLinkLost(b);
    return S_OK;
  }
  b->receivePending = nullptr;
  if (count > 0) {
    buffer->count = count;
    CountTransfer(b->traffic.receiveTransfers, b->traffic.receiveBytes, count);
    const HRESULT r = QueueDataOut(b, buffer);
    return r < 0 ? r : S_OK;
  }
  // The server closed its side. The link stays up and the modem is told
  // nothing, but the next receive waits: it would complete at once with zero
  // bytes on every pass.
  ReturnBuffer(b, buffer);
  b->nextReceiveAt = GetTickCount64() + RETRY_MS;
  ResetEvent(b->receiveTransfer->overlapped.hEvent);
  return S_OK;
}

HRESULT RunPasses(ModemBridge* b) {
  for (;;) {
    DWORD timeout = INFINITE;
    ReapParkedTransfers(b);
    HRESULT r = KeepReading(b, b->controlIn, &b->controlInPending, CONTROL_READ_SIZE,
                            QueueFull(b->controlOutQueued, &b->controlOutFull), &timeout);
    if (r < 0) return r;
    r = KeepReading(b, b->dataIn, &b->dataInPending, DATA_READ_SIZE, QueueFull(b->sendQueued, &b->sendFull),
                    &timeout);
    if (r < 0) return r;
    KeepReceiving(b, &timeout);
    if (b->workerFault < 0) return b->workerFault;

    const DWORD wait = MsgWaitForMultipleObjects(WAIT_HANDLE_COUNT, b->waitHandles, FALSE, timeout, 0);
    Woken woken;
    if (!FindSet(b->waitHandles, wait, &woken)) return E_UNEXPECTED;
    // The wake event resets as the wait returns for it, before the stop
    // flag, the outbox and the connect result are looked at, so anything
    // posted after this point sets it again. (Were it reset after the flag
    // was looked at, a Stop landing between the two would lose its wake-up
    // and the worker would wait forever.) It is first in the wait, so a
    // wait that returns for another event leaves it unset, and no other
    // wait includes it.
    if (b->stopRequested.load() != 0) return S_OK;

    const bool controlOutIdle = b->controlOutQueue == nullptr;
    if ((r = TakeOutbox(b)) < 0) return r;
    if ((r = TakeConnectOutcome(b)) < 0) return r;
    if (controlOutIdle && b->controlOutQueue != nullptr) LookAgain(&woken, b->controlOut);
    if ((r = CompleteWrite(b, woken, b->controlOut, &b->controlOutQueue, b->traffic.controlOutTransfers,
                           b->traffic.controlOutBytes, &b->controlOutQueued)) < 0)
      return r;
    if ((r = CompleteWrite(b, woken, b->dataOut, &b->dataOutQueue, b->traffic.dataOutTransfers,
                           b->traffic.dataOutBytes, &b->dataOutQueued)) < 0)
      return r;
    CompleteSend(b, woken);
    if ((r = CompleteControlRead(b, woken)) < 0) return r;
    if ((r = CompleteDataRead(b, woken)) < 0) return r;
    if ((r = CompleteReceive(b, woken)) < 0) return r;
  }
}

}  // namespace

DWORD WINAPI WorkerLoop(LPVOID param) {
  auto* b = static_cast<ModemBridge*>(param);
  HRESULT r = SetPolicies(b);
  if (r >= 0) {
    b->connectThread = nullptr;
    b->connectRequest = nullptr;
    r = RunPasses(b);
  }
  trace::WorkerEnding(b, r);
  b->controlIn->Abort();
  b->controlOut->Abort();
  b->dataIn->Abort();
  b->dataOut->Abort();
  // A stalled OUT endpoint stays stalled, through every reopen, until the
  // host clears it (WinUSB clears IN ones itself under AUTO_CLEAR_STALL);
  // left alone it would fail each new worker's first write for good. Only a
  // worker that failed does this, so a healthy modem never sees it.
  if (r < 0) {
    b->controlOut->Reset();
    b->dataOut->Reset();
  }
  CloseLink(b);
  b->workerResult = r;
  b->workerEnded.store(1);
  PostToOwner(b, WM_GW_WORKER_ENDED, 0);
  return static_cast<DWORD>(r);
}
