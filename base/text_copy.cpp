#include "base/text_copy.h"

#include <cstring>
#include <new>

char* CopyText(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}
