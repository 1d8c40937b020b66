#pragma once
// Self-describing trace events in the TraceLogging layout, so that the
// system's tools decode them with no manifest: each event carries its name
// and its fields' names and types (the metadata) beside their values (the
// data). Only the layout lives here; writing is the provider's.
//
// Provider metadata: UINT16 size (itself included), the name as UTF-8 and
// a NUL, then traits (none here).
// Event metadata: UINT16 size (itself included), one tag byte (0: no
// tags), the name and a NUL, then per field its name and a NUL, an in-type
// byte with 0x80 set when an out-type byte follows, and that out-type.
// Data: each field's value in order, integers little-endian, strings with
// their NUL (UTF-16 ones as 16-bit units, little-endian).
#include <cstdint>

namespace trace {

// In-types (how a value is stored; 0x80: an out-type follows) and
// out-types (how a tool shows it).
enum InType : uint8_t {
  IN_UNICODESTRING = 1,
  IN_ANSISTRING = 2,
  IN_INT32 = 7,
  IN_UINT32 = 8,
  IN_UINT64 = 10,
  IN_HEXINT32 = 20
};
constexpr uint8_t IN_HAS_OUT_TYPE = 0x80;
enum OutType : uint8_t { OUT_DEFAULT = 0, OUT_WIN32ERROR = 13, OUT_HRESULT = 15 };

// Bounds of one event: every event of the program fits with room to spare;
// one that would not is dropped whole rather than cut.
constexpr uint32_t EVENT_METADATA_MAX = 192;
constexpr uint32_t EVENT_DATA_MAX = 320;
// A string value is cut to this many bytes (a device path fits).
constexpr uint32_t STRING_VALUE_MAX = 255;

struct EventLayout {
  uint8_t metadata[EVENT_METADATA_MAX];
  uint32_t metadataSize;
  uint8_t data[EVENT_DATA_MAX];
  uint32_t dataSize;
  bool overflow;  // something did not fit: the event must not be written

  void Begin(const char* name);
  void AddUInt32(const char* name, uint32_t value, uint8_t outType = OUT_DEFAULT);
  void AddInt32(const char* name, int32_t value, uint8_t outType = OUT_DEFAULT);
  void AddHex32(const char* name, uint32_t value);
  void AddUInt64(const char* name, uint64_t value);
  void AddString(const char* name, const char* text);
  // Text in the program's code page that a decoder on another machine must
  // read alike: given as UTF-16 (NUL-terminated), cut as AddString cuts.
  void AddUtf16(const char* name, const uint16_t* text);
  // Sets the metadata's size; false when the event overflowed.
  bool End();

 private:
  void AddField(const char* name, uint8_t inType, uint8_t outType, const void* value, uint32_t size);
};

// The provider metadata of `name` into `out`; its size, 0 when it does not fit.
uint32_t ProviderMetadata(const char* name, uint8_t* out, uint32_t room);

}  // namespace trace
