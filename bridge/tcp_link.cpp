#include "bridge/tcp_link.h"

#include "app/app_state.h"
#include "bridge/buffer_queues.h"
#include "bridge/control_message.h"
#include "bridge/socket_calls.h"

namespace {

// A transfer cancelled by closesocket still completes, asynchronously. Its
// buffer and overlapped record may only be reused after that; the bound
// keeps a misbehaving stack from hanging the worker.
constexpr DWORD CANCELLED_TRANSFER_WAIT_MS = 5000;

void ReturnQueue(ModemBridge* bridge, IoBuffer** queue, std::atomic<LONG>* queued) {
  while (IoBuffer* buffer = PopHead(queue)) {
    AddQueued(queued, -1);
    ReturnBuffer(bridge, buffer);
  }
}

}  // namespace

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
  PostMessageA(g_app.mainWindow, WM_GW_LINK_CHANGED, reinterpret_cast<WPARAM>(bridge->device), 0);
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
  if (bridge->receiveInFlight)
    WaitForSingleObject(bridge->receiveOverlapped.hEvent, CANCELLED_TRANSFER_WAIT_MS);
  if (bridge->sendInFlight) WaitForSingleObject(bridge->sendOverlapped.hEvent, CANCELLED_TRANSFER_WAIT_MS);
  bridge->receiveInFlight = 0;
  bridge->sendInFlight = 0;
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
  ResetEvent(bridge->receiveOverlapped.hEvent);
  ResetEvent(bridge->sendOverlapped.hEvent);
  PostLinkChanged(bridge);
}

void ReportLinkLost(ModemBridge* bridge) {
  // Queued before the teardown, so the modem hears of the loss even though
  // the data still in flight is dropped.
  QueueReply(bridge, CTL_LINK_LOST);
  CloseLink(bridge);
}

void StartSocketSend(ModemBridge* bridge, IoBuffer* buffer) {
  buffer->wsaBuf.len = buffer->count;
  buffer->wsaBuf.buf = reinterpret_cast<char*>(buffer->data);
  SendRemainder(bridge, buffer);
}

void SendRemainder(ModemBridge* bridge, IoBuffer* buffer) {
  PrepareSocketTransfer(&bridge->sendOverlapped);
  if (SocketSend(bridge->socket, &buffer->wsaBuf, &bridge->sendOverlapped) == SOCKET_ERROR &&
      WSAGetLastError() != WSA_IO_PENDING) {
    ReportLinkLost(bridge);
    return;
  }
  bridge->sendInFlight = 1;
}
