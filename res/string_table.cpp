#include "res/string_table.h"

#include <cstring>

namespace {

struct StringEntry {
  uint32_t id;
  const char* text;
};

constexpr StringEntry STRINGS[] = {
#define VARNEL_STRING(name, id, text) {id, text},
#include "res/string_table.inc"
#undef VARNEL_STRING
};

}  // namespace

const char* StringTableText(uint32_t id) {
  for (const StringEntry& entry : STRINGS) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

int LoadStringTableText(uint32_t id, char* buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax < 1) return 0;
  const char* text = StringTableText(id);
  size_t length = text == nullptr ? 0 : std::strlen(text);
  if (length > static_cast<size_t>(bufferMax - 1)) length = static_cast<size_t>(bufferMax - 1);
  if (length > 0) std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}
