#include "bridge/buffer_queues.h"

#include "bridge/tcp_link.h"
#include "usb/usb_pipe.h"

namespace {

// Appends at the tail; true when the buffer became the head.
bool Append(IoBuffer** queue, IoBuffer* buffer) {
  buffer->next = nullptr;
  if (*queue == nullptr) {
    *queue = buffer;
    return true;
  }
  IoBuffer* tail = *queue;
  while (tail->next != nullptr) tail = tail->next;
  tail->next = buffer;
  return false;
}

HRESULT QueueWrite(IoBuffer** queue, UsbPipe* pipe, IoBuffer* buffer) {
  if (!Append(queue, buffer)) return 0;
  ULONG scratch = 0;
  return pipe->StartWrite(buffer->data, buffer->count, &scratch, &pipe->overlapped);
}

}  // namespace

IoBuffer* TakeBuffer(ModemBridge* bridge) {
  IoBuffer* buffer = bridge->pool;
  if (buffer != nullptr) {
    bridge->pool = buffer->next;
    --bridge->poolCount;
  } else {
    buffer = AllocIoBuffer();
    if (buffer == nullptr) return nullptr;
  }
  buffer->next = nullptr;
  buffer->count = 0;
  return buffer;
}

void ReturnBuffer(ModemBridge* bridge, IoBuffer* buffer) {
  if (bridge->poolCount >= POOL_LIMIT) {
    FreeIoBuffer(buffer);
    return;
  }
  buffer->next = bridge->pool;
  bridge->pool = buffer;
  ++bridge->poolCount;
}

HRESULT QueueControlOut(ModemBridge* bridge, IoBuffer* buffer) {
  AddQueued(&bridge->controlOutQueued, 1);
  return QueueWrite(&bridge->controlOutQueue, bridge->controlOut, buffer);
}

HRESULT QueueDataOut(ModemBridge* bridge, IoBuffer* buffer) {
  AddQueued(&bridge->dataOutQueued, 1);
  return QueueWrite(&bridge->dataOutQueue, bridge->dataOut, buffer);
}

void QueueSend(ModemBridge* bridge, IoBuffer* buffer) {
  AddQueued(&bridge->sendQueued, 1);
  if (Append(&bridge->sendQueue, buffer)) StartSocketSend(bridge, buffer);
}

void AddQueued(std::atomic<LONG>* queued, LONG change) {
  queued->store(queued->load() + change);
}

IoBuffer* PopHead(IoBuffer** queue) {
  IoBuffer* head = *queue;
  if (head != nullptr) {
    *queue = head->next;
    head->next = nullptr;
  }
  return head;
}

bool QueueFull(const std::atomic<LONG>& queued, LONG* held) {
  const LONG length = queued.load();
  if (length >= FLOW_HIGH_MARK) *held = 1;
  if (length <= FLOW_LOW_MARK) *held = 0;
  return *held != 0;
}
