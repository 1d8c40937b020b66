#pragma once
// The worker's buffer pool and transfer queues. Worker thread only.
#include "bridge/modem_bridge.h"

// Free buffers the pool keeps: a handful beyond what one bridge has in
// flight. Buffers returned beyond it go back to the general allocator, so a
// modem that takes polls and answers none cannot grow the pool.
constexpr LONG POOL_LIMIT = 8;

// The head of the pool, or a new buffer when the pool is empty; next and
// count are 0. Null only when memory is exhausted.
IoBuffer* TakeBuffer(ModemBridge* bridge);
// Back onto the pool, or freed when the pool is full.
void ReturnBuffer(ModemBridge* bridge, IoBuffer* buffer);
// Appends to the control/data OUT queue; a buffer that becomes the head has
// its write started: 0 done at once, 1 pending, negative not started.
HRESULT QueueControlOut(ModemBridge* bridge, IoBuffer* buffer);
HRESULT QueueDataOut(ModemBridge* bridge, IoBuffer* buffer);
// Appends to the socket send queue; a new head is sent at once.
void QueueSend(ModemBridge* bridge, IoBuffer* buffer);
// Unlinks and gives the head of a queue (null when empty).
IoBuffer* PopHead(IoBuffer** queue);
// Single-writer change of a queue's length (the worker's).
void AddQueued(std::atomic<LONG>* queued, LONG change);
