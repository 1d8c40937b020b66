// Buffer allocation and release, in a unit of their own so that a test
// program can link an allocator that counts buffers and fails on demand in
// their place.
#include <cstdlib>

#include "bridge/io_buffer.h"

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
