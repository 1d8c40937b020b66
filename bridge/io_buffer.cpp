#include "bridge/io_buffer.h"

#include <cstdlib>

IoBuffer* AllocIoBuffer() {
  auto* buffer = static_cast<IoBuffer*>(std::malloc(sizeof(IoBuffer)));
  if (buffer != nullptr) {
    buffer->count = 0;
    buffer->next = nullptr;
    buffer->wsaBuf.len = 0;
    buffer->wsaBuf.buf = nullptr;
  }
  return buffer;
}

void FreeIoBuffer(IoBuffer* buffer) {
  std::free(buffer);
}

void FreeIoBufferList(IoBuffer* head) {
  while (head != nullptr) {
    IoBuffer* next = head->next;
    std::free(head);
    head = next;
  }
}
