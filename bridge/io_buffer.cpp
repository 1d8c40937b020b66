#include "bridge/io_buffer.h"

#include <cstdlib>

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
