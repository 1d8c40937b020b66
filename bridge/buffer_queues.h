#pragma once
// The worker's buffer pool and transfer queues. Worker thread only.
#include "bridge/modem_bridge.h"

// Free buffers the pool keeps: a handful beyond what one bridge has in
// flight. Buffers returned beyond it go back to the general allocator, so a
// modem that takes polls and answers none cannot grow the pool.
constexpr LONG POOL_LIMIT = 8;
// A queue that a peer fills (socket send, data OUT, control OUT) holds back
// the read that feeds it from the high mark on, until it has drained to the
// low mark: 256 KiB of buffers, far above any fiscal exchange. USB and TCP
// flow control then carry the pressure back to the sender; nothing is
// dropped.
constexpr LONG FLOW_HIGH_MARK = 64;
constexpr LONG FLOW_LOW_MARK = 16;

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
// Whether the read feeding a queue is held back; *held keeps the state
// between passes.
bool QueueFull(const std::atomic<LONG>& queued, LONG* held);
