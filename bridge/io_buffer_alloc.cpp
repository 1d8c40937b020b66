// Buffer allocation, in a unit of its own so that a test program can link
// an allocator that fails on demand in its place.
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
