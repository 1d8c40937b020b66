#pragma once
// The buffer of every USB transfer, socket transfer and control message.
#include <winsock2.h>
#include <cstdint>

constexpr uint32_t IO_BUFFER_SIZE = 4096;

struct IoBuffer {
  uint8_t data[IO_BUFFER_SIZE];  // payload; a control message starts with its type
  uint32_t count;                // valid bytes in data
  IoBuffer* next;                // link in the pool or a queue
  WSABUF wsaBuf;                 // filled just before each socket call, always at data
};

// The general allocator for buffers: a buffer may be allocated on one thread
// and freed on another. AllocIoBuffer gives null when memory is exhausted;
// next and count of a new buffer are 0.
IoBuffer* AllocIoBuffer();
void FreeIoBuffer(IoBuffer* buffer);
// Frees every buffer of a list linked through next.
void FreeIoBufferList(IoBuffer* head);
