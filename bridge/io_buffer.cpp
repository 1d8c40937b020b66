#include "bridge/io_buffer.h"

void FreeIoBufferList(IoBuffer* head) {
  while (head != nullptr) {
    IoBuffer* next = head->next;
    FreeIoBuffer(head);
    head = next;
  }
}
