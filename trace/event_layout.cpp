#include "trace/event_layout.h"

#include <cstring>

namespace trace {

namespace {

// Appends `size` bytes to a bounded buffer; false (nothing appended) when
// they do not fit.
bool Append(uint8_t* buffer, uint32_t room, uint32_t* used, const void* bytes, uint32_t size) {
  if (size > room - *used) return false;
  std::memcpy(buffer + *used, bytes, size);
  *used += size;
  return true;
}

void PutSize(uint8_t* buffer, uint32_t size) {
  buffer[0] = static_cast<uint8_t>(size);
  buffer[1] = static_cast<uint8_t>(size >> 8);
}

// Integers go out little-endian whatever the host's order.
template <typename Integer>
void LittleEndian(Integer value, uint8_t (&bytes)[sizeof(Integer)]) {
  for (uint32_t i = 0; i < sizeof(Integer); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void EventLayout::Begin(const char* name) {
  metadataSize = 2;  // the size, set by End
  dataSize = 0;
  const uint8_t noTags = 0;
  overflow =
      !Append(metadata, sizeof metadata, &metadataSize, &noTags, 1) ||
      !Append(metadata, sizeof metadata, &metadataSize, name, static_cast<uint32_t>(std::strlen(name)) + 1);
}

void EventLayout::AddField(const char* name, uint8_t inType, uint8_t outType, const void* value,
                           uint32_t size) {
  const uint8_t types[2] = {static_cast<uint8_t>(outType != OUT_DEFAULT ? inType | IN_HAS_OUT_TYPE : inType),
                            outType};
  const uint32_t typeSize = outType != OUT_DEFAULT ? 2 : 1;
  const uint32_t nameSize = static_cast<uint32_t>(std::strlen(name)) + 1;
  if (overflow || nameSize + typeSize > sizeof metadata - metadataSize || size > sizeof data - dataSize) {
    overflow = true;
    return;
  }
  Append(metadata, sizeof metadata, &metadataSize, name, nameSize);
  Append(metadata, sizeof metadata, &metadataSize, types, typeSize);
  Append(data, sizeof data, &dataSize, value, size);
}

void EventLayout::AddUInt32(const char* name, uint32_t value, uint8_t outType) {
  uint8_t bytes[4];
  LittleEndian(value, bytes);
  AddField(name, IN_UINT32, outType, bytes, sizeof bytes);
}

void EventLayout::AddInt32(const char* name, int32_t value, uint8_t outType) {
  uint8_t bytes[4];
  LittleEndian(static_cast<uint32_t>(value), bytes);
  AddField(name, IN_INT32, outType, bytes, sizeof bytes);
}

void EventLayout::AddHex32(const char* name, uint32_t value) {
  uint8_t bytes[4];
  LittleEndian(value, bytes);
  AddField(name, IN_HEXINT32, OUT_DEFAULT, bytes, sizeof bytes);
}

void EventLayout::AddUInt64(const char* name, uint64_t value) {
  uint8_t bytes[8];
  LittleEndian(value, bytes);
  AddField(name, IN_UINT64, OUT_DEFAULT, bytes, sizeof bytes);
}

void EventLayout::AddString(const char* name, const char* text) {
  char value[STRING_VALUE_MAX + 1];
  uint32_t length = 0;
  while (length < STRING_VALUE_MAX && text[length] != '\0') {
    value[length] = text[length];
    ++length;
  }
  value[length] = '\0';
  AddField(name, IN_ANSISTRING, OUT_DEFAULT, value, length + 1);
}

void EventLayout::AddUtf16(const char* name, const uint16_t* text) {
  uint8_t value[2 * (STRING_VALUE_MAX + 1)];
  uint32_t length = 0;
  for (; length < STRING_VALUE_MAX && text[length] != 0; ++length) {
    value[2 * length] = static_cast<uint8_t>(text[length]);
    value[2 * length + 1] = static_cast<uint8_t>(text[length] >> 8);
  }
  value[2 * length] = value[2 * length + 1] = 0;
  AddField(name, IN_UNICODESTRING, OUT_DEFAULT, value, 2 * length + 2);
}

bool EventLayout::End() {
  PutSize(metadata, metadataSize);
  return !overflow;
}

uint32_t ProviderMetadata(const char* name, uint8_t* out, uint32_t room) {
  uint32_t used = 2;
  if (room < used || !Append(out, room, &used, name, static_cast<uint32_t>(std::strlen(name)) + 1)) return 0;
  PutSize(out, used);
  return used;
}

}  // namespace trace
