#pragma once
// Little-endian fields of the bus protocol's frames, written into and read
// out of byte vectors. A reader that runs past its frame stays failed, so a
// handler reads every field and checks once.
#include <cstdint>
#include <vector>

namespace simbus {

class WireWriter {
 public:
  std::vector<uint8_t> bytes;

  void U8(uint8_t v) { bytes.push_back(v); }
  void U16(uint16_t v) { Little(v, 2); }
  void U32(uint32_t v) { Little(v, 4); }
  void I32(int32_t v) { Little(static_cast<uint32_t>(v), 4); }
  void Raw(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
  }

 private:
  void Little(uint32_t v, int count) {
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return static_cast<uint8_t>(Little(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Little(2)); }
  uint32_t U32() { return Little(4); }
  int32_t I32() { return static_cast<int32_t>(Little(4)); }
  // Everything not read yet.
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> rest(data_ + used_, data_ + size_);
    used_ = size_;
    return rest;
  }
  // The next `count` bytes into *bytes; false (and the reader spent) when
  // fewer are left.
  bool Take(size_t count, std::vector<uint8_t>* bytes) {
    if (size_ - used_ < count) {
      ok_ = false;
      used_ = size_;
      return false;
    }
    bytes->assign(data_ + used_, data_ + used_ + count);
    used_ += count;
    return true;
  }
  bool Ok() const { return ok_; }
  // True when every field was there and nothing is left over.
  bool Whole() const { return ok_ && used_ == size_; }

 private:
  uint32_t Little(size_t count) {
    if (size_ - used_ < count) {
      ok_ = false;
      used_ = size_;
      return 0;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) v |= static_cast<uint32_t>(data_[used_ + i]) << (8 * i);
    used_ += count;
    return v;
  }

  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
  bool ok_ = true;
};

}  // namespace simbus
